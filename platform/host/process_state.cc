// Host replacement of the process state that Windows keeps for a program: its
// environment, module path, command line, user locale and debugger output.
// Every value is settable through platform/host/host_control.h.
#include "platform/host/process_state.h"

#include <string.h>

#include <map>
#include <string>

#include "platform/host/host_control.h"

namespace {

// Environment names compare without regard to case, as on Windows.
struct CaseInsensitiveLess {
  static char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c; }
  bool operator()(const std::u16string& left, const std::u16string& right) const {
    size_t n = left.size() < right.size() ? left.size() : right.size();
    for (size_t i = 0; i < n; ++i) {
      char16_t a = Fold(left[i]);
      char16_t b = Fold(right[i]);
      if (a != b) return a < b;
    }
    return left.size() < right.size();
  }
};

struct ProcessState {
  std::map<std::u16string, std::u16string, CaseInsensitiveLess> environment;
  std::u16string module_file_name = u"C:\\Setup\\setup.exe";
  std::u16string command_line = u"setup.exe";
  // GetCommandLineW hands out a writable text that stays valid until the next
  // change of the command line.
  std::u16string command_line_buffer = u"setup.exe";
  LCID lcid = 1033;
  std::u16string debug_output;
  int debug_breaks = 0;
};

ProcessState& State() {
  static ProcessState* state = new ProcessState();
  return *state;
}

// Stands in for the executable's instance handle.
char g_module_instance;

}  // namespace

namespace host {

bool LookUpEnvironmentVariable(const char16_t* name, size_t length, std::u16string* value) {
  auto& environment = State().environment;
  auto found = environment.find(std::u16string(name, length));
  if (found == environment.end()) return false;
  *value = found->second;
  return true;
}

void AppendDebugOutput(const char16_t* text) {
  if (text) State().debug_output += text;
}

void CountDebugBreak() { ++State().debug_breaks; }

void SetEnvironmentVariable(const char16_t* name, const char16_t* value) {
  if (!name) return;
  if (value) {
    State().environment[name] = value;
  } else {
    State().environment.erase(name);
  }
}

void ClearEnvironment() { State().environment.clear(); }

void SetModuleFileName(const std::u16string& path) { State().module_file_name = path; }

void SetCommandLine(const std::u16string& command_line) {
  State().command_line = command_line;
  State().command_line_buffer = command_line;
}

void SetUserDefaultLCID(LCID lcid) { State().lcid = lcid; }

const std::u16string& DebugOutput() { return State().debug_output; }

int DebugBreakCount() { return State().debug_breaks; }

void ResetProcessState() {
  State() = ProcessState();
  ResetKernel();
}

}  // namespace host

// A module path that does not fit is cut to capacity - 1 units and terminated,
// and the result is the capacity, so that callers can tell it was cut and grow
// their buffer. This is the rule of current Windows; Wine 8 still follows the
// older one (capacity units, no terminator), so callers must not rely on the
// terminator of a cut path.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity) {
  (void)module;
  if (!buffer || capacity == 0) return 0;
  const std::u16string& path = State().module_file_name;
  if (path.size() < capacity) {
    memcpy(buffer, path.data(), path.size() * sizeof(char16_t));
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
  }
  memcpy(buffer, path.data(), (capacity - 1) * sizeof(char16_t));
  buffer[capacity - 1] = 0;
  return capacity;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
  // Only the executable itself is a module of this process.
  return name ? nullptr : &g_module_instance;
}

LPWSTR GetCommandLineW() { return &State().command_line_buffer[0]; }

LCID GetUserDefaultLCID() { return State().lcid; }

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  if (!name || !*name) return FALSE;
  host::SetEnvironmentVariable(name, value);
  return TRUE;
}

void OutputDebugStringW(LPCWSTR text) { host::AppendDebugOutput(text); }

void DebugBreak() { host::CountDebugBreak(); }
