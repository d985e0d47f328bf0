// A broken binding of the Windows Installer, for the kit's proof that its
// checks catch a fault that only 32-bit x86 shows: the program's own binding,
// except that MsiOpenDatabaseW is called through a pointer declared without
// WINAPI. On x86 the callee then pops its own arguments (stdcall) and the
// caller pops them again (cdecl), so the stack pointer is off after every
// call; on x64, with one calling convention, the same mistake is harmless.
// Linked ahead of the library, it takes the place of
// platform/windows/msi_binding.cc.
#include "platform/platform.h"
#include "platform/windows/msi_binding.h"

// The binding's own forwarder of MsiOpenDatabaseW is compiled under another
// name and left unused.
UINT WINAPI UnusedOpenDatabaseForwarder(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database);
#define MsiOpenDatabaseW UnusedOpenDatabaseForwarder
#include "platform/windows/msi_binding.cc"
#undef MsiOpenDatabaseW

typedef UINT (*CdeclOpenDatabase)(LPCWSTR, LPCWSTR, MSIHANDLE*);

UINT WINAPI MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database) {
  auto f = reinterpret_cast<CdeclOpenDatabase>(Bound()[kOpenDatabase]);
  return f ? f(path, persist, database) : ERROR_CALL_NOT_IMPLEMENTED;
}
