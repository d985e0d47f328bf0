// The package plan: which packages a run handles, in which order, and for each
// the file to open, the key file that identifies its version and the file that
// receives its installer log.
#ifndef SETUP_PLAN_H
#define SETUP_PLAN_H

#include "platform/platform.h"
#include "text/cstring.h"
#include "text/list.h"

// The supported locale identifiers, in this order; each a plain language
// identifier (sort-order bits 16 to 19 zero).
const int kSupportedLanguageCount = 12;
extern const int kSupportedLanguages[kSupportedLanguageCount];
// The language planned when neither the command line nor the user's default
// locale names a supported one.
extern const WCHAR kFallbackLanguage[];
// The key files: the core package's and every language pack's.
extern const WCHAR kCoreKeyFile[];
extern const WCHAR kLanguagePackKeyFile[];

// Why a package is in the plan.
enum PlanRule {
  kPlanCore,         // the core package, always first
  kPlanCommandLine,  // the language named on the command line
  kPlanUserLocale,   // the language of the user's default locale
  kPlanFallback,     // 1033, when neither of the above gives a language
};

// One planned package. A plain value: copies share their texts.
struct PackageEntry {
  CString package_path;     // the executable's folder joined with the package's file name;
                            // empty when the joined path would be too long to use
  CString key_file_name;    // "KELD.DLL" (core package) or "KELDINTL.DLL" (language pack)
  CString log_file_path;    // the verbose installer log, in the temporary folder;
                            // empty when there is no temporary folder
  CString remove_log_path;  // the log of a removal before the installation, beside it
  CString package_name;     // the package's file name, "mivo.msi" or "mivo_<LCID>.msi"
  PlanRule rule;
};

// The entries in the order in which the run processes them; appended at the end
// only.
typedef List<PackageEntry> PackagePlan;

// True when `candidate` is exactly the decimal text of one of the twelve
// supported locale identifiers (1028, 1031, 1033, 1036, 1040, 1041, 1042, 1043,
// 1046, 1053, 2052, 3082): no sign, no leading zero, no white space.
bool IsSupportedLanguage(const CString& candidate);

// Appends the plan of this run to `plan` (handed in empty): first the core
// package mivo.msi, then one language pack mivo_<LCID>.msi for the command line
// (when it is a supported locale text) and one for the user's default locale
// (when supported and not already planned), or for 1033 when neither applies.
// `folder` is the executable's folder and ends in a backslash; it is only ever
// joined with file names, never formatted. Log files are named
// <TEMP>\MIVOInstall.log and <TEMP>\MIVO_<LCID>Install.log, removal logs
// <TEMP>\MIVORemove.log and <TEMP>\MIVO_<LCID>Remove.log, where <TEMP> is
// TempFolder(); without a temporary folder the log paths are empty. Files are
// named only: none is opened here.
void BuildPackagePlan(const CString& command_line, const CString& folder, PackagePlan& plan);

// The same plan from plain values: `user_locale` stands for the user's default
// locale and `temp_folder` for TempFolder(). The value of the temporary folder
// is never read as format text.
void BuildPackagePlanFrom(const CString& command_line, const CString& folder, LCID user_locale,
                          const CString& temp_folder, PackagePlan& plan);

#endif  // SETUP_PLAN_H
