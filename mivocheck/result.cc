#include "mivocheck/result.h"

#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/utf8.h"
#include "setup/record.h"
#include "setup/record_files.h"
#include "setup/temp_folder.h"
#include "text/cstring.h"

namespace mivocheck {

namespace {

const UINT kSuccess = 0;
const UINT kRestartNeeded = 3010;   // ERROR_SUCCESS_REBOOT_REQUIRED
const UINT kRestartStarted = 1641;  // ERROR_SUCCESS_REBOOT_INITIATED
const UINT kSuspended = 1604;       // ERROR_INSTALL_SUSPEND: finishes after a restart
const UINT kInstallerBusy = 1618;   // ERROR_INSTALL_ALREADY_RUNNING
const UINT kFailure = 1603;         // ERROR_INSTALL_FAILURE
const UINT kNoRecord = 1622;        // ERROR_INSTALL_LOG_FAILURE
const UINT kBadCommandLine = 1639;  // ERROR_INVALID_COMMAND_LINE

// The whole file at `path`, opened sharing everything as the runs do, so that
// a run that writes or renames it at the same time neither fails nor is kept
// out.
bool ReadWholeFile(LPCWSTR path, std::string& bytes, DWORD* error) {
  bytes.clear();
  HANDLE file = CreateFileW(path, GENERIC_READ, kRunRecordShare, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  static char buffer[64 * 1024];
  bool read = true;
  for (;;) {
    DWORD count = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &count, nullptr)) {
      *error = GetLastError();
      read = false;
      break;
    }
    if (count == 0) break;
    bytes.append(buffer, count);
  }
  CloseHandle(file);
  return read;
}

// Whether `now` is `before` with bytes appended.
bool Extends(const std::string& now, const std::string& before) {
  return now.size() >= before.size() && now.compare(0, before.size(), before) == 0;
}

// The generations of the record at `path`, older first, as one text. They are
// read again until two reads agree: each generation as the read before found
// it, or longer by lines appended since, so that no new generation began
// between them and no line is missed or read twice. A missing or unreadable
// older generation is none; false, with the error, when the record itself
// cannot be read.
bool ReadGenerations(LPCWSTR path, std::string& bytes, DWORD* error) {
  CString older;
  if (!older.Format(kRunRecordOlderFormat, path)) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  std::string before[2], now[2];
  for (int read = 0; read < 100; ++read) {
    DWORD older_error = 0;
    if (!ReadWholeFile(older, now[0], &older_error)) now[0].clear();
    if (!ReadWholeFile(path, now[1], error)) return false;
    if (read > 0 && Extends(now[0], before[0]) && Extends(now[1], before[1])) break;
    before[0].swap(now[0]);
    before[1].swap(now[1]);
    if (read == 99) now[0].swap(before[0]), now[1].swap(before[1]);
  }
  bytes = now[0] + now[1];
  return true;
}

// Keeps the first run of process `pid` that the reader hands over (the run
// that begins where the reader starts) and the first line that does not parse.
class NewestRun : public RecordSink {
 public:
  explicit NewestRun(DWORD pid) : pid_(pid) {}
  void RunDone(const Run& run) override {
    if (found_ || run.pid != pid_) return;
    run_ = run;
    found_ = true;
  }
  void LineNotParsed(const std::string&, unsigned long long line_number) override {
    if (bad_line_ == 0) bad_line_ = line_number;
  }

  Run run_;
  unsigned long long bad_line_ = 0;  // counted from the first line fed

