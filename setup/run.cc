#include "setup/run.h"

#include "setup/inspect.h"
#include "setup/plan.h"
#include "setup/product_version.h"
#include "setup/record.h"
#include "setup/wait_policy.h"
#include "text/cstring.h"

namespace {

const WCHAR kRemoveProperties[] = WTEXT("REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1");

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
  const char* what = removal ? "removal" : "installation";
  for (int step = 0;; ++step) {
    UINT result = removal ? MsiConfigureProductExW(target, INSTALLLEVEL_DEFAULT,
                                                   INSTALLSTATE_ABSENT, kRemoveProperties)
                          : MsiInstallProductW(target, WTEXT(""));
    if (result != ERROR_INSTALL_ALREADY_RUNNING) return result;
    DWORD wait = BusyWait(kBusyWaitSteps, step, budget.Left(), random);
    if (wait == 0) {
      record.Write(
          "the installer is still busy with another installation; the %a is not tried "
          "again, the run's waiting time is spent",
          what);
      record.Write("the %a is left for the next run", what);
      return result;
    }
    record.Write(
        "the installer is busy with another installation (1618); waiting %u ms before "
        "the %a is tried again",
        wait, what);
    Sleep(wait);
    budget.Spend(wait);
  }
}

bool Succeeded(UINT result) {
  return result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED ||
         result == ERROR_SUCCESS_REBOOT_INITIATED;
}

const char* RuleText(PlanRule rule) {
  switch (rule) {
    case kPlanCore:
      return "core package";
    case kPlanCommandLine:
      return "language from the command line";
    case kPlanUserLocale:
      return "language of the user's default locale";
    default:
      return "fallback language";
  }
}

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
  int installed = 0;
  int removed = 0;
  int left_alone = 0;
  int failed = 0;  // entries with a removal or installation that did not succeed
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
    // A removal logs to a file of its own, so that the installation that
    // follows does not overwrite its session. An entry left alone points the
    // log nowhere: the log of its last installation stays as it is.
    if (remove_first) {
      MsiEnableLogW(INSTALLLOGMODE_VERBOSE, entry.remove_log_path, 0);
      UINT result = CallInstaller(true, product_code, budget, random, record);
      record.Write("removal of %s (log \"%s\"): %r", product_code.GetString(),
                   entry.remove_log_path.GetString(), result);
      if (Succeeded(result)) {
        ++outcome.removed;
      } else {
        failed = true;
      }
    }
    if (action == kPackageActionInstall) {
      MsiEnableLogW(INSTALLLOGMODE_VERBOSE, entry.log_file_path, 0);
      UINT result = CallInstaller(false, entry.package_path, budget, random, record);
      record.Write("installation of \"%s\" (log \"%s\"): %r", entry.package_path.GetString(),
                   entry.log_file_path.GetString(), result);
      if (Succeeded(result)) {
        ++outcome.installed;
      } else {
        failed = true;
      }
    } else {
      ++outcome.left_alone;
    }
    if (failed) ++outcome.failed;
  }
  record.SetEntry(nullptr);
}

// Plans the run and carries it out, unless a package cannot be named.
void PlanAndProcess(const CString& command_line, const CString& folder, const CString& temp_folder,
                    WaitBudget& budget, WaitRandom& random, RunRecord& record, Outcome& outcome) {
  // Without its own folder every package name would be relative to the
  // current folder, which is not the program's to trust: install nothing.
  if (folder.IsEmpty()) {
    record.Write("the executable's own folder cannot be read; nothing is installed");
    return;
  }
  PackagePlan plan;
  BuildPackagePlanFrom(command_line, folder, GetUserDefaultLCID(), temp_folder, plan);
  bool named = true;
  for (const PackageEntry& entry : plan) {
    record.Write("plan: %s (%a): package \"%s\", key file %s, log \"%s\"",
                 entry.package_name.GetString(), RuleText(entry.rule),
                 entry.package_path.GetString(), entry.key_file_name.GetString(),
                 entry.log_file_path.GetString());
    // A path that cannot be formed would reach the installer as no name at
    // all; as without a folder, nothing is installed.
    if (entry.package_path.IsEmpty()) {
      record.Write(
          "plan: the path of %s cannot be formed in the folder \"%s\" (too long); "
          "nothing is installed",
          entry.package_name.GetString(), folder.GetString());
      named = false;
    }
  }
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

  CString temp_folder = TempFolder();
  RunRecord record;
  record.Open(temp_folder);
  record.Write("start: mivoboot " MIVO_VERSION_TEXT
               ", executable \"%s\", arguments \"%s\", user default LCID %u, temporary "
               "folder \"%s\"",
               executable.GetString(), command_line.GetString(), GetUserDefaultLCID(),
               temp_folder.GetString());
  if (waited > 0 && lock.Owned()) {
    record.Write("waited %u ms for another run of the setup to end", waited);
  } else if (waited > 0) {
    record.Write(
        "another run of the setup is still going after %u ms; going on without waiting "
        "for it",
        waited);
  }

  Outcome outcome;
  PlanAndProcess(command_line, FolderOf(executable), temp_folder, budget, random, record, outcome);
  record.Write("end: %d installed, %d removed, %d left alone, %d failed, %u ms", outcome.installed,
               outcome.removed, outcome.left_alone, outcome.failed, GetTickCount() - started);
}
