// Test control of the host platform: the process state that the Windows
// services read (environment, module path, command line, user locale) is held
// here and can be set by tests. Host build only.
#ifndef PLATFORM_HOST_HOST_CONTROL_H
#define PLATFORM_HOST_HOST_CONTROL_H

#include <string>

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

// Restores the defaults: empty environment, module path C:\Setup\setup.exe,
// command line "setup.exe", locale 1033, no debug output.
void ResetProcessState();

}  // namespace host

#endif  // PLATFORM_HOST_HOST_CONTROL_H
