// The run record: MIVOSetup.log in the temporary folder, to which every run
// appends what it saw, what it decided and why, and what the installer
// answered, one fact per line. The program shows nothing and always exits 0, so
// this file is how an administrator finds out afterwards what a run did, and
// what a fleet's tools read back (mivocheck --records).
//
// The file is UTF-8 without a byte-order mark, with CRLF line ends and no other
// line break. Every line is
//   YYYY-MM-DD hh:mm:ssZ [PID] [PACKAGE: ]KEYWORD: DETAILS
// with the UTC date and time to the second, the process id, for the facts of
// one package its file name ("mivo.msi", "mivo_1031.msi"), and then the text of
// one kind of line below, e.g.
//   2026-12-08 13:53:20Z [4242] mivo.msi: decision: current, so leave alone
// Each line is written with one append as soon as it is made, so a run that
// ends abruptly leaves every line written before, and lines of runs that write
// at the same time never mix within a line.
//
// Every text that comes from outside the program (paths, the argument text,
// package properties, product codes, versions, the installer's answers) stands
// between double quotes, escaped: each UTF-16 unit that is a C0 or C1 control,
// DEL, U+2028, U+2029, a bidirectional control (U+061C, U+200E, U+200F,
// U+202A-U+202E, U+2066-U+2069), an unpaired surrogate, '"' or '<' is written
// as "<U+XXXX>" (four upper-case hexadecimal digits); everything else as its
// UTF-8. Windows file names may hold every one of these but the quote and the
// controls below U+0020 (NTFS takes U+202E, the C1 controls, DEL and unpaired
// surrogates), and the escaping shows each as its number, so a path reads as
// typed unless it holds one, and then as what it is.
//
// Runs of one session, of two sessions and of two users that share a folder
// write one record at the same time. Each line opens the record, is appended
// with one write and closes it again. The record is kept in two generations
// (setup/record_files.h): when a line would take the current file over 1 MiB,
// the file is first renamed to the older generation, and the line begins a new
// one. Nothing is ever cut out of a file, so the record keeps whole lines and
// loses none that a run finished writing, however runs interleave or end; the
// oldest lines go only as a whole generation, once two newer MiB are written.
// Nothing waits for another run.
//
// The record never changes what the run does: when the file cannot be opened,
// locked or written (no such folder, held open by another process, disk
// full), the lines are written as well as they can be or lost, and nothing
// else happens.
#ifndef SETUP_RECORD_H
#define SETUP_RECORD_H

#include "platform/platform.h"
#include "platform/utf8_codec.h"
#include "setup/plan.h"
#include "setup/product_version.h"
#include "setup/record_files.h"
#include "text/cstring.h"

// The kinds of line, each with its template in kRecordTemplates below, in this
// order. The lines of a package's facts carry its name; the others do not.
enum RecordKind {
  kRecordStart,
  kRecordLockWaited,
  kRecordLockGoingOn,
  kRecordNoFolder,
  kRecordPlan,
  kRecordPathTooLong,
  kRecordPackageOpened,
  kRecordPackageNotOpened,
  kRecordProductCode,
  kRecordUpgradeCode,
  kRecordProductVersion,
  kRecordPackageKeyFile,
  kRecordInstalledState,
  kRecordInstalledProduct,
  kRecordCachedPackage,
  kRecordCachedPackageUnnamed,
  kRecordCachedKeyFile,
  kRecordCachedKeyFileUnreadable,
  kRecordDecisionNotOpened,
  kRecordDecisionNotInstalled,
  kRecordDecisionVersionDiffers,
  kRecordDecisionCacheUnreadable,
  kRecordDecisionNotRelated,
  kRecordDecisionRemoveFirst,
  kRecordDecisionCurrent,
  kRecordWait,
  kRecordLeft,
  kRecordRemoval,
  kRecordInstallation,
  kRecordEnd,
  kRecordEndWithFailures,
  kRecordEndWithRestarts,
  kRecordEndWithRestartsAndFailures,
  kRecordTempElsewhere,
  kRecordWithoutLog,
  kRecordUser,
  kRecordKindCount
};

