#include "mivocheck/check.h"

#include <algorithm>
#include <map>

#include "msiutil/file_data.h"
#include "msiutil/installer_handle.h"
#include "msiutil/property.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "setup/plan.h"
#include "text/cstring.h"

namespace mivocheck {
namespace {

const char kCoreName[] = "mivo.msi";
const char kPackPrefix[] = "mivo_";
const char kPackageSuffix[] = ".msi";
// The file by which a product team says that a release is meant for elevated
// deployment (an administrator's or the system's account), so that its
// per-machine packages are no error.
const char kElevatedMarker[] = "mivo-elevated.txt";

std::string Utf8(LPCWSTR text) { return utf8::FromUtf16(text); }

CString Wide(const std::string& text) {
  return CString(utf8::ToUtf16<WCHAR>(text.c_str()).c_str());
}

// A file name of the folder as UTF-8, and its path as the installer takes it.
std::string FileName(const WIN32_FIND_DATAW& entry) { return Utf8(entry.cFileName); }
#ifdef _WIN32
CString InstallerPath(const PathString& folder, const std::string& name) {
  return CString(JoinPath(folder, utf8::ToUtf16<wchar_t>(name.c_str())).c_str());
}
#else
CString InstallerPath(const PathString& folder, const std::string& name) {
  return Wide(JoinPath(folder, name));
}
#endif

// Windows compares file names without regard to case; the names looked for
// here are ASCII.
std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with digits and A-F only.
bool IsBracedUpperCaseGuid(const std::string& text) {
  static const char kPattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != sizeof(kPattern) - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kPattern[i] == 'X' ? !IsHexDigit(text[i]) : text[i] != kPattern[i]) return false;
  }
  return true;
}

// Two to four groups of decimal digits joined by single dots ("7.1.0").
bool IsDottedNumericVersion(const std::string& text) {
  int groups = 0;
  size_t digits = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.' && digits > 0) {
      ++groups;
      digits = 0;
    } else {
      return false;
    }
  }
  if (digits == 0) return false;
  ++groups;
  return groups >= 2 && groups <= 4;
}

class Checker {
 public:
  Checker(const PathString& folder, FolderReport& report) : folder_(folder), report_(report) {}

  // Sorts the folder's files into the core package, the language packs by
  // language, and names that the setup would never plan.
  bool Classify() {
    FolderEntries entries(folder_);
    std::vector<std::string> names;
    while (entries.Next()) {
      if (!entries.IsFolderEntry()) names.push_back(FileName(entries.entry()));
    }
    if (entries.failed()) return false;
    std::sort(names.begin(), names.end());

    const std::string prefix = kPackPrefix;
    const std::string suffix = kPackageSuffix;
    for (const std::string& name : names) {
      const std::string lower = LowerAscii(name);
      std::string slot;
      if (lower == kElevatedMarker) elevated_ = true;
      if (lower == kCoreName) {
        slot = kCoreName;
      } else if (lower.size() >= prefix.size() + suffix.size() &&
                 lower.compare(0, prefix.size(), prefix) == 0 &&
                 lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0) {
        slot = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (!IsSupportedLanguage(Wide(slot))) {
          Add(Severity::kError, name,
              "not a supported language pack name, so the setup never installs it");
          continue;
        }
      } else {
        continue;
      }
      auto placed = files_.emplace(slot, name);
      if (!placed.second) {
        // Two names that differ in case only (possible on the build machine)
        // become one file on Windows.
        Add(Severity::kError, name,
            "differs from " + placed.first->second + " in case only; on Windows one replaces it");
      }
    }
    return true;
  }

  void CheckPackages() {
    auto core = files_.find(kCoreName);
    if (core == files_.end()) {
      Add(Severity::kError, kCoreName, "the core package is missing");
    } else {
      CheckPackage(core->second, kCoreKeyFile);
    }
    for (int language : kSupportedLanguages) {
      auto pack = files_.find(std::to_string(language));
      if (pack != files_.end()) CheckPackage(pack->second, kLanguagePackKeyFile);
    }
  }

  void CheckFolderWide() {
    if (elevated_ && !per_machine_) {
      Add(Severity::kWarning, kElevatedMarker,
          "says the release is meant for elevated deployment, but every package installs per "
          "user");
    }
    // Product codes compare as the setup compares them: ASCII letters without
    // regard to case.
    for (size_t later = 0; later < report_.packages.size(); ++later) {
      const PackageSummary& package = report_.packages[later];
      if (package.product_code.empty()) continue;
      for (size_t earlier = 0; earlier < later; ++earlier) {
        if (LowerAscii(report_.packages[earlier].product_code) ==
            LowerAscii(package.product_code)) {
          Add(Severity::kError, package.package,
              "ProductCode " + package.product_code + " is also the ProductCode of " +
                  report_.packages[earlier].package);
          break;
        }
      }
    }
    // The setup plans the pack of the user's language whenever that language
    // is supported, and 1033 only for the others: a missing pack is not
    // replaced by 1033.
    for (int id : kSupportedLanguages) {
      const std::string language = std::to_string(id);
      if (files_.count(language) != 0) continue;
      const std::string name = kPackPrefix + language + kPackageSuffix;
      if (language == Utf8(kFallbackLanguage)) {
        Add(Severity::kWarning, name,
            "missing; users of language 1033 and of every unsupported language get no language "
            "pack at all");
      } else {
        Add(Severity::kWarning, name,
            std::string("missing; users of language ") + language +
                " get no language pack (the setup falls back to 1033 only for unsupported "
                "languages)");
      }
    }
  }

 private:
  void Add(Severity severity, const std::string& package, const std::string& problem) {
    report_.findings.push_back({severity, package, problem});
  }

