// A foreign msi.dll placed beside the binding test and in its current folder.
// The binding must never load it: each of its functions answers 4242.
#include <windows.h>

extern "C" {
__declspec(dllexport) UINT WINAPI MsiOpenDatabaseW(LPCWSTR, LPCWSTR, unsigned long*) {
  return 4242;
}
__declspec(dllexport) UINT WINAPI MsiCloseHandle(unsigned long) { return 4242; }
__declspec(dllexport) UINT WINAPI MsiEnableLogW(DWORD, LPCWSTR, DWORD) { return 4242; }
}
