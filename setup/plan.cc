#include "setup/plan.h"

namespace {

// The supported locale identifiers, each a plain language identifier (sort
// order bits 16 to 19 zero).
const int kSupportedLanguages[] = {1028, 1031, 1033, 1036, 1040, 1041,
                                   1042, 1043, 1046, 1053, 2052, 3082};

const WCHAR kCoreKeyFile[] = WTEXT("KELD.DLL");
const WCHAR kLanguagePackKeyFile[] = WTEXT("KELDINTL.DLL");
const WCHAR kFallbackLanguage[] = WTEXT("1033");

// The log of each package: the temporary folder, then a separator and the
// locale text (both empty for the core package). The folder enters as an
// argument, so that a "%" in the value of TMP is copied, never interpreted.
const WCHAR kLogPathFormat[] = WTEXT("%s\\MIVO%s%sInstall.log");

void AppendEntry(PackagePlan& plan, const CString& folder, LPCWSTR package_file_name,
                 LPCWSTR key_file_name, const CString& temp_folder, LPCWSTR separator,
                 LPCWSTR language) {
  PackageEntry entry;
  entry.package_path = JoinPath(folder, package_file_name);
  entry.key_file_name = key_file_name;
  entry.log_file_path.Format(kLogPathFormat, temp_folder.GetString(), separator, language);
  plan.Append(entry);
}

}  // namespace

bool IsSupportedLanguage(const CString& candidate) {
  for (int language : kSupportedLanguages) {
    CString text;
    text.Format(WTEXT("%d"), language);
    if (TextEqualsIgnoreAsciiCase(text, candidate)) return true;
  }
  return false;
}

void BuildPackagePlanFrom(const CString& command_line, const CString& folder, LCID user_locale,
                          const CString& temp_folder, PackagePlan& plan) {
  AppendEntry(plan, folder, WTEXT("\\mivo.msi"), kCoreKeyFile, temp_folder, WTEXT(""), WTEXT(""));

  List<CString> languages;
  if (IsSupportedLanguage(command_line)) languages.Append(command_line);
  CString user_language;
  user_language.Format(WTEXT("%d"), static_cast<int>(user_locale));
  if (IsSupportedLanguage(user_language)) {
    bool planned = false;
    for (const CString& language : languages) {
      if (TextEquals(language, user_language)) planned = true;
    }
    if (!planned) languages.Append(user_language);
  }
  if (languages.IsEmpty()) languages.Append(CString(kFallbackLanguage));

  for (const CString& language : languages) {
    CString package_file_name;
    package_file_name.Format(WTEXT("\\mivo_%s.msi"), language.GetString());
    AppendEntry(plan, folder, package_file_name, kLanguagePackKeyFile, temp_folder, WTEXT("_"),
                language);
  }
}

void BuildPackagePlan(const CString& command_line, const CString& folder, PackagePlan& plan) {
  // Only the reference itself is expanded; an unset TMP leaves "%tmp%".
  CString temp_folder(WTEXT("%tmp%"));
  ExpandEnvironment(temp_folder);
  BuildPackagePlanFrom(command_line, folder, GetUserDefaultLCID(), temp_folder, plan);
}
