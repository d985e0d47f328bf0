// The kit's binding of the Windows Installer: msi.dll from the system folder,
// bound at run time, so that the kit never loads an msi.dll of another folder.
#include "tests/kit/kit.h"

namespace kit {

namespace {

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& out, std::string& missing) {
  out = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  if (!out) missing += std::string(missing.empty() ? "" : ", ") + name;
  return out != nullptr;
}

// Closes an installer handle once, when it goes out of scope.
class MsiHandle {
 public:
  explicit MsiHandle(decltype(&::MsiCloseHandle) close) : close_(close) {}
  MsiHandle(const MsiHandle&) = delete;
  MsiHandle& operator=(const MsiHandle&) = delete;
  ~MsiHandle() {
    if (value_ != 0) close_(value_);
  }
  MSIHANDLE* Out() { return &value_; }
  MSIHANDLE Get() const { return value_; }

 private:
  decltype(&::MsiCloseHandle) close_;
  MSIHANDLE value_ = 0;
};

// MSIDBOPEN_READONLY is typed for the narrow build; the value is the same.
const LPCWSTR kReadOnly = reinterpret_cast<LPCWSTR>(MSIDBOPEN_READONLY);

}  // namespace

bool Installer::Bind(std::string& error) {
  HMODULE msi = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!msi) {
    error = "msi.dll cannot be loaded from the system folder (error " +
            std::to_string(GetLastError()) + ")";
    return false;
  }
  std::string missing;
  Resolve(msi, "MsiSetInternalUI", set_internal_ui_, missing);
  Resolve(msi, "MsiQueryProductStateW", query_product_state_, missing);
  Resolve(msi, "MsiGetProductInfoW", get_product_info_, missing);
  Resolve(msi, "MsiOpenDatabaseW", open_database_, missing);
  Resolve(msi, "MsiDatabaseOpenViewW", open_view_, missing);
  Resolve(msi, "MsiViewExecute", view_execute_, missing);
  Resolve(msi, "MsiViewFetch", view_fetch_, missing);
  Resolve(msi, "MsiRecordGetStringW", record_get_string_, missing);
  Resolve(msi, "MsiCloseHandle", close_handle_, missing);
  Resolve(msi, "MsiConfigureProductExW", configure_product_ex_, missing);
  Resolve(msi, "MsiInstallProductW", install_product_, missing);
  Resolve(msi, "MsiEnumProductsW", enum_products_, missing);
  if (!missing.empty()) {
    error = "msi.dll lacks " + missing;
    return false;
  }
  set_internal_ui_(INSTALLUILEVEL_NONE, nullptr);
  return true;
}

INSTALLSTATE Installer::State(const std::wstring& product) const {
  return query_product_state_(product.c_str());
}

std::wstring Installer::Info(const std::wstring& product, const wchar_t* property) const {
  std::vector<wchar_t> buffer(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    UINT result = get_product_info_(product.c_str(), property, buffer.data(), &size);
    if (result == ERROR_SUCCESS) return std::wstring(buffer.data(), size);
    if (result != ERROR_MORE_DATA) break;
    buffer.resize(static_cast<size_t>(size) + 1);
  }
  return std::wstring();
}

std::wstring Installer::RecordText(MSIHANDLE record, UINT field) const {
  std::vector<wchar_t> buffer(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    UINT result = record_get_string_(record, field, buffer.data(), &size);
    if (result == ERROR_SUCCESS) return std::wstring(buffer.data(), size);
    if (result != ERROR_MORE_DATA) break;
    buffer.resize(static_cast<size_t>(size) + 1);
  }
  return std::wstring();
}

bool Installer::Query(const std::wstring& package, const wchar_t* sql, UINT fields,
                      std::vector<std::vector<std::wstring>>& rows) const {
  rows.clear();
  MsiHandle database(close_handle_);
  if (open_database_(package.c_str(), kReadOnly, database.Out()) != ERROR_SUCCESS) return false;
  MsiHandle view(close_handle_);
  if (open_view_(database.Get(), sql, view.Out()) != ERROR_SUCCESS) return false;
  if (view_execute_(view.Get(), 0) != ERROR_SUCCESS) return false;
  for (;;) {
    MsiHandle record(close_handle_);
    UINT result = view_fetch_(view.Get(), record.Out());
    if (result == ERROR_NO_MORE_ITEMS) return true;
    if (result != ERROR_SUCCESS) return false;
    std::vector<std::wstring> row;
    for (UINT field = 1; field <= fields; ++field) row.push_back(RecordText(record.Get(), field));
    rows.push_back(row);
  }
}

std::wstring Installer::PackageProperty(const std::wstring& package,
                                        const wchar_t* property) const {
  std::vector<std::vector<std::wstring>> rows;
  if (!Query(package, L"SELECT `Property`, `Value` FROM `Property`", 2, rows)) return L"";
  for (const auto& row : rows) {
    if (row[0] == property) return row[1];
  }
  return L"";
}

std::optional<std::wstring> Installer::KeyFileVersion(const std::wstring& package,
                                                      const std::wstring& key_file) const {
  std::vector<std::vector<std::wstring>> rows;
  if (!Query(package, L"SELECT `FileName`, `Version` FROM `File`", 2, rows)) return std::nullopt;
  for (const auto& row : rows) {
    // FileName is "SHORT|LONG" or one name that serves as both.
    std::wstring name = row[0].substr(row[0].find(L'|') + 1);
    if (EqualsIgnoreCase(name, key_file)) return row[1];
  }
  return std::nullopt;
}

UINT Installer::Install(const std::wstring& package, const std::wstring& properties) const {
  return install_product_(package.c_str(), properties.c_str());
}

UINT Installer::Remove(const std::wstring& product) const {
  return configure_product_ex_(product.c_str(), 0, INSTALLSTATE_ABSENT, L"");
}

UINT Installer::RemoveAtLevel(const std::wstring& product, const std::wstring& properties,
                              INSTALLUILEVEL level) const {
  set_internal_ui_(level, nullptr);
  const UINT result =
      configure_product_ex_(product.c_str(), 0, INSTALLSTATE_ABSENT, properties.c_str());
  set_internal_ui_(INSTALLUILEVEL_NONE, nullptr);
  return result;
}

std::vector<std::wstring> Installer::Products() const {
  std::vector<std::wstring> products;
  for (DWORD index = 0;; ++index) {
    wchar_t code[39] = {};
    if (enum_products_(index, code) != ERROR_SUCCESS) break;
    products.push_back(code);
  }
  return products;
}

}  // namespace kit
