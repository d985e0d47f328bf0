#include "setup/run.h"

#include "setup/inspect.h"
#include "setup/plan.h"
#include "text/cstring.h"

namespace {

const WCHAR kRemoveProperties[] = WTEXT("REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1");

// Longest path the system hands out (32767 units and a terminator); a larger
// buffer is never needed.
const DWORD kLongestPath = 32768;

}  // namespace

CString ExecutableFolder() {
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

void RunSetup(LPCWSTR argument_text) {
  CString command_line(argument_text);
  CString folder = ExecutableFolder();
  // Without its own folder every package name would be relative to the
  // current folder, which is not the program's to trust: install nothing.
  if (folder.IsEmpty()) return;
  PackagePlan plan;
  BuildPackagePlan(command_line, folder, plan);
  folder = nullptr;  // the plan holds the paths; the folder is not needed again

  MsiSetInternalUI(static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_NONE | INSTALLUILEVEL_SOURCERESONLY),
                   nullptr);

  for (const PackageEntry& entry : plan) {
    // Every entry starts from the same decision; nothing carries over.
    PackageAction action = kPackageActionInstall;
    bool remove_first = false;
    CString product_code;
    InspectPackage(entry.package_path, entry.key_file_name, action, product_code, remove_first);

    MsiEnableLogW(INSTALLLOGMODE_VERBOSE, entry.log_file_path, 0);
    if (remove_first) {
      MsiConfigureProductExW(product_code, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT,
                             kRemoveProperties);
    }
    if (action == kPackageActionInstall) MsiInstallProductW(entry.package_path, WTEXT(""));
  }
}
