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

struct MsiFunctions {
  decltype(&::MsiOpenDatabaseW) open_database;
  decltype(&::MsiDatabaseOpenViewW) database_open_view;
  decltype(&::MsiViewExecute) view_execute;
  decltype(&::MsiViewFetch) view_fetch;
  decltype(&::MsiRecordDataSize) record_data_size;
  decltype(&::MsiRecordGetStringW) record_get_string;
  decltype(&::MsiRecordGetInteger) record_get_integer;
  decltype(&::MsiCreateRecord) create_record;
  decltype(&::MsiRecordSetStringW) record_set_string;
  decltype(&::MsiCloseHandle) close_handle;
  decltype(&::MsiSetInternalUI) set_internal_ui;
  decltype(&::MsiEnableLogW) enable_log;
  decltype(&::MsiQueryProductStateW) query_product_state;
  decltype(&::MsiEnumRelatedProductsW) enum_related_products;
  decltype(&::MsiGetProductInfoW) get_product_info;
  decltype(&::MsiConfigureProductExW) configure_product_ex;
  decltype(&::MsiInstallProductW) install_product;
};

// The typed address of an export, or null. The detour through a pointer to a
// function without parameters is the one cast between function pointer types
// that the compiler accepts without a warning.
template <typename Function>
void Resolve(HMODULE module, const char* name, Function& out) {
  out = module
            ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)))
            : nullptr;
}

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

// Loads msi.dll from the system folder and from nowhere else.
HMODULE LoadSystemMsi() {
  SetDefaultDllDirectoriesFunction set_default_directories = nullptr;
  Resolve(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories", set_default_directories);
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

MsiFunctions BindAll() {
  MsiFunctions f;
  HMODULE msi = LoadSystemMsi();
  Resolve(msi, "MsiOpenDatabaseW", f.open_database);
  Resolve(msi, "MsiDatabaseOpenViewW", f.database_open_view);
  Resolve(msi, "MsiViewExecute", f.view_execute);
  Resolve(msi, "MsiViewFetch", f.view_fetch);
  Resolve(msi, "MsiRecordDataSize", f.record_data_size);
  Resolve(msi, "MsiRecordGetStringW", f.record_get_string);
  Resolve(msi, "MsiRecordGetInteger", f.record_get_integer);
  Resolve(msi, "MsiCreateRecord", f.create_record);
  Resolve(msi, "MsiRecordSetStringW", f.record_set_string);
  Resolve(msi, "MsiCloseHandle", f.close_handle);
  Resolve(msi, "MsiSetInternalUI", f.set_internal_ui);
  Resolve(msi, "MsiEnableLogW", f.enable_log);
  Resolve(msi, "MsiQueryProductStateW", f.query_product_state);
  Resolve(msi, "MsiEnumRelatedProductsW", f.enum_related_products);
  Resolve(msi, "MsiGetProductInfoW", f.get_product_info);
  Resolve(msi, "MsiConfigureProductExW", f.configure_product_ex);
  Resolve(msi, "MsiInstallProductW", f.install_product);
  // The library stays loaded for the life of the process: the bound pointers
  // refer into it.
  return f;
}

// Bound once, on the first call of any forwarder. The program has one thread.
const MsiFunctions& Msi() {
  static bool bound = false;
  static MsiFunctions functions;
  if (!bound) {
    functions = BindAll();
    bound = true;
  }
  return functions;
}

}  // namespace

bool BindWindowsInstaller() {
  const MsiFunctions& f = Msi();
  return f.open_database && f.database_open_view && f.view_execute && f.view_fetch &&
         f.record_data_size && f.record_get_string && f.record_get_integer && f.create_record &&
         f.record_set_string && f.close_handle && f.set_internal_ui && f.enable_log &&
         f.query_product_state && f.enum_related_products && f.get_product_info &&
         f.configure_product_ex && f.install_product;
}

// Database, view and record.

UINT WINAPI MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database) {
  auto f = Msi().open_database;
  return f ? f(path, persist, database) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiDatabaseOpenViewW(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view) {
  auto f = Msi().database_open_view;
  return f ? f(database, query, view) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters) {
  auto f = Msi().view_execute;
  return f ? f(view, parameters) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiViewFetch(MSIHANDLE view, MSIHANDLE* record) {
  auto f = Msi().view_fetch;
  return f ? f(view, record) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiRecordDataSize(MSIHANDLE record, UINT field) {
  auto f = Msi().record_data_size;
  return f ? f(record, field) : 0;
}

UINT WINAPI MsiRecordGetStringW(MSIHANDLE record, UINT field, LPWSTR buffer, DWORD* capacity) {
  auto f = Msi().record_get_string;
  return f ? f(record, field, buffer, capacity) : ERROR_CALL_NOT_IMPLEMENTED;
}

int WINAPI MsiRecordGetInteger(MSIHANDLE record, UINT field) {
  auto f = Msi().record_get_integer;
  return f ? f(record, field) : MSI_NULL_INTEGER;
}

MSIHANDLE WINAPI MsiCreateRecord(UINT fields) {
  auto f = Msi().create_record;
  return f ? f(fields) : 0;
}

UINT WINAPI MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value) {
  auto f = Msi().record_set_string;
  return f ? f(record, field, value) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiCloseHandle(MSIHANDLE handle) {
  auto f = Msi().close_handle;
  return f ? f(handle) : ERROR_CALL_NOT_IMPLEMENTED;
}

// Products and actions.

INSTALLUILEVEL WINAPI MsiSetInternalUI(INSTALLUILEVEL level, HWND* window) {
  auto f = Msi().set_internal_ui;
  return f ? f(level, window) : INSTALLUILEVEL_NOCHANGE;
}

UINT WINAPI MsiEnableLogW(DWORD mode, LPCWSTR path, DWORD attributes) {
  auto f = Msi().enable_log;
  return f ? f(mode, path, attributes) : ERROR_CALL_NOT_IMPLEMENTED;
}

INSTALLSTATE WINAPI MsiQueryProductStateW(LPCWSTR product) {
  auto f = Msi().query_product_state;
  return f ? f(product) : INSTALLSTATE_UNKNOWN;
}

UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR upgrade_code, DWORD reserved, DWORD index,
                                    LPWSTR product) {
  auto f = Msi().enum_related_products;
  return f ? f(upgrade_code, reserved, index, product) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiGetProductInfoW(LPCWSTR product, LPCWSTR property, LPWSTR buffer, DWORD* capacity) {
  auto f = Msi().get_product_info;
  return f ? f(product, property, buffer, capacity) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiConfigureProductExW(LPCWSTR product, int level, INSTALLSTATE state,
                                   LPCWSTR properties) {
  auto f = Msi().configure_product_ex;
  return f ? f(product, level, state, properties) : ERROR_CALL_NOT_IMPLEMENTED;
}

UINT WINAPI MsiInstallProductW(LPCWSTR package, LPCWSTR properties) {
  auto f = Msi().install_product;
  return f ? f(package, properties) : ERROR_CALL_NOT_IMPLEMENTED;
}
