#include "setup/run.h"

#include "setup/inspect.h"
#include "setup/plan.h"
#include "setup/product_version.h"
#include "setup/record.h"
#include "setup/temp_folder.h"
#include "setup/wait_policy.h"
#include "text/cstring.h"

namespace {

// No call may restart the machine: without a user interface the installer
// would restart it unasked at the end of a package that schedules a restart, or
// that must replace a file in use, and at a package's ForceReboot. Such a
// package answers 3010 instead, or 1604 (suspended) for ForceReboot.
const WCHAR kRemoveProperties[] = WTEXT("REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1");
const WCHAR kInstallProperties[] = WTEXT("REBOOT=ReallySuppress");

// Longest path the system hands out (32767 units and a terminator); a larger
// buffer is never needed.
const DWORD kLongestPath = 32768;

// The lock that keeps two runs of one user's session from working at once.
const WCHAR kRunMutexName[] = WTEXT("Local\\MivoSetupRun");

// Owner of the lock between runs: taken by Acquire, released and closed on
// destruction. A run that cannot get it goes on without it.
class RunLock {
 public:
  RunLock() {}
  ~RunLock() {
    if (owned_) ReleaseMutex(mutex_);
    if (mutex_) CloseHandle(mutex_);
  }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Waits for another run to let go of the lock, out of `budget`. Answers how
  // long it waited (0 when the lock was free) and whether it was got.
  DWORD Acquire(WaitBudget& budget) {
    mutex_ = CreateMutexW(nullptr, FALSE, kRunMutexName);
    if (!mutex_) return 0;
    DWORD result = WaitForSingleObject(mutex_, 0);
    DWORD waited = 0;
    if (result == WAIT_TIMEOUT) {
      DWORD start = GetTickCount();
      result = WaitForSingleObject(mutex_, budget.Left());
      waited = GetTickCount() - start;
      budget.Spend(result == WAIT_TIMEOUT ? budget.Left() : waited);
    }
    // A lock whose owner ended without letting go is free.
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return waited;
  }
  bool Owned() const { return owned_; }

 private:
  HANDLE mutex_ = nullptr;
  bool owned_ = false;
};

// A removal (of `target`, a product code) or an installation (of `target`, a
// package path). While the installer answers that another installation is
// under way, the same call is made again after the waits of kBusyWaitSteps,
// from the first step on, as long as the run's waiting time lasts. Every other
// answer is returned at once.
UINT CallInstaller(bool removal, LPCWSTR target, WaitBudget& budget, WaitRandom& random,
                   RunRecord& record) {
  for (int step = 0;; ++step) {
    UINT result = removal ? MsiConfigureProductExW(target, INSTALLLEVEL_DEFAULT,
                                                   INSTALLSTATE_ABSENT, kRemoveProperties)
                          : MsiInstallProductW(target, kInstallProperties);
    if (result != ERROR_INSTALL_ALREADY_RUNNING) return result;
    DWORD wait = BusyWait(kBusyWaitSteps, step, budget.Left(), random);
    if (wait == 0) {
      record.Left(removal);
      return result;
    }
    record.Wait(wait, removal);
    Sleep(wait);
    budget.Spend(wait);
  }
}

// Points the installer's log at `log`, or turns it off for an empty one, makes
// the removal or installation and records its answer. A call that cannot
// create its log (the folder went away, a disk full) is made once more without
// one: a log never costs an installation.
UINT Carry(bool removal, LPCWSTR target, LPCWSTR log, WaitBudget& budget, WaitRandom& random,
           RunRecord& record) {
  MsiEnableLogW(*log ? INSTALLLOGMODE_VERBOSE : 0, *log ? log : nullptr, 0);
  UINT result = CallInstaller(removal, target, budget, random, record);
  if (removal) {
    record.Removal(target, log, result);
  } else {
    record.Installation(target, log, result);
  }
  if (result == ERROR_INSTALL_LOG_FAILURE && *log) {
    record.WithoutLog(removal);
    result = Carry(removal, target, WTEXT(""), budget, random, record);
  }
  return result;
}

// A success that the machine's next restart completes.
bool NeedsRestart(UINT result) { return result != ERROR_SUCCESS && ResultSucceeded(result); }

CString ExecutablePath() {
  CString path;
  for (DWORD capacity = 260;; capacity *= 2) {
    LPWSTR buffer = path.ReserveBuffer(static_cast<int>(capacity));
    if (!buffer) break;
    DWORD length = GetModuleFileNameW(nullptr, buffer, capacity);
    // A result equal to the capacity means the path was cut to fit.
    bool whole = length < capacity;
    path.CommitBuffer(whole ? static_cast<int>(length) : 0);
    if (whole || capacity >= kLongestPath) break;
  }
  return path;
}

CString FolderOf(const CString& executable_path) {
  CString path = executable_path;
  RemoveFileName(path);
  AppendBackslash(path);
  // The shell's path edits stop at 260 units; a longer folder gets its
  // backslash here.
  int length = path.GetLength();
  if (length > 0 && path.GetString()[length - 1] != WTEXT('\\')) {
    LPWSTR buffer = path.ReserveBuffer(length + 1);
    if (buffer) {
      buffer[length] = WTEXT('\\');
      buffer[length + 1] = 0;
      path.CommitBuffer(length + 1);
    }
  }
  return path;
}

// What the entries of a run came to.
struct Outcome {
  DWORD installed = 0;
  DWORD removed = 0;
  DWORD left_alone = 0;
  DWORD restarts = 0;  // entries with a call that succeeded but needs a restart to finish
  DWORD failed = 0;    // entries with a removal or installation that did not succeed
};

// Inspects each entry in plan order and carries out its decision.
void ProcessEntries(const PackagePlan& plan, WaitBudget& budget, WaitRandom& random,
                    RunRecord& record, Outcome& outcome) {
  MsiSetInternalUI(static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_NONE | INSTALLUILEVEL_SOURCERESONLY),
                   nullptr);
  for (const PackageEntry& entry : plan) {
    record.SetEntry(entry.package_name);
    // Every entry starts from the same decision; nothing carries over.
    PackageAction action = kPackageActionInstall;
    bool remove_first = false;
    CString product_code;
    InspectPackage(entry.package_path, entry.key_file_name, action, product_code, remove_first,
                   record);

    bool failed = false;
    bool restart = false;
    // A removal logs to a file of its own, so that the installation that
    // follows does not overwrite its session. An entry left alone points the
    // log nowhere: the log of its last installation stays as it is.
    if (remove_first) {
      UINT result = Carry(true, product_code, entry.remove_log_path, budget, random, record);
      if (NeedsRestart(result)) restart = true;
      if (ResultSucceeded(result)) {
        ++outcome.removed;
      } else {
        failed = true;
      }
    }
    if (action == kPackageActionInstall) {
      UINT result = Carry(false, entry.package_path, entry.log_file_path, budget, random, record);
      if (NeedsRestart(result)) restart = true;
      if (ResultSucceeded(result)) {
        ++outcome.installed;
      } else {
        failed = true;
      }
    } else {
      ++outcome.left_alone;
    }
    if (failed) ++outcome.failed;
    if (restart) ++outcome.restarts;
  }
  record.SetEntry(nullptr);
}

