// mivocheck --records: reads run records (MIVOSetup.log) as they are collected
// from many machines, rebuilds every run from its lines, and folds the runs
// into a summary or writes them as CSV.
//
// The lines are read by the grammar of setup/record.h, from its templates: a
// line that matches no template exactly does not parse. The tests read every
// record they make through the same parser, so the writer and the reader
// cannot drift apart.
#ifndef MIVOCHECK_RECORDS_H
#define MIVOCHECK_RECORDS_H

#include <array>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "mivocheck/files.h"
#include "platform/platform.h"
#include "setup/record.h"

namespace mivocheck {

// A text of the record, as the run had it: UTF-16 units.
using RecordText = std::basic_string<WCHAR>;

// The most conversions one template holds.
constexpr int kRecordMaxFields = 6;

// One conversion of a line's template and its value.
struct RecordField {
  char conversion = 0;   // 'q', 's', 'a', 'u', 'd' or 'r', as in the template
  RecordText text;       // q, s, a: the text (q unescaped)
  long long number = 0;  // u, d, r
};

// One line of a record.
struct RecordLine {
  std::string time;  // "YYYY-MM-DD hh:mm:ssZ"
  DWORD pid = 0;
  bool has_package = false;
  RecordText package;  // the package's file name, for the facts of one package
  RecordKind kind = kRecordKindCount;
  int field_count = 0;
  std::array<RecordField, kRecordMaxFields> fields;  // the first field_count, in template order
};

// Whether lines of `kind` carry a package's name: all but the start, the lock,
// the unreadable folder and the end, which concern the run as a whole.
bool RecordKindHasPackage(RecordKind kind);

// Parses one line of a record, its bytes without the CRLF that ends it. False
// when the line is not exactly one of the grammar:
// - the time stamp is a real UTC time ("2026-12-08 14:16:35Z", month 01-12, a
//   day of that month, hour 00-23, minute and second 00-59); the process id is
//   a decimal DWORD without leading zeros;
// - the kinds that carry a package have a name before ": ", the others none;
// - the rest is one template, its literal text byte for byte. %u and %d are
//   decimal without leading zeros or "+" (and no "-0"), within their range; %r
//   is a number followed by exactly the words that record.h gives it; %a is
//   printable ASCII without '"' or '<', and where the writer has a fixed set
//   of words (the plan's rule, the installed state's words for its number,
//   the waiting call) one of them; %s and the package's name are texts
//   escaped as %q is, without the quotes and without a blank at either end;
//   %a and %s end at the first occurrence of the template text that follows
//   them and are never empty; an end line that counts failures counts
//   at least one;
// - a %q text is between double quotes and is read back to the exact UTF-16
//   units the run had: "<U+XXXX>" (four upper-case hexadecimal digits) is the
//   unit XXXX, everything else is UTF-8. The escaping is canonical, so a text
//   has one spelling only: a raw '"' (that is, text after the closing quote
//   that the template does not have), a '<' that does not begin an escape, an
//   escape in lower case or with fewer digits, an escape of a unit that is
//   never escaped ("<U+0041>") or of NUL (which ends every text of the run,
//   so none holds it), an escaped high surrogate followed by an
//   escaped low one (a pair is written as its UTF-8), a raw character that must
//   be escaped (a control, U+2028, a bidirectional control) and invalid UTF-8
//   (overlong forms, surrogates, beyond U+10FFFF, cut sequences) all fail.
// `line` keeps its buffers from call to call; on failure its content is
// unspecified.
bool ParseRecordLine(std::string_view bytes, RecordLine& line);

// What happened to one planned package in one run.
enum class Outcome {
  kInstalled,
  kRemovedAndInstalled,
  kLeftAlone,
  kFailed,          // a removal or installation whose result is not a success
  kGaveUp,          // the installer stayed busy and the run's waiting time was spent
  kDidNotFinish,    // the run ended (crashed, was ended) before the package's result
  kPathTooLong,     // a package's path could not be formed, so the run installed nothing
  kNothingPlanned,  // the run's folder could not be read (a run without packages)
  kNoResult,        // the run ended without a result for the package
};

// One planned package of one run. Texts are empty when their line is missing.
struct PackageRun {
  RecordText name;  // "mivo.msi"
  RecordText rule;  // the plan's rule: "core package", ...
  RecordText product_code;
  RecordText package_version;
  RecordText installed_version;
  RecordKind decision = kRecordKindCount;  // one of the decision kinds, or kRecordKindCount
  bool removed = false;                    // a removal line: removal_result holds its result
  UINT removal_result = 0;
  bool installed = false;  // an installation line: installation_result holds its result
  UINT installation_result = 0;
  bool gave_up = false;          // a "left:" line
  bool gave_up_removal = false;  // ... for the removal (else the installation)
};

// One run: the lines of one process id in one file, from its start line to its
// end line.
struct Run {
  std::string file;  // the file as named on the command line, UTF-8
  DWORD pid = 0;
  std::string start_time;
  std::string end_time;  // empty: the run did not finish
  RecordText version;    // of the program
  RecordText executable;
  RecordText arguments;
  DWORD user_lcid = 0;
  RecordText temp_folder;
  RecordText user;  // "DOMAIN\name" of the user line; empty without one
  bool folder_unreadable = false;
  bool path_too_long = false;        // a package's path could not be formed
  bool end_counts_failures = false;  // the end line counted failed packages
  std::vector<PackageRun> packages;  // in plan order

