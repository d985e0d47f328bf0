// The package plan: which packages a run handles, in which order, and for each
// the file to open, the key file that identifies its version and the file that
// receives its installer log.
#ifndef SETUP_PLAN_H
#define SETUP_PLAN_H

#include "platform/platform.h"
#include "text/cstring.h"
#include "text/list.h"

// One planned package. A plain value: copies share their texts.
struct PackageEntry {
  CString package_path;   // the executable's folder joined with the package's file name
  CString key_file_name;  // "KELD.DLL" (core package) or "KELDINTL.DLL" (language pack)
  CString log_file_path;  // the verbose installer log, in the temporary folder
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
// <TMP>\MIVOInstall.log and <TMP>\MIVO_<LCID>Install.log, where <TMP> is the
// expansion of %tmp% (left as "%tmp%" when TMP is not set). The value of TMP is
// never read as format text. Files are named only: none is opened here.
void BuildPackagePlan(const CString& command_line, const CString& folder, PackagePlan& plan);

// The same plan from plain values: `user_locale` stands for the user's default
// locale and `temp_folder` for the expansion of %tmp%.
void BuildPackagePlanFrom(const CString& command_line, const CString& folder, LCID user_locale,
                          const CString& temp_folder, PackagePlan& plan);

#endif  // SETUP_PLAN_H