// Plans the run and carries it out, unless a package cannot be named.
void PlanAndProcess(const CString& command_line, const CString& folder, const CString& temp_folder,
                    WaitBudget& budget, WaitRandom& random, RunRecord& record, Outcome& outcome) {
  // Without its own folder every package name would be relative to the
  // current folder, which is not the program's to trust: install nothing.
  if (folder.IsEmpty()) {
    record.NoFolder();
    return;
  }
  PackagePlan plan;
  BuildPackagePlanFrom(command_line, folder, GetUserDefaultLCID(), temp_folder, plan);
  bool named = true;
  for (const PackageEntry& entry : plan) {
    record.SetEntry(entry.package_name);
    record.Plan(entry.rule, entry.package_path, entry.key_file_name, entry.log_file_path);
    // A path that cannot be formed would reach the installer as no name at
    // all; as without a folder, nothing is installed.
    if (entry.package_path.IsEmpty()) {
      record.PathTooLong(folder);
      named = false;
    }
  }
  record.SetEntry(nullptr);
  if (named) ProcessEntries(plan, budget, random, record, outcome);
}

}  // namespace

CString ExecutableFolder() { return FolderOf(ExecutablePath()); }

void RunSetup(LPCWSTR argument_text) {
  DWORD started = GetTickCount();
  CString command_line(argument_text);
  CString executable = ExecutablePath();

  // One run at a time: a second run waits for the first and then plans and
  // inspects afresh, so that it finds what the first one installed.
  WaitBudget budget;
  WaitRandom random(ProcessWaitSeed());
  RunLock lock;
  DWORD waited = lock.Acquire(budget);

  // The folder of the record and the logs becomes the process's own TMP and
  // TEMP too, for whatever the installer does in this process; where the
  // installer service keeps its own temporary files is its own affair.
  TempChoice temp = ChooseTempFolder();
  if (!temp.folder.IsEmpty()) {
    // A drive's root keeps its backslash here: "C:" alone would name the
    // current folder of drive C.
    CString variable = temp.folder;
    if (variable.GetLength() == 2) AppendBackslash(variable);
    SetEnvironmentVariableW(WTEXT("TMP"), variable);
    SetEnvironmentVariableW(WTEXT("TEMP"), variable);
  }
  RunRecord record;
  record.Open(temp.folder);
  record.Start(executable, command_line, GetUserDefaultLCID(), temp.folder);
  CString user;
  if (RecordUserName(user)) record.User(user);
  if (temp.source != kTempFromTmp) {
    record.TempNotTmp(temp.tmp_folder, TempRefusalText(temp.tmp_refusal),
                      TempSourceText(temp.source));
  }
  if (waited > 0 && lock.Owned()) {
    record.LockWaited(waited);
  } else if (waited > 0) {
    record.LockGoingOn(waited);
  }

  Outcome outcome;
  PlanAndProcess(command_line, FolderOf(executable), temp.folder, budget, random, record, outcome);
  record.End(outcome.installed, outcome.removed, outcome.left_alone, outcome.restarts,
             outcome.failed, GetTickCount() - started);
}