  bool Finished() const { return !end_time.empty(); }
};

// The outcome of a package of a run, and the words for it ("installed",
// "installation failed with result 1603 (ERROR_INSTALL_FAILURE)"); the first
// that applies of: gave up waiting, a failed removal, the installation's
// result, left alone, a package path too long, the run did not finish, no
// result.
Outcome OutcomeOf(const Run& run, const PackageRun& package);
std::string OutcomeText(const Run& run, const PackageRun& package);
// The words of the outcome of a run without packages.
std::string RunOutcomeText(const Run& run);
// An installer result as the record writes it: "0 (success)", "1603
// (ERROR_INSTALL_FAILURE)", or the number alone when it has no name.
std::string ResultText(UINT result);
// True when the run did not finish or a call of it failed.
bool RunFailed(const Run& run);

// Receives what the reader finds.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // A run is complete: at its end line, when its process id starts again
  // (the earlier run did not finish), or at the end of its file.
  virtual void RunDone(const Run& run) = 0;
  // Line `line_number` (from 1) of `file` does not parse.
  virtual void LineNotParsed(const std::string& file, unsigned long long line_number) {
    (void)file;
    (void)line_number;
  }
};

// Reads one file's bytes, given piece by piece, into runs. Lines are split at
// LF; a line must end in CRLF. Lines of a process id before its first start
// line (the rest of a run begun in an older generation) and lines after its end line
// belong to no run and are skipped. Time is linear in the bytes, whatever they
// hold: the open runs are found by process id and their packages by name, in
// hash tables. Memory holds the runs open in this file and one line.
class RecordFileReader {
 public:
  RecordFileReader(std::string file, RecordSink& sink);
  void Feed(const char* bytes, size_t count);
  // The end of the file: a last line without its CRLF does not parse, and the
  // runs still open did not finish.
  void Finish();

 private:
  // A run that has not ended, and where each package's name is in it.
  struct OpenRun {
    std::list<Run>::iterator run;
    std::unordered_map<RecordText, size_t> packages;
  };
  void Line(std::string_view bytes);
  void Take(const RecordLine& line);
  OpenRun* Open(DWORD pid);
  // Hands the open run of `pid` to the sink and forgets it.
  void Close(DWORD pid);
  PackageRun& PackageOf(OpenRun& open, const RecordText& name);

