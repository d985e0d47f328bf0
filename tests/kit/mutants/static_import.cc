// A broken binding of the Windows Installer, for the kit's proof that its
// checks catch the fault: the program's own forwarders, except that they call
// through the import table of msi.dll, which the loader fills at start-up.
// The executable then imports msi.dll statically, and the loader looks for it
// in the executable's folder first. Linked ahead of the library (32-bit
// decorated import names), it takes the place of
// platform/windows/msi_binding.cc.
#include "platform/platform.h"
#include "platform/windows/msi_binding.h"

// The import table entries, by their decorated names in the import library.
#define MIVO_IMPORT(name, bytes) \
  extern "C" void* const name##_import asm("__imp__" #name "@" #bytes);
MIVO_IMPORT(MsiOpenDatabaseW, 12)
MIVO_IMPORT(MsiDatabaseOpenViewW, 12)
MIVO_IMPORT(MsiViewExecute, 8)
MIVO_IMPORT(MsiViewFetch, 8)
MIVO_IMPORT(MsiRecordDataSize, 8)
MIVO_IMPORT(MsiRecordGetStringW, 16)
MIVO_IMPORT(MsiRecordGetInteger, 8)
MIVO_IMPORT(MsiCreateRecord, 4)
MIVO_IMPORT(MsiRecordSetStringW, 12)
MIVO_IMPORT(MsiCloseHandle, 4)
MIVO_IMPORT(MsiSetInternalUI, 8)
MIVO_IMPORT(MsiEnableLogW, 12)
MIVO_IMPORT(MsiQueryProductStateW, 4)
MIVO_IMPORT(MsiEnumRelatedProductsW, 16)
MIVO_IMPORT(MsiGetProductInfoW, 16)
MIVO_IMPORT(MsiConfigureProductExW, 16)
MIVO_IMPORT(MsiInstallProductW, 8)
#undef MIVO_IMPORT

namespace {

// The import table entry of an msi.dll export, by the order of the binding's
// name list; other names are looked up as the binding does.
FARPROC ImportedOrLookedUp(HMODULE module, const char* name) {
  static void* const* const kImports[] = {
      &MsiOpenDatabaseW_import,       &MsiDatabaseOpenViewW_import,    &MsiViewExecute_import,
      &MsiViewFetch_import,           &MsiRecordDataSize_import,       &MsiRecordGetStringW_import,
      &MsiRecordGetInteger_import,    &MsiCreateRecord_import,         &MsiRecordSetStringW_import,
      &MsiCloseHandle_import,         &MsiSetInternalUI_import,        &MsiEnableLogW_import,
      &MsiQueryProductStateW_import,  &MsiEnumRelatedProductsW_import, &MsiGetProductInfoW_import,
      &MsiConfigureProductExW_import, &MsiInstallProductW_import,
  };
  static const char* const kNames[] = {
      "MsiOpenDatabaseW",       "MsiDatabaseOpenViewW",    "MsiViewExecute",
      "MsiViewFetch",           "MsiRecordDataSize",       "MsiRecordGetStringW",
      "MsiRecordGetInteger",    "MsiCreateRecord",         "MsiRecordSetStringW",
      "MsiCloseHandle",         "MsiSetInternalUI",        "MsiEnableLogW",
      "MsiQueryProductStateW",  "MsiEnumRelatedProductsW", "MsiGetProductInfoW",
      "MsiConfigureProductExW", "MsiInstallProductW",
  };
  for (unsigned i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
    if (lstrcmpA(kNames[i], name) == 0) return reinterpret_cast<FARPROC>(*kImports[i]);
  }
  return GetProcAddress(module, name);
}

}  // namespace

// msi.dll is never loaded by the binding; every Msi* address comes from the
// import table.
#define LoadLibraryExW(name, file, flags) GetModuleHandleW(L"kernel32.dll")
#define GetProcAddress ImportedOrLookedUp
#include "platform/windows/msi_binding.cc"
