// Internal to the host platform: the process state that the host text
// services read. Tests change it through platform/host/host_control.h.
#ifndef PLATFORM_HOST_PROCESS_STATE_H
#define PLATFORM_HOST_PROCESS_STATE_H

#include <stddef.h>

#include <string>

namespace host {

// The value of the variable whose name equals the `length` units at `name`
// without regard to case; false when there is none.
bool LookUpEnvironmentVariable(const char16_t* name, size_t length, std::u16string* value);

// Appends to the debugger output and counts a breakpoint.
void AppendDebugOutput(const char16_t* text);
void CountDebugBreak();

}  // namespace host

#endif  // PLATFORM_HOST_PROCESS_STATE_H
