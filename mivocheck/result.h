// mivocheck --result [FILE]: the newest run of a run record as the exit code of
// an installer, for the deployment tools that decide from one.
//
// The newest run is the last start line of the record and the lines of its
// process id that follow it. Its code is, the first that applies:
// - the first package, in plan order, whose call did not succeed decides: the
//   result of its failed removal or installation, or 1618
//   (ERROR_INSTALL_ALREADY_RUNNING) for a call left for the next run because
//   the installer stayed busy;
// - 1603 (ERROR_INSTALL_FAILURE) when a line after the newest start line does
//   not parse (the calls before it are read: a failure among them decides
//   above), when the run has no end line (it crashed or was ended), when it
//   installed nothing because its folder could not be read or a package's
//   path could not be formed, and when the record lacks a package's result;
// - 1641 when a call succeeded and started a restart, else 3010 when one
//   succeeded and asked for a restart, or was suspended (1604, a package's
//   ForceReboot) to finish after a restart;
// - 0 when every call succeeded, or none was needed.
// A record that does not exist, cannot be read or holds no run gives 1622
// (ERROR_INSTALL_LOG_FAILURE).
#ifndef MIVOCHECK_RESULT_H
#define MIVOCHECK_RESULT_H

#include <functional>
#include <string>
#include <vector>

#include "mivocheck/records.h"
#include "platform/platform.h"

namespace mivocheck {

// The code of a record and what it comes from, in UTF-8 with outside text
// escaped as in the record: "mivo_1036.msi installation failed".
struct RecordResult {
  UINT code = 0;
  std::string cause;
};

// The result of the newest run in the record at `path`, a path of the
// platform (read through CreateFileW, sharing the file with the runs that
// write it).
RecordResult ResultOfRecord(LPCWSTR path);

// The same, and the start time of the newest run ("" for none) in
// `newest_start` when it is not null. The record's generations are read,
// older first, as one text (setup/record_files.h); lines are counted in it.
// With `user`, runs whose user line names another user are not read; runs
// without one (earlier releases) are anyone's.
RecordResult ResultOfRecord(LPCWSTR path, std::string* newest_start, const RecordText* user);

// The result of the newest run of the records in every folder that a run may
// record in: those that TMP, TEMP and %LOCALAPPDATA%\Temp name, whether or not
// a run would choose them now, of the user who asks (RecordUserName). Without
// any run, the first record's answer,
// else "no record" for the first folder named, else "no temporary folder".
RecordResult ResultOfNewestRecord();

// The line of a result: "mivocheck: 1603 (ERROR_INSTALL_FAILURE): CAUSE\n".
std::string FormatResult(const RecordResult& result);

// The command `mivocheck --result [FILE]` with its arguments after
// "--result": prints the line of the result to `out` and returns its code;
// more than one argument prints `usage` to `err` and returns 1639
// (ERROR_INVALID_COMMAND_LINE).
int ReportResult(const std::vector<RecordArgument>& arguments, const std::string& usage,
                 const std::function<void(const std::string&)>& out,
                 const std::function<void(const std::string&)>& err);

}  // namespace mivocheck

#endif  // MIVOCHECK_RESULT_H
