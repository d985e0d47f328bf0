// The decision, for one planned package, of what the run does with it.
#ifndef SETUP_INSPECT_H
#define SETUP_INSPECT_H

#include "setup/record.h"
#include "text/cstring.h"

// What the run does with one package after the inspection.
enum PackageAction {
  kPackageActionInstall = 1,
  kPackageActionSkip = 2,
};

// Compares the package at `package_path` with what the Windows Installer has
// installed. The caller presets action = install, product_code = empty,
// remove_first = false; this function changes them only as follows:
// - product_code: the package's ProductCode, as soon as the package is open;
// - action = skip: an installed product of the same product code has an equal
//   version and its cached package's key file is at least as new as the
//   package's;
// - remove_first = true: same product and version, but the cached key file is
//   older, so the installed product is removed before the installation.
// A package that cannot be opened leaves all three as preset. Every database
// handle is opened read-only and closed before the function returns.
//
// What it sees (the package's identity and key file version, the installed
// state, the matching installed product's version, cached package and cached
// key file version) and the decision with its reason go to `record`.
void InspectPackage(const CString& package_path, const CString& key_file_name,
                    PackageAction& action, CString& product_code, bool& remove_first,
                    RunRecord& record);

#endif  // SETUP_INSPECT_H
