// The Windows Installer functions of the platform seam, bound at run time.
//
// The executable does not import msi.dll: a statically imported DLL is searched
// for in the executable's folder first, so a package folder (or a download
// folder) holding a foreign msi.dll would run that code. Instead every Msi*
// function that platform/platform.h lists is defined here, with the SDK's own
// signature, as a forwarder through a pointer that is bound on first use from
// the msi.dll of the system folder only; neither the executable's folder nor the
// current folder is ever searched.
//
// When the library or one of its functions cannot be bound, the forwarder
// answers as a failed call would (ERROR_CALL_NOT_IMPLEMENTED, a 0 handle,
// INSTALLSTATE_UNKNOWN, ...), so that nothing is installed and the run still
// ends normally.
#include "platform/windows/msi_binding.h"

#include "platform/platform.h"

namespace {

// The functions of the seam, by index into the bound table and the name list.
enum MsiFunction {
  kOpenDatabase,
  kDatabaseOpenView,
  kViewExecute,
  kViewFetch,
  kRecordDataSize,
  kRecordGetString,
  kRecordGetInteger,
  kCreateRecord,
  kRecordSetString,
  kCloseHandle,
  kSetInternalUI,
  kEnableLog,
  kQueryProductState,
  kEnumRelatedProducts,
  kGetProductInfo,
  kConfigureProductEx,
  kInstallProduct,
  kMsiFunctionCount
};

const char* const kMsiFunctionNames[kMsiFunctionCount] = {
    "MsiOpenDatabaseW",       "MsiDatabaseOpenViewW",    "MsiViewExecute",
    "MsiViewFetch",           "MsiRecordDataSize",       "MsiRecordGetStringW",
    "MsiRecordGetInteger",    "MsiCreateRecord",         "MsiRecordSetStringW",
    "MsiCloseHandle",         "MsiSetInternalUI",        "MsiEnableLogW",
    "MsiQueryProductStateW",  "MsiEnumRelatedProductsW", "MsiGetProductInfoW",
    "MsiConfigureProductExW", "MsiInstallProductW",
};

typedef void (*AnyFunction)();

// The address of an export, or null. The detour through a pointer to a
// function without parameters is the one cast between function pointer types
// that the compiler accepts without a warning.
AnyFunction Export(HMODULE module, const char* name) {
  return module ? reinterpret_cast<AnyFunction>(GetProcAddress(module, name)) : nullptr;
}

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

// Loads msi.dll from the system folder and from nowhere else.
HMODULE LoadSystemMsi() {
  SetDefaultDllDirectoriesFunction set_default_directories =
      reinterpret_cast<SetDefaultDllDirectoriesFunction>(
          Export(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"));
  if (set_default_directories) {
    // Also keeps every DLL that msi.dll itself loads later to the system folder.
    set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // A system without the search flags: name the file by its full path in the
  // system folder; with a full path no search takes place.
  WCHAR path[MAX_PATH + 16];
  static const WCHAR kFileName[] = L"\\msi.dll";
  const UINT file_name_length = sizeof(kFileName) / sizeof(kFileName[0]);  // with NUL
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  for (UINT i = 0; i < file_name_length; ++i) path[length + i] = kFileName[i];
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Bound once, on the first call of any forwarder. The program has one thread.
// The library stays loaded for the life of the process: the bound pointers
// refer into it.
const AnyFunction* Bound() {
  static bool bound = false;
  static AnyFunction functions[kMsiFunctionCount];
  if (!bound) {
    HMODULE msi = LoadSystemMsi();
    for (int i = 0; i < kMsiFunctionCount; ++i) functions[i] = Export(msi, kMsiFunctionNames[i]);
    bound = true;
  }
  return functions;
}

// The bound function of `index`, typed as the SDK declares `Declared`.
template <typename Declared>
Declared* Msi(MsiFunction index, Declared&) {
  return reinterpret_cast<Declared*>(Bound()[index]);
}

}  // namespace

bool BindWindowsInstaller() {
  const AnyFunction* functions = Bound();
  for (int i = 0; i < kMsiFunctionCount; ++i) {
    if (!functions[i]) return false;
  }
  return true;
}

// Database, view and record.

UINT WINAPI MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database) {
  auto f = Msi(kOpenDatabase, ::MsiOpenDatabaseW);
  return f ? f(path, persist, database) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiDatabaseOpenViewW(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view) {
  auto f = Msi(kDatabaseOpenView, ::MsiDatabaseOpenViewW);
  return f ? f(database, query, view) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters) {
  auto f = Msi(kViewExecute, ::MsiViewExecute);
  return f ? f(view, parameters) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiViewFetch(MSIHANDLE view, MSIHANDLE* record) {
  auto f = Msi(kViewFetch, ::MsiViewFetch);
  return f ? f(view, record) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiRecordDataSize(MSIHANDLE record, UINT field) {
  auto f = Msi(kRecordDataSize, ::MsiRecordDataSize);
  return f ? f(record, field) : 0;
}

UINT WINAPI MsiRecordGetStringW(MSIHANDLE record, UINT field, LPWSTR buffer, DWORD* capacity) {
  auto f = Msi(kRecordGetString, ::MsiRecordGetStringW);
  return f ? f(record, field, buffer, capacity) : ERROR_CALL_NOT_IMPLEMENTED;
}

int WINAPI MsiRecordGetInteger(MSIHANDLE record, UINT field) {
  auto f = Msi(kRecordGetInteger, ::MsiRecordGetInteger);
  return f ? f(record, field) : MSI_NULL_INTEGER;
}

MSIHANDLE WINAPI MsiCreateRecord(UINT fields) {
  auto f = Msi(kCreateRecord, ::MsiCreateRecord);
  return f ? f(fields) : 0;
}

UINT WINAPI MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value) {
  auto f = Msi(kRecordSetString, ::MsiRecordSetStringW);
  return f ? f(record, field, value) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiCloseHandle(MSIHANDLE handle) {
  auto f = Msi(kCloseHandle, ::MsiCloseHandle);
  return f ? f(handle) : ERROR_CALL_NOT_IMPLEMENTED;
}

// Products and actions.

INSTALLUILEVEL WINAPI MsiSetInternalUI(INSTALLUILEVEL level, HWND* window) {
  auto f = Msi(kSetInternalUI, ::MsiSetInternalUI);
  return f ? f(level, window) : INSTALLUILEVEL_NOCHANGE;
}

UINT WINAPI MsiEnableLogW(DWORD mode, LPCWSTR path, DWORD attributes) {
  auto f = Msi(kEnableLog, ::MsiEnableLogW);
  return f ? f(mode, path, attributes) : ERROR_CALL_NOT_IMPLEMENTED;
}

INSTALLSTATE WINAPI MsiQueryProductStateW(LPCWSTR product) {
  auto f = Msi(kQueryProductState, ::MsiQueryProductStateW);
  return f ? f(product) : INSTALLSTATE_UNKNOWN;
}

UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR upgrade_code, DWORD reserved, DWORD index,
                                    LPWSTR product) {
  auto f = Msi(kEnumRelatedProducts, ::MsiEnumRelatedProductsW);
  return f ? f(upgrade_code, reserved, index, product) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiGetProductInfoW(LPCWSTR product, LPCWSTR property, LPWSTR buffer, DWORD* capacity) {
  auto f = Msi(kGetProductInfo, ::MsiGetProductInfoW);
  return f ? f(product, property, buffer, capacity) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiConfigureProductExW(LPCWSTR product, int level, INSTALLSTATE state,
                                   LPCWSTR properties) {
  auto f = Msi(kConfigureProductEx, ::MsiConfigureProductExW);
  return f ? f(product, level, state, properties) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiInstallProductW(LPCWSTR package, LPCWSTR properties) {
  auto f = Msi(kInstallProduct, ::MsiInstallProductW);
  return f ? f(package, properties) : ERROR_CALL_NOT_IMPLEMENTED;
}