 private:
  DWORD pid_;
  bool found_ = false;
};

std::string Quoted(const RecordText& text) { return "\"" + RecordTextEscaped(text) + "\""; }

const char* CallWords(bool removal) { return removal ? "removal" : "installation"; }

// The first failure of `package` in call order: a removal comes before the
// installation, and a call left for the next run counts as 1618.
bool PackageFailure(const PackageRun& package, RecordResult& result) {
  const std::string name = RecordTextEscaped(package.name);
  if (package.removed && !ResultSucceeded(package.removal_result)) {
    result = {package.removal_result, name + " removal failed"};
    return true;
  }
  if (package.gave_up) {
    result = {kInstallerBusy, name + " " + CallWords(package.gave_up_removal) +
                                  " left for the next run: the installer stayed busy"};
    return true;
  }
  if (package.installed && !ResultSucceeded(package.installation_result)) {
    result = {package.installation_result, name + " installation failed"};
    return true;
  }
  return false;
}

// The code of the newest run, read up to the first line that does not parse
// (`bad_line`, 0 for none; its number in the file).
RecordResult ResultOfRun(const Run& run, unsigned long long bad_line) {
  RecordResult result;
  for (const PackageRun& package : run.packages) {
    if (PackageFailure(package, result)) return result;
  }
  if (bad_line != 0) {
    return {kFailure, "line " + std::to_string(bad_line) +
                          " of the record does not parse, so the newest run cannot be read"};
  }
  const std::string started =
      " (process " + std::to_string(run.pid) + ", started " + run.start_time + ")";
  if (!run.Finished()) {
    return {kFailure, "the newest run" + started + " has no end line: it crashed or was ended"};
  }
  if (run.folder_unreadable) {
    return {kFailure, "the newest run could not read its own folder and installed nothing"};
  }
  if (run.path_too_long) {
    return {kFailure, "the newest run could not form a package's path and installed nothing"};
  }
  const PackageRun* restart = nullptr;
  UINT restart_code = kSuccess;
  UINT restart_result = kSuccess;  // the call's own result behind restart_code
  bool called = false;
  for (const PackageRun& package : run.packages) {
    if (OutcomeOf(run, package) == Outcome::kNoResult) {
      return {kFailure, RecordTextEscaped(package.name) + " has no result in the record"};
    }
    called = called || package.removed || package.installed;
    for (UINT answer : {package.removal_result, package.installation_result}) {
      // A suspended call is finished by a restart, as one that asked for it.
      const UINT code = answer == kSuspended ? kRestartNeeded : answer;
      if ((code == kRestartStarted && restart_code != kRestartStarted) ||
          (code == kRestartNeeded && restart_code == kSuccess)) {
        restart_code = code;
        restart_result = answer;
        restart = &package;
      }
    }
  }
  if (run.end_counts_failures) {
    return {kFailure, "the newest run counted failed packages that the record does not show"};
  }
  if (restart) {
    const bool removal = restart->removed && restart->removal_result == restart_result;
    return {restart_code,
            RecordTextEscaped(restart->name) + " " + CallWords(removal) +
                (restart_code == kRestartStarted ? " started a restart"
                 : restart_result == kSuspended  ? " was suspended and finishes after a restart"
                                                 : " asked for a restart")};
  }
  return {kSuccess, called ? "the newest run ended and every call succeeded"
                           : "the newest run ended and nothing needed a call"};
}

// The lines of `bytes`, each with the LF that ends it (the last may have none).
template <typename Visit>
void ForEachLine(std::string_view bytes, Visit visit) {
  size_t begin = 0;
  while (begin < bytes.size()) {
    const size_t lf = bytes.find('\n', begin);
    const size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
    if (!visit(bytes.substr(begin, end - begin), begin)) return;
    begin = end;
  }
}

// A path as the command line gave it: UTF-16 on Windows, UTF-8 elsewhere.
template <typename Unit>
RecordText ArgumentText(const Unit* argument) {
  if constexpr (std::is_same_v<Unit, WCHAR>) {
    return argument;
  } else {
    return utf8::ToUtf16<WCHAR>(argument);
  }
}

}  // namespace

RecordResult ResultOfRecord(LPCWSTR path) { return ResultOfRecord(path, nullptr, nullptr); }

