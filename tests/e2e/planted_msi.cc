// A stand-in msi.dll for the hijack scenario. It is laid beside the setup
// executable; if the executable ever loads it (through the search order that
// starts at the application folder), DllMain leaves a marker file beside it,
// named msi.dll.loaded, holding the path of the process that loaded it. It
// exports no installer function, so a process that binds to it also fails to
// install anything.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

void WriteMarker(HMODULE self) {
  wchar_t marker[MAX_PATH + 16];
  DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  lstrcatW(marker, L".loaded");
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char process[MAX_PATH + 2];
  DWORD process_length = GetModuleFileNameA(nullptr, process, MAX_PATH);
  if (process_length < MAX_PATH) {
    process[process_length++] = '\n';
    DWORD written = 0;
    WriteFile(file, process, process_length, &written, nullptr);
  }
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) WriteMarker(instance);
  return TRUE;
}
