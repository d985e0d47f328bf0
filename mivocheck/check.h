// The check of a release folder before it ships: the packages that the setup
// would plan from the folder, read as the setup reads them (through msiutil/
// and the platform seam), and what would go wrong with them for a standard
// user.
#ifndef MIVOCHECK_CHECK_H
#define MIVOCHECK_CHECK_H

#include <string>
#include <vector>

#include "mivocheck/files.h"

namespace mivocheck {

enum class Severity { kError, kWarning };

// One problem of one package, e.g. {kError, "mivo_1031.msi", "no key file row
// KELDINTL.DLL in the File table"}. Texts are UTF-8.
struct Finding {
  Severity severity;
  std::string package;
  std::string problem;
};

// What was read from one package that the setup would plan; a value that
// could not be read is empty.
struct PackageSummary {
  std::string package;
  std::string product_code;
  std::string product_version;
  std::string key_file;
  std::string key_file_version;
};

struct FolderReport {
  // Errors first, then warnings, each in the order found: file names the setup
  // would never plan, the core package, the language packs by locale
  // identifier, then what concerns several packages.
  std::vector<Finding> findings;
  // The core package and the language packs present, in the same order.
  std::vector<PackageSummary> packages;

  bool HasErrors() const;
};

// Checks the folder `folder`, which exists. File names match without regard to
// case, as on Windows. False when the folder cannot be listed.
bool CheckFolder(const PathString& folder, FolderReport& report);

// The report as printed: one line per finding ("error: PACKAGE: PROBLEM"),
// then, after an empty line when there are findings, the summary table with
// "-" for what could not be read. UTF-8, lines ended by "\n".
std::string FormatReport(const FolderReport& report);

}  // namespace mivocheck

#endif  // MIVOCHECK_CHECK_H
