// Test control of the host platform: the process state that the Windows
// services read (environment, module path, command line, user locale) is held
// here and can be set by tests. Host build only.
#ifndef PLATFORM_HOST_HOST_CONTROL_H
#define PLATFORM_HOST_HOST_CONTROL_H

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

// Sets (or, with a null value, removes) one environment variable as
// ExpandEnvironmentStringsW sees it. Names match without regard to case.
void SetEnvironmentVariable(const char16_t* name, const char16_t* value);
// Removes every variable.
void ClearEnvironment();

// What GetModuleFileNameW reports for the executable.
void SetModuleFileName(const std::u16string& path);
// What GetCommandLineW returns.
void SetCommandLine(const std::u16string& command_line);
// What GetUserDefaultLCID returns.
void SetUserDefaultLCID(LCID lcid);

// Everything written with OutputDebugStringW since the last reset, and how
// often DebugBreak was called.
const std::u16string& DebugOutput();
int DebugBreakCount();

// Files: opening `path` fails with ERROR_SHARING_VIOLATION while held, as if
// another process had it open without sharing; every WriteFile fails with
// ERROR_DISK_FULL while writes fail.
void HoldFileWithoutSharing(const std::u16string& path, bool hold);
void SetFileWriteFailure(bool fail);
// A file (a Windows path) that cannot be opened for reading, FILE_READ_DATA or
// GENERIC_READ (ERROR_ACCESS_DENIED), as for a user with the right to append
// to it but not to read it.
void DenyReadsOf(const std::u16string& path, bool deny);
// Runs `action` once, just before the next CreateFileW of `path` (a Windows
// path) does anything: what another process does to the file meanwhile.
void BeforeFileOpen(const std::u16string& path, std::function<void()> action);
// Files: while denied, no file in the Windows folder `folder` can be created or
// opened for writing (ERROR_ACCESS_DENIED), as for a user without the right to
// write there.
void DenyWritesIn(const std::u16string& folder, bool deny);
// Whether writes are denied in the folder of `native_file` (a host path), for
// the installer-service fake's logs.
bool WritesDeniedFor(const std::string& native_file);

// The clock of GetTickCount; Sleep returns at once and moves it on. Every
// Sleep since the last reset, in order.
void SetTickCount(DWORD ticks);
// From now on GetTickCount and Sleep are the system's clock and sleep, for
// tests of several processes that wait for each other; ResetKernel undoes it.
void UseRealClock();
// The process ends (exit code 0) at the `call`th call from now of CreateFileW,
// WriteFile (after writing half its bytes), FlushFileBuffers, SetEndOfFile or
// DeleteFileW; 0 (the default): never.
void ExitAtFileCall(int call);
const std::vector<DWORD>& Sleeps();
// What GetCurrentProcessId returns; 0 (the default): the host process's id.
void SetProcessId(DWORD process_id);

// Another process holds the named mutex `name` for `milliseconds` of the clock
// from now (INFINITE: it never lets go); with `abandoned` it dies holding it,
// so that the next waiter gets WAIT_ABANDONED.
void HoldMutexElsewhere(const std::u16string& name, DWORD milliseconds, bool abandoned);
// Whether this process owns the named mutex.
bool MutexOwned(const std::u16string& name);
// Open file and mutex handles.
int OpenKernelHandleCount();
// Closes every file and mutex handle and forgets holds, faults and sleeps;
// the clock starts again and the process id is the host's again.
void ResetKernel();

// Restores the defaults: empty environment, module path C:\Setup\setup.exe,
// command line "setup.exe", locale 1033, no debug output, and the kernel
// state of ResetKernel.
void ResetProcessState();

}  // namespace host

#endif  // PLATFORM_HOST_HOST_CONTROL_H
