#include "setup/plan.h"

#include "setup/temp_folder.h"

const int kSupportedLanguages[kSupportedLanguageCount] = {1028, 1031, 1033, 1036, 1040, 1041,
                                                          1042, 1043, 1046, 1053, 2052, 3082};
const WCHAR kCoreKeyFile[] = WTEXT("KELD.DLL");
const WCHAR kLanguagePackKeyFile[] = WTEXT("KELDINTL.DLL");
const WCHAR kFallbackLanguage[] = WTEXT("1033");

namespace {

// The log of each package: the temporary folder, then a separator and the
// locale text (both empty for the core package). The folder enters as an
// argument, so that a "%" in the value of TMP is copied, never interpreted.
const WCHAR kLogPathFormat[] = WTEXT("%s\\MIVO%s%sInstall.log");
const WCHAR kRemoveLogPathFormat[] = WTEXT("%s\\MIVO%s%sRemove.log");

// `package_file_name` begins with a backslash.
void AppendEntry(PackagePlan& plan, const CString& folder, LPCWSTR package_file_name,
                 LPCWSTR key_file_name, const CString& temp_folder, LPCWSTR separator,
                 LPCWSTR language, PlanRule rule) {
  PackageEntry entry;
  entry.package_path = JoinPath(folder, package_file_name);
  entry.key_file_name = key_file_name;
  if (!temp_folder.IsEmpty()) {
    entry.log_file_path.Format(kLogPathFormat, temp_folder.GetString(), separator, language);
    entry.remove_log_path.Format(kRemoveLogPathFormat, temp_folder.GetString(), separator,
                                 language);
  }
  entry.package_name = package_file_name + 1;
  entry.rule = rule;
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
  AppendEntry(plan, folder, WTEXT("\\mivo.msi"), kCoreKeyFile, temp_folder, WTEXT(""), WTEXT(""),
              kPlanCore);

  List<CString> languages;
  bool from_command_line = IsSupportedLanguage(command_line);
  if (from_command_line) languages.Append(command_line);
  CString user_language;
  user_language.Format(WTEXT("%d"), static_cast<int>(user_locale));
  if (IsSupportedLanguage(user_language)) {
    bool planned = false;
    for (const CString& language : languages) {
      if (TextEquals(language, user_language)) planned = true;
    }
    if (!planned) languages.Append(user_language);
  }
  bool fallback = languages.IsEmpty();
  if (fallback) languages.Append(CString(kFallbackLanguage));

  for (int i = 0; i < languages.Count(); ++i) {
    const CString& language = languages[i];
    PlanRule rule = fallback                        ? kPlanFallback
                    : (i == 0 && from_command_line) ? kPlanCommandLine
                                                    : kPlanUserLocale;
    CString package_file_name;
    package_file_name.Format(WTEXT("\\mivo_%s.msi"), language.GetString());
    AppendEntry(plan, folder, package_file_name, kLanguagePackKeyFile, temp_folder, WTEXT("_"),
                language, rule);
  }
}

void BuildPackagePlan(const CString& command_line, const CString& folder, PackagePlan& plan) {
  BuildPackagePlanFrom(command_line, folder, GetUserDefaultLCID(), TempFolder(), plan);
}