  // A property's value, or the empty text when there is none.
  static std::string Property(MSIHANDLE database, LPCWSTR name) {
    CString value;
    if (!TarnUtil::ReadProperty(database, name, value)) return std::string();
    return Utf8(value);
  }

  void CheckPackage(const std::string& name, LPCWSTR key_file) {
    PackageSummary summary;
    summary.package = name;
    summary.key_file = Utf8(key_file);
    CheckDatabase(name, key_file, summary);
    report_.packages.push_back(summary);
  }

  void CheckDatabase(const std::string& name, LPCWSTR key_file, PackageSummary& summary) {
    TarnUtil::InstallerHandle database;
    const UINT opened =
        MsiOpenDatabaseW(InstallerPath(folder_, name), MSIDBOPEN_READONLY, &database);
    if (opened != ERROR_SUCCESS || database.Get() == 0) {
      Add(Severity::kError, name,
          "cannot be opened as a package (installer result " + std::to_string(opened) + ")");
      return;
    }

    summary.product_code = Property(database, WTEXT("ProductCode"));
    summary.product_version = Property(database, WTEXT("ProductVersion"));
    const std::string upgrade_code = Property(database, WTEXT("UpgradeCode"));
    if (summary.product_code.empty()) {
      Add(Severity::kError, name, "no ProductCode in the Property table");
    } else if (!IsBracedUpperCaseGuid(summary.product_code)) {
      Add(Severity::kError, name,
          "ProductCode " + summary.product_code + " is not a braced upper-case GUID");
    }
    if (upgrade_code.empty()) Add(Severity::kError, name, "no UpgradeCode in the Property table");
    if (summary.product_version.empty()) {
      Add(Severity::kError, name, "no ProductVersion in the Property table");
    } else if (!IsDottedNumericVersion(summary.product_version)) {
      Add(Severity::kWarning, name,
          "ProductVersion " + summary.product_version + " is not numeric and dotted");
    }

    CString key_version;
    if (!TarnUtil::FindKeyFileVersion(database, CString(key_file), key_version)) {
      Add(Severity::kError, name, "no key file row " + summary.key_file + " in the File table");
    } else if (key_version.IsEmpty()) {
      Add(Severity::kError, name, "the key file row " + summary.key_file + " has no version");
    } else {
      summary.key_file_version = Utf8(key_version);
    }

    CheckInstallContext(name, database);
  }

  // The setup never elevates, and without a user interface no elevation
  // prompt can be shown: a package that installs per machine fails for a
  // standard user (1603), unless the folder says that the release is meant
  // for elevated deployment.
  void CheckInstallContext(const std::string& name, MSIHANDLE database) {
    const std::string all_users = Property(database, WTEXT("ALLUSERS"));
    std::string why;
    if (all_users.empty()) return;
    if (all_users == "1") {
      why = "ALLUSERS=1 installs per machine";
    } else if (all_users == "2") {
      if (Property(database, WTEXT("MSIINSTALLPERUSER")) == "1") return;
      why = "ALLUSERS=2 without MSIINSTALLPERUSER=1 installs per machine";
    } else {
      why = "ALLUSERS=" + all_users +
            " is none of the documented values (empty, 1, 2); the installer may install per "
            "machine";
    }
    per_machine_ = true;
    if (elevated_) {
      Add(Severity::kWarning, name,
          why + "; " + kElevatedMarker + " says the release is meant for elevated deployment");
    } else {
      Add(Severity::kError, name,
          why +
              ", which fails for a standard user (1603, no elevation without a user "
              "interface); a release meant for elevated deployment says so with a file " +
              kElevatedMarker);
    }
  }

  const PathString& folder_;
  FolderReport& report_;
  bool elevated_ = false;     // the folder holds kElevatedMarker
  bool per_machine_ = false;  // a package installs per machine
  // The file of each package: the core package under "mivo.msi", each language
  // pack under its locale identifier.
  std::map<std::string, std::string> files_;
};

// Left-aligned columns, two blanks apart; "-" for an empty value.
void AppendTable(const std::vector<std::vector<std::string>>& rows, std::string& out) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], std::max<size_t>(row[column].size(), 1));
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t column = 0; column < row.size(); ++column) {
      const std::string cell = row[column].empty() ? "-" : row[column];
      line += cell;
      if (column + 1 < row.size()) line += std::string(widths[column] - cell.size() + 2, ' ');
    }
    out += line + "\n";
  }
}

}  // namespace

bool FolderReport::HasErrors() const {
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding& finding) { return finding.severity == Severity::kError; });
}

bool CheckFolder(const PathString& folder, FolderReport& report) {
  Checker checker(folder, report);
  if (!checker.Classify()) return false;
  checker.CheckPackages();
  checker.CheckFolderWide();
  std::stable_partition(report.findings.begin(), report.findings.end(), [](const Finding& finding) {
    return finding.severity == Severity::kError;
  });
  return true;
}

std::string FormatReport(const FolderReport& report) {
  std::string out;
  for (const Finding& finding : report.findings) {
    out += finding.severity == Severity::kError ? "error: " : "warning: ";
    out += finding.package + ": " + finding.problem + "\n";
  }
  if (!report.findings.empty()) out += "\n";
  std::vector<std::vector<std::string>> rows = {
      {"package", "ProductCode", "ProductVersion", "key file", "key file version"}};
  for (const PackageSummary& package : report.packages) {
    rows.push_back({package.package, package.product_code, package.product_version,
                    package.key_file, package.key_file_version});
  }
  AppendTable(rows, out);
  return out;
}

}  // namespace mivocheck
