// Text, check lines, files, environment blocks and processes of the test kit.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "tests/kit/kit.h"

namespace kit {

// --- Text --------------------------------------------------------------------

bool EqualsIgnoreCase(const std::wstring& left, const std::wstring& right) {
  return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                              static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

bool ContainsIgnoreCase(const std::string& text, const std::string& fragment) {
  auto lower = [](unsigned char c) { return static_cast<char>(std::tolower(c)); };
  std::string haystack(text.size(), '\0');
  std::transform(text.begin(), text.end(), haystack.begin(), lower);
  std::string needle(fragment.size(), '\0');
  std::transform(fragment.begin(), fragment.end(), needle.begin(), lower);
  return haystack.find(needle) != std::string::npos;
}

// --- Check lines -------------------------------------------------------------

void Report::Line(const char* kind, const std::string& text) {
  std::string line = std::string(kind) + ": ";
  if (!scenario_.empty()) line += scenario_ + ": ";
  line += text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void Report::Pass(const std::string& text) {
  ++passed_;
  Line("PASS", text);
}

void Report::Fail(const std::string& text) {
  ++failed_;
  Line("FAIL", text);
}

void Report::Skip(const std::string& text, const std::string& reason) {
  ++skipped_;
  Line("SKIP", text + " (" + reason + ")");
}

void Report::Info(const std::string& text) {
  std::string line = "  .. " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

bool Report::Check(bool ok, const std::string& text, const std::string& detail) {
  if (ok) {
    Pass(text);
  } else {
    Fail(detail.empty() ? text : text + " (" + detail + ")");
  }
  return ok;
}

// --- Files and folders ---------------------------------------------------------

std::wstring LongPath(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring folder(buffer, length);
  // A temporary folder may be named with short names (RUNNER~1); the
  // scenarios compare the paths the setup reports with their own.
  std::vector<wchar_t> long_name(32768);
  DWORD long_length =
      GetLongPathNameW(folder.c_str(), long_name.data(), static_cast<DWORD>(long_name.size()));
  if (long_length > 0 && long_length < long_name.size()) {
    folder.assign(long_name.data(), long_length);
  }
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

std::wstring WindowsFolder() {
  wchar_t buffer[MAX_PATH + 1];
  UINT length = GetWindowsDirectoryW(buffer, MAX_PATH + 1);
  return std::wstring(buffer, length <= MAX_PATH ? length : 0);
}

namespace {

std::string LastError(const std::string& what) {
  return what + " (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

void MakeFolders(const std::wstring& path) {
  if (path.empty()) return;
  DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  std::wstring parent = FolderOf(path);
  if (!parent.empty() && parent.size() > 2) MakeFolders(parent);
  if (!CreateDirectoryW(LongPath(path).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    throw PreparationError(LastError("cannot make the folder " + Utf8(path)));
  }
}

void CopyOneFile(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(LongPath(from).c_str(), LongPath(to).c_str(), FALSE)) {
    throw PreparationError(LastError("cannot copy " + Utf8(from) + " to " + Utf8(to)));
  }
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  Handle file(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file.Get() == INVALID_HANDLE_VALUE ||
      !WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    throw PreparationError(LastError("cannot write " + Utf8(path)));
  }
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  Handle file(CreateFileW(LongPath(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) return false;
  char chunk[65536];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr)) return false;
    if (read == 0) return true;
    bytes.append(chunk, read);
  }
}

bool FileExists(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> FilesIn(const std::wstring& folder, const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(LongPath(folder + L"\\" + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

void DeleteTree(const std::wstring& path) {
  std::wstring prefixed = LongPath(path);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((prefixed + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        DeleteTree(child);
      } else {
        SetFileAttributesW(LongPath(child).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(LongPath(child).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(prefixed.c_str());
}

// --- Environment blocks --------------------------------------------------------

namespace {

std::wstring NameOf(const std::wstring& entry) {
  // A leading "=" belongs to the name (the per-drive folders "=C:=C:\...").
  size_t cut = entry.find(L'=', 1);
  return cut == std::wstring::npos ? entry : entry.substr(0, cut);
}

bool NameLess(const std::wstring& left, const std::wstring& right) {
  return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                              static_cast<int>(right.size()), TRUE) == CSTR_LESS_THAN;
}

}  // namespace

std::vector<std::wstring> ParseEnvironmentBlock(const wchar_t* block) {
  std::vector<std::wstring> entries;
  if (!block) return entries;
  for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
    entries.push_back(entry);
  }
  return entries;
}

std::vector<std::wstring> CurrentEnvironment() {
  wchar_t* block = GetEnvironmentStringsW();
  std::vector<std::wstring> entries = ParseEnvironmentBlock(block);
  if (block) FreeEnvironmentStringsW(block);
  return entries;
}

std::wstring MakeEnvironmentBlock(const std::vector<std::wstring>& entries,
                                  const std::vector<EnvironmentChange>& changes) {
  std::vector<std::wstring> result;
  for (const std::wstring& entry : entries) {
    bool changed = false;
    for (const EnvironmentChange& change : changes) {
      if (EqualsIgnoreCase(NameOf(entry), change.first)) changed = true;
    }
    if (!changed) result.push_back(entry);
  }
  // Of several changes of one name, the last counts.
  for (size_t i = 0; i < changes.size(); ++i) {
    bool later = false;
    for (size_t j = i + 1; j < changes.size(); ++j) {
      if (EqualsIgnoreCase(changes[i].first, changes[j].first)) later = true;
    }
    if (!later && changes[i].second) result.push_back(changes[i].first + L"=" + *changes[i].second);
  }
  std::stable_sort(result.begin(), result.end(), [](const std::wstring& a, const std::wstring& b) {
    return NameLess(NameOf(a), NameOf(b));
  });
  std::wstring block;
  for (const std::wstring& entry : result) {
    block += entry;
    block += L'\0';
  }
  block += L'\0';
  if (result.empty()) block += L'\0';  // an empty block is still two NULs
  return block;
}

// --- Processes -----------------------------------------------------------------

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Reset();
    value_ = other.Release();
  }
  return *this;
}

HANDLE Handle::Release() {
  HANDLE value = value_;
  value_ = nullptr;
  return value;
}

void Handle::Reset() {
  if (value_ && value_ != INVALID_HANDLE_VALUE) CloseHandle(value_);
  value_ = nullptr;
}

Process StartProcess(const std::wstring& exe, const std::wstring& arguments,
                     const std::wstring& environment, const std::wstring& folder) {
  std::wstring command_line = L"\"" + exe + L"\"";
  if (!arguments.empty()) command_line += L" " + arguments;
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  DWORD flags = CREATE_UNICODE_ENVIRONMENT;
  void* block = environment.empty() ? nullptr : const_cast<wchar_t*>(environment.data());
  if (!CreateProcessW(exe.c_str(), writable.data(), nullptr, nullptr, FALSE, flags, block,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    throw PreparationError(LastError("cannot start " + Utf8(exe)));
  }
  Process process;
  process.process = Handle(info.hProcess);
  process.thread = Handle(info.hThread);
  process.id = info.dwProcessId;
  return process;
}

ProcessEnd WaitForProcess(Process& process, DWORD limit_ms) {
  ProcessEnd end;
  if (WaitForSingleObject(process.process.Get(), limit_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process.process.Get(), 0xDEAD);
    WaitForSingleObject(process.process.Get(), 10000);
    return end;
  }
  end.finished = true;
  GetExitCodeProcess(process.process.Get(), &end.exit_code);
  return end;
}

std::string DescribeExitCode(DWORD code) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(code));
  std::string text = std::to_string(code) + " = " + hex;
  switch (code) {
    case 0xC0000005:
      return text + ", access violation";
    case 0xC0000409:
      return text + ", stack buffer overrun";
    case 0xC00000FD:
      return text + ", stack overflow";
    case 0xC0000374:
      return text + ", heap corruption";
    case 0xC0000135:
      return text + ", DLL not found";
    case 0xC0000139:
      return text + ", entry point not found";
    case 0xC000001D:
      return text + ", illegal instruction";
    case 0x80000003:
      return text + ", breakpoint";
    default:
      return (code & 0xF0000000) == 0xC0000000 ? text + ", an exception" : text;
  }
}

ULONGLONG UtcNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool UnderWine(std::string& version) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC export_address = ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
  if (!export_address) return false;
  typedef const char*(CDECL * VersionFunction)();
  auto get_version =
      reinterpret_cast<VersionFunction>(reinterpret_cast<void (*)()>(export_address));
  const char* text = get_version();
  version = text ? text : "";
  return true;
}

}  // namespace kit