// The templates of the kinds, NUL-separated, in the order of RecordKind: the
// text of the line after the time, the process id and the package's name. The
// keyword is the text before the first ": ". Conversions:
//   %q a text from outside (UTF-16), quoted and escaped;
//   %s a text of the program's own (UTF-16: a package or key file name);
//   %a a text of the program's own (ASCII: a version, a rule, a state, an
//      action), never holding the template text that follows it;
//   %u a DWORD, %d an int, in decimal;
//   %r an installer result, always last: its number, then " (success)",
//      " (success, reboot needed)" (3010), " (success, reboot started)" (1641),
//      " (suspended, finishes after a restart)" (1604), " (ERROR_NAME)" for a
//      known failure, or nothing for an unknown one.
// Changing a template changes the grammar that mivocheck --records reads and
// docs/run-record.md documents.
inline constexpr char kRecordTemplates[] =
    "start: mivoboot %a, executable %q, arguments %q, user default LCID %u, temporary folder %q\0"
    "lock: waited %u ms for another run of the setup to end\0"
    "lock: another run of the setup is still going after %u ms; going on without waiting for "
    "it\0"
    "plan: the executable's own folder cannot be read; nothing is installed\0"
    "plan: %a, package %q, key file %s, log %q\0"
    "plan: the package's path cannot be formed in the folder %q (too long); nothing is "
    "installed\0"
    "package: opened\0"
    "package: could not be opened: %r\0"
    "ProductCode: %q\0"
    "UpgradeCode: %q\0"
    "ProductVersion: %q\0"
    "key file: %s has version %q in the package\0"
    "installed state: %d (%a)\0"
    "installed product: %q has version %q\0"
    "cached package: %q\0"
    "cached package: cannot be named: %r\0"
    "cached key file: %s has version %q\0"
    "cached key file: %s cannot be read from the cached package\0"
    "decision: package could not be opened, so install\0"
    "decision: not installed, so install\0"
    "decision: installed version %q differs from %q, so install\0"
    "decision: cached package or its key file unreadable, so install\0"
    "decision: installed, but not among the related products of its upgrade code, so install\0"
    "decision: cached key file %q older than %q, so remove first and install\0"
    "decision: current, so leave alone\0"
    "wait: the installer is busy with another installation (1618); waiting %u ms before the "
    "%a is tried again\0"
    "left: the installer is still busy and the run's waiting time is spent; the %a is left "
    "for the next run\0"
    "removal: %q (log %q): %r\0"
    "installation: %q (log %q): %r\0"
    "end: %u installed, %u removed, %u left alone, %u ms\0"
    "end: %u installed, %u removed, %u left alone, %u failed, %u ms\0"
    "end: %u installed, %u removed, %u left alone, %u needing a restart, %u ms\0"
    "end: %u installed, %u removed, %u left alone, %u needing a restart, %u failed, %u ms\0"
    "temporary folder: TMP names %q, which %a; the run uses %a instead\0"
    "log: the installer cannot create the log (1622); the %a is tried once more without a log\0"
    "user: %q";

// The template of `kind`.
const char* RecordTemplate(RecordKind kind);

// The words of the plan line's rule and of the installed state line.
const char* RecordRuleText(PlanRule rule);
const char* RecordStateText(INSTALLSTATE state);

// True for the UTF-16 units that a text of the record writes as "<U+XXXX>"
// (platform/utf8_codec.h).
inline bool RecordUnitEscaped(unsigned unit) { return utf8::UnitEscaped(unit); }

// The user whose run it is, as a run records it and mivocheck --result asks
// for it: "%USERDOMAIN%\%USERNAME%" of the environment; false when either is
// not set.
bool RecordUserName(CString& user);

// True for the installer results that count as success: 0, 3010 (a reboot is
// needed), 1641 (a reboot was started) and 1604 (the installation was
// suspended by its package's ForceReboot and finishes after a restart).
bool ResultSucceeded(UINT result);

// How %r words a result after its number, without the parentheses: for a
// success "success", "success, reboot needed", "success, reboot started" or
// "suspended, finishes after a restart";
// for a known failure null from RecordSuccessWords and the name without its
// "ERROR_" from RecordFailureName ("INSTALL_FAILURE"); null from both for an
// unknown failure.
const char* RecordSuccessWords(UINT result);
const char* RecordFailureName(UINT result);

class RunRecord {
 public:
  // A record that writes nothing until it is opened.
  RunRecord() {}
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // Writes the lines that follow to <folder>\MIVOSetup.log, created when it
  // does not exist; the folder is not created. Each line opens the file for
  // appending alone, shared for everything, so that other runs append and
  // rename at the same time (see above). Opening a record that is open
  // already changes nothing.
  void Open(LPCWSTR folder);

  // Names the package whose facts follow ("mivo.msi"): each line begins with
  // the name and ": " until the next call; null ends it. The text must stay
  // valid while it is named.
  void SetEntry(LPCWSTR name);