RecordResult ResultOfRecord(LPCWSTR path, std::string* newest_start, const RecordText* user) {
  std::string bytes;
  DWORD error = 0;
  if (!ReadGenerations(path, bytes, &error)) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return {kNoRecord, "no record at " + Quoted(path)};
    }
    return {kNoRecord,
            "the record " + Quoted(path) + " cannot be read (error " + std::to_string(error) + ")"};
  }

  // The start lines, each marked when the user line that follows it in its
  // run names another user than `user`.
  struct Start {
    size_t offset;
    unsigned long long line;
    std::string time;
    DWORD pid;
    bool of_another_user;
  };
  std::vector<Start> starts;
  std::unordered_map<DWORD, size_t> latest;  // the newest start of each process id
  RecordLine parsed;
  unsigned long long line_number = 0, first_bad_line = 0;
  ForEachLine(bytes, [&](std::string_view line, size_t offset) {
    ++line_number;
    const bool whole = line.size() >= 2 && line.substr(line.size() - 2) == "\r\n";
    if (!whole || !ParseRecordLine(line.substr(0, line.size() - 2), parsed)) {
      if (first_bad_line == 0) first_bad_line = line_number;
    } else if (parsed.kind == kRecordStart) {
      latest[parsed.pid] = starts.size();
      starts.push_back({offset, line_number, parsed.time, parsed.pid, false});
    } else if (parsed.kind == kRecordUser && user) {
      const auto found = latest.find(parsed.pid);
      if (found != latest.end() && parsed.fields[0].text != *user) {
        starts[found->second].of_another_user = true;
      }
    }
    return true;
  });
  if (starts.empty()) {
    if (first_bad_line != 0) {
      return {kNoRecord, "line " + std::to_string(first_bad_line) +
                             " of the record does not parse, and no run can be read"};
    }
    return {kNoRecord, "no run in the record " + Quoted(path)};
  }
  // The newest run is the last start line of the user's own runs and of runs
  // that name no user (an earlier release's).
  size_t own = starts.size();
  while (own > 0 && starts[own - 1].of_another_user) --own;
  if (own == 0) return {kNoRecord, "no run of " + Quoted(*user) + " in the record " + Quoted(path)};
  const size_t start = starts[own - 1].offset;
  const unsigned long long start_line = starts[own - 1].line;
  if (newest_start) *newest_start = starts[own - 1].time;

  // From there, line by line up to the first line that does not parse: the
  // calls before it are known, those after it are not.
  NewestRun newest(starts[own - 1].pid);
  RecordFileReader reader("", newest);
  ForEachLine(std::string_view(bytes).substr(start), [&](std::string_view line, size_t) {
    reader.Feed(line.data(), line.size());
    return newest.bad_line_ == 0;
  });
  // The run still open is handed over unfinished; a last line without its
  // line end does not parse.
  reader.Finish();
  const unsigned long long bad_line = newest.bad_line_ == 0 ? 0 : start_line - 1 + newest.bad_line_;
  return ResultOfRun(newest.run_, bad_line);
}

RecordResult ResultOfNewestRecord() {
  RecordResult result{kNoRecord, "no temporary folder, so no record"};
  // What the best so far is: nothing, no record, a record without a run, a
  // run (started at `newest`).
  int best = -1;
  std::string newest;
  CString folders[kTempFromNone];
  CString user_name;
  const bool has_user = RecordUserName(user_name);
  const RecordText user = has_user ? RecordText(user_name.GetString()) : RecordText();
  for (int source = kTempFromTmp; source < kTempFromNone; ++source) {
    CString& folder = folders[source];
    CString path;
    if (TempCandidate(static_cast<TempSource>(source), folder) != kTempUsable ||
        !path.Format(kRunRecordPathFormat, folder.GetString())) {
      continue;
    }
    bool seen = false;  // the same folder by another variable
    for (int other = kTempFromTmp; other < source; ++other) {
      seen = seen || TextEqualsIgnoreAsciiCase(folders[other], folder);
    }
    if (seen) continue;
    std::string start;
    const RecordResult candidate = ResultOfRecord(path, &start, has_user ? &user : nullptr);
    const int rank = !start.empty() ? 2 : candidate.cause.rfind("no record at", 0) == 0 ? 0 : 1;
    // Of two runs started in the same second the later folder's: a run takes
    // it only when the earlier ones could not hold the record.
    if (rank > best || (rank == 2 && start >= newest)) {
      result = candidate;
      best = rank;
      newest = start;
    }
  }
  return result;
}

std::string FormatResult(const RecordResult& result) {
  return "mivocheck: " + ResultText(result.code) + ": " + result.cause + "\n";
}

int ReportResult(const std::vector<RecordArgument>& arguments, const std::string& usage,
                 const std::function<void(const std::string&)>& out,
                 const std::function<void(const std::string&)>& err) {
  if (arguments.size() > 1 || (arguments.size() == 1 && !*arguments[0])) {
    err(usage);
    return static_cast<int>(kBadCommandLine);
  }
  const RecordResult result = arguments.empty()
                                  ? ResultOfNewestRecord()
                                  : ResultOfRecord(ArgumentText(arguments[0]).c_str());
  out(FormatResult(result));
  return static_cast<int>(result.code);
}

}  // namespace mivocheck