  std::string file_;
  RecordSink& sink_;
  std::string pending_;  // the part of a line that the last piece cut
  bool overlong_ = false;
  unsigned long long line_number_ = 0;
  RecordLine line_;
  std::list<Run> order_;                     // the runs of this file that have not ended
  std::unordered_map<DWORD, OpenRun> open_;  // ... by process id
};

// Reads the file at `path`, named `name` in what is reported. False when it
// cannot be opened or read.
bool ReadRecordFile(const PathString& path, const std::string& name, RecordSink& sink);

// The default output: finished runs folded into counters per package and
// outcome.
class RecordSummary : public RecordSink {
 public:
  void RunDone(const Run& run) override;

  // One row per package and outcome with its number of runs, the totals, and
  // for each kind of failure the files it came from, sorted by name. UTF-8,
  // "\n" line ends.
  std::string Format() const;
  bool AnyRunFailed() const { return failed_runs_ + unfinished_runs_ > 0; }

 private:
  struct Row {
    unsigned long long runs = 0;
    std::vector<std::string> files;  // of a failure, each once, in the order read
  };
  // (package, outcome order, outcome text)
  using Key = std::tuple<std::string, int, std::string>;
  void Count(const std::string& package, Outcome outcome, const std::string& text,
             const std::string& file, bool failure);

  std::map<Key, Row> rows_;
  unsigned long long runs_ = 0;
  unsigned long long failed_runs_ = 0;
  unsigned long long unfinished_runs_ = 0;
};

// --csv: one row per run and package (a run without packages: one row, its
// package fields empty), RFC 4180, with a header row, CRLF line ends; every
// row has the header's fields; each row is handed to `out` as its run is
// complete. Texts are UTF-8 as the run had them, but for the units that would
// break a row or move the cursor (C0 and C1 controls, DEL, U+2028, U+2029),
// written as "<U+XXXX>"; a unit that UTF-8 cannot hold (an unpaired
// surrogate) is written as U+FFFD, which is what Windows' own conversion
// writes; the record itself keeps it exactly.
class CsvRecordWriter : public RecordSink {
 public:
  explicit CsvRecordWriter(std::function<void(const std::string&)> out);
  void RunDone(const Run& run) override;

  bool AnyRunFailed() const { return any_failed_; }

 private:
  std::function<void(const std::string&)> out_;
  bool any_failed_ = false;
  std::string row_;
};

// A command-line argument as the system hands it over (UTF-16 on Windows).
using RecordArgument = const PathString::value_type*;

// The command `mivocheck --records [--csv] FILE...` with its arguments after
// "--records". A FILE that is a folder stands for every file below it (as
// records are collected: one folder, or one per machine), read in the order
// the folder lists them. The output goes through `out`, the messages (bad
// usage, which is followed by `usage`; files that cannot be read; "FILE:LINE:
// does not parse as a line of the record" and the count of such lines)
// through `err`. File names and the texts of the records in the summary and
// the messages are escaped as the record escapes them (RecordTextEscaped).
// Returns the exit code:
//   0 at least one run was read, every line of every file parsed, and every
//     run ended with no failed call;
//   1 some line does not parse, or some run failed or did not finish;
//   2 bad usage, a file that cannot be read (the other files are still read),
//     or no run at all in what was named (an empty folder, files that are not
//     records).
// Memory does not grow with the number of files beyond the arguments
// themselves and the names of the files with a failure.
int ReadRecords(const std::vector<RecordArgument>& arguments, const std::string& usage,
                const std::function<void(const std::string&)>& out,
                const std::function<void(const std::string&)>& err);

// UTF-8 of a record text; an unpaired surrogate becomes U+FFFD.
std::string RecordTextUtf8(const RecordText& text);

// UTF-8 of a record text escaped as the record escapes it, without the
// quotes: every unit that the record writes as "<U+XXXX>" (controls, bidi
// controls, unpaired surrogates, '"' and '<') is written so; everything else
// as its UTF-8. For outside text that goes to a terminal or a report.
std::string RecordTextEscaped(const RecordText& text);

}  // namespace mivocheck

#endif  // MIVOCHECK_RECORDS_H
