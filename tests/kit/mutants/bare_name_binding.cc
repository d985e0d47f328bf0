// A broken binding of the Windows Installer, for the kit's proof that its
// checks catch the fault: the program's own binding, except that the search
// restriction is never found and msi.dll is loaded by its bare name, through
// the search order that starts at the executable's folder. Linked ahead of the
// library, it takes the place of platform/windows/msi_binding.cc.
#include "platform/platform.h"
#include "platform/windows/msi_binding.h"

#define GetModuleHandleW(name) (static_cast<HMODULE>(nullptr))
#define LoadLibraryExW(name, file, flags) LoadLibraryW(L"msi.dll")
#include "platform/windows/msi_binding.cc"
