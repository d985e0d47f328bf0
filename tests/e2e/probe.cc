// Installer probe for the end-to-end scenarios: reports what the Windows
// Installer knows about the products named on the command line, one line per
// product code, in a form that a shell script can take apart:
//
//   product={CODE} state=N version=TEXT keyfile=NAME keyversion=TEXT package=PATH
//
// state is the result of MsiQueryProductStateW (5 = installed, -1 = unknown);
// version and package are the product's "VersionString" and "LocalPackage"
// information; keyfile and keyversion are the FileName and Version of the first
// row of the File table of the cached package (each package of the scenarios
// holds one file). A value that cannot be read is printed empty; the package
// path comes last because it is the only value that may hold blanks.
//
//   probe --env NAME   prints NAME=VALUE of the process environment (or
//                      "NAME unset"), to check what a Windows process sees.
//   probe --lcid       prints lcid=N, the user's default locale identifier.
//   probe --temp       prints temp=PATH, the folder GetTempPathW names.
//   probe --hold FILE SECONDS
//                      opens FILE (made when missing) without sharing, writes
//                      FILE.held, and keeps it open until FILE.held is deleted
//                      or SECONDS pass, as another program holding the file.
//   probe --run FOLDER COMMAND_LINE
//                      runs COMMAND_LINE in FOLDER as a deployment tool does
//                      (CreateProcessW, then a wait for its end), its output to
//                      the probe's, then prints exit=N, the whole exit code,
//                      which a Unix exit status would cut to 8 bits.
//
// The probe is a test tool and imports msi.dll directly; it must never be laid
// beside the planted msi.dll of the hijack scenario.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The installer headers need the Windows types first.
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/windows_text.h"

namespace {

std::wstring Widen(const char* text) { return testing_support::FromUtf8(text); }
std::string Narrow(const std::wstring& text) { return testing_support::Utf8(text); }

// Closes an installer handle when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (value_ != 0) MsiCloseHandle(value_);
  }
  MSIHANDLE* Out() { return &value_; }
  MSIHANDLE Get() const { return value_; }

 private:
  MSIHANDLE value_ = 0;
};

// Product information as text; empty when the installer does not give it.
std::wstring ProductInfo(const std::wstring& product, const wchar_t* property) {
  std::vector<wchar_t> buffer(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    UINT result = MsiGetProductInfoW(product.c_str(), property, buffer.data(), &size);
    if (result == ERROR_SUCCESS) return std::wstring(buffer.data());
    if (result != ERROR_MORE_DATA) break;
    buffer.resize(static_cast<size_t>(size) + 1);
  }
  return std::wstring();
}

std::wstring RecordText(MSIHANDLE record, UINT field) {
  std::vector<wchar_t> buffer(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    UINT result = MsiRecordGetStringW(record, field, buffer.data(), &size);
    if (result == ERROR_SUCCESS) return std::wstring(buffer.data());
    if (result != ERROR_MORE_DATA) break;
    buffer.resize(static_cast<size_t>(size) + 1);
  }
  return std::wstring();
}

// MSIDBOPEN_READONLY is typed for the narrow build; its value is the same.
const LPCWSTR kReadOnly = reinterpret_cast<LPCWSTR>(MSIDBOPEN_READONLY);

// FileName and Version of the first File row of a package; both empty when the
// package cannot be read.
void FirstFile(const std::wstring& package, std::wstring& name, std::wstring& version) {
  if (package.empty()) return;
  Handle database;
  if (MsiOpenDatabaseW(package.c_str(), kReadOnly, database.Out()) != ERROR_SUCCESS) return;
  Handle view;
  if (MsiDatabaseOpenViewW(database.Get(), L"SELECT `FileName`, `Version` FROM `File`",
                           view.Out()) != ERROR_SUCCESS)
    return;
  if (MsiViewExecute(view.Get(), 0) != ERROR_SUCCESS) return;
  Handle record;
  if (MsiViewFetch(view.Get(), record.Out()) != ERROR_SUCCESS) return;
  name = RecordText(record.Get(), 1);
  version = RecordText(record.Get(), 2);
  MsiViewClose(view.Get());
}

void ReportProduct(const char* code) {
  std::wstring product = Widen(code);
  INSTALLSTATE state = MsiQueryProductStateW(product.c_str());
  std::wstring version = ProductInfo(product, L"VersionString");
  std::wstring package = ProductInfo(product, L"LocalPackage");
  std::wstring key_name;
  std::wstring key_version;
  FirstFile(package, key_name, key_version);
  std::printf("product=%s state=%d version=%s keyfile=%s keyversion=%s package=%s\n", code,
              static_cast<int>(state), Narrow(version).c_str(), Narrow(key_name).c_str(),
              Narrow(key_version).c_str(), Narrow(package).c_str());
}

int ReportEnvironment(const char* name) {
  std::wstring wide_name = Widen(name);
  std::vector<wchar_t> buffer(32768);
  DWORD length =
      GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0 || length >= buffer.size()) {
    std::printf("%s unset\n", name);
  } else {
    std::printf("%s=%s\n", name, Narrow(std::wstring(buffer.data(), length)).c_str());
  }
  return 0;
}

int HoldWithoutSharing(const char* file, const char* seconds) {
  std::wstring path = Widen(file);
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s: %lu\n", file, GetLastError());
    return 1;
  }
  std::wstring marker = path + L".held";
  HANDLE made = CreateFileW(marker.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (made != INVALID_HANDLE_VALUE) CloseHandle(made);
  for (long left = std::atol(seconds) * 10;
       left > 0 && GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; --left) {
    Sleep(100);
  }
  CloseHandle(held);
  return 0;
}

int RunAndReport(const char* folder, const char* command_line) {
  std::wstring directory = Widen(folder);
  std::wstring line = Widen(command_line);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::fflush(stdout);
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(),
                      &startup, &process)) {
    std::fprintf(stderr, "cannot run %s: %lu\n", command_line, GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::printf("exit=%lu\n", static_cast<unsigned long>(code));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--hold") == 0) return HoldWithoutSharing(argv[2], argv[3]);
  if (argc == 2 && std::strcmp(argv[1], "--temp") == 0) {
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::printf("temp=%s\n", length ? Narrow(std::wstring(buffer, length)).c_str() : "");
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--env") == 0) return ReportEnvironment(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "--run") == 0) return RunAndReport(argv[2], argv[3]);
  if (argc == 2 && std::strcmp(argv[1], "--lcid") == 0) {
    std::printf("lcid=%lu\n", static_cast<unsigned long>(GetUserDefaultLCID()));
    return 0;
  }
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: probe {PRODUCT-CODE}...\n       probe --env NAME\n       probe --lcid\n");
    return 2;
  }
  // The probe must not change anything, and the installer must not show UI.
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  for (int i = 1; i < argc; ++i) ReportProduct(argv[i]);
  std::fflush(stdout);
  return 0;
}