  // The lines, one function a kind. Null texts are written as empty ones.
  void Start(LPCWSTR executable, LPCWSTR arguments, LCID user_locale, LPCWSTR temp_folder) {
    Write(kRecordStart, MIVO_VERSION_TEXT, executable, arguments, user_locale, temp_folder);
  }
  // The user of the run, the line after the start line (RecordUserName);
  // records of earlier releases have none.
  void User(LPCWSTR user) { Write(kRecordUser, user); }
  void LockWaited(DWORD milliseconds) { Write(kRecordLockWaited, milliseconds); }
  void LockGoingOn(DWORD milliseconds) { Write(kRecordLockGoingOn, milliseconds); }
  void NoFolder() { Write(kRecordNoFolder); }
  void Plan(PlanRule rule, LPCWSTR package_path, LPCWSTR key_file, LPCWSTR log_path) {
    Write(kRecordPlan, RecordRuleText(rule), package_path, key_file, log_path);
  }
  void PathTooLong(LPCWSTR folder) { Write(kRecordPathTooLong, folder); }
  void PackageOpened() { Write(kRecordPackageOpened); }
  void PackageNotOpened(UINT result) { Write(kRecordPackageNotOpened, result); }
  void ProductCode(LPCWSTR code) { Write(kRecordProductCode, code); }
  void UpgradeCode(LPCWSTR code) { Write(kRecordUpgradeCode, code); }
  void ProductVersion(LPCWSTR version) { Write(kRecordProductVersion, version); }
  void PackageKeyFile(LPCWSTR key_file, LPCWSTR version) {
    Write(kRecordPackageKeyFile, key_file, version);
  }
  void InstalledState(INSTALLSTATE state) {
    Write(kRecordInstalledState, static_cast<int>(state), RecordStateText(state));
  }
  void InstalledProduct(LPCWSTR code, LPCWSTR version) {
    Write(kRecordInstalledProduct, code, version);
  }
  void CachedPackage(LPCWSTR path) { Write(kRecordCachedPackage, path); }
  void CachedPackageUnnamed(UINT result) { Write(kRecordCachedPackageUnnamed, result); }
  void CachedKeyFile(LPCWSTR key_file, LPCWSTR version) {
    Write(kRecordCachedKeyFile, key_file, version);
  }
  void CachedKeyFileUnreadable(LPCWSTR key_file) {
    Write(kRecordCachedKeyFileUnreadable, key_file);
  }
  void DecisionNotOpened() { Write(kRecordDecisionNotOpened); }
  void DecisionNotInstalled() { Write(kRecordDecisionNotInstalled); }
  void DecisionVersionDiffers(LPCWSTR installed, LPCWSTR package) {
    Write(kRecordDecisionVersionDiffers, installed, package);
  }
  void DecisionCacheUnreadable() { Write(kRecordDecisionCacheUnreadable); }
  void DecisionNotRelated() { Write(kRecordDecisionNotRelated); }
  void DecisionRemoveFirst(LPCWSTR cached, LPCWSTR package) {
    Write(kRecordDecisionRemoveFirst, cached, package);
  }
  void DecisionCurrent() { Write(kRecordDecisionCurrent); }
  // A wait for a busy installer before a removal or an installation is tried
  // again, and a call that met a busy installer when no waiting time was left.
  void Wait(DWORD milliseconds, bool removal) {
    Write(kRecordWait, milliseconds, removal ? "removal" : "installation");
  }
  void Left(bool removal) { Write(kRecordLeft, removal ? "removal" : "installation"); }
  // Why the folder of TMP is not the run's temporary folder, and which one is.
  // (Without any folder there is no record to write it to.)
  // The words come from the temporary folder's choice (TempRefusalText,
  // TempSourceText).
  void TempNotTmp(LPCWSTR tmp_folder, const char* refusal, const char* source) {
    Write(kRecordTempElsewhere, tmp_folder, refusal, source);
  }
  // A removal or an installation that could not create its log and is tried
  // again without one.
  void WithoutLog(bool removal) { Write(kRecordWithoutLog, removal ? "removal" : "installation"); }
  void Removal(LPCWSTR product_code, LPCWSTR log_path, UINT result) {
    Write(kRecordRemoval, product_code, log_path, result);
  }
  void Installation(LPCWSTR package_path, LPCWSTR log_path, UINT result) {
    Write(kRecordInstallation, package_path, log_path, result);
  }
  // `restarts` counts the packages with a removal or installation that
  // succeeded but needs a restart to finish (3010, 1641, 1604), `failed` those with
  // one that did not succeed; a run without any says nothing of them.
  void End(DWORD installed, DWORD removed, DWORD left_alone, DWORD restarts, DWORD failed,
           DWORD milliseconds) {
    if (restarts == 0 && failed == 0) {
      Write(kRecordEnd, installed, removed, left_alone, milliseconds);
    } else if (restarts == 0) {
      Write(kRecordEndWithFailures, installed, removed, left_alone, failed, milliseconds);
    } else if (failed == 0) {
      Write(kRecordEndWithRestarts, installed, removed, left_alone, restarts, milliseconds);
    } else {
      Write(kRecordEndWithRestartsAndFailures, installed, removed, left_alone, restarts, failed,
            milliseconds);
    }
  }

 private:
  // Appends one line of `kind` (a RecordKind; an int, which variable
  // arguments can follow), its conversions taken from the arguments. A line
  // that cannot be made (memory) or written is dropped.
  void Write(int kind, ...);

  LPCWSTR entry_ = nullptr;
  CString path_;   // the record's current generation; empty until opened
  CString older_;  // its older generation
};

#endif  // SETUP_RECORD_H
