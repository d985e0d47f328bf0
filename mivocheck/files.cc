#include "mivocheck/files.h"

#include "platform/utf8.h"

namespace mivocheck {

#ifdef _WIN32
std::basic_string<WCHAR> PlatformPath(const PathString& path) { return path; }
PathString EntryName(const WIN32_FIND_DATAW& entry) { return entry.cFileName; }
#else
std::basic_string<WCHAR> PlatformPath(const PathString& path) {
  return utf8::ToUtf16<WCHAR>(path.c_str());
}
PathString EntryName(const WIN32_FIND_DATAW& entry) { return utf8::FromUtf16(entry.cFileName); }
#endif

PathString JoinPath(const PathString& folder, const PathString& name) {
  if (folder.empty()) return name;
  const auto last = folder.back();
#ifdef _WIN32
  if (last == L'\\' || last == L'/' || (folder.size() == 2 && last == L':')) return folder + name;
  return folder + L'\\' + name;
#else
  if (last == '/') return folder + name;
  return folder + '/' + name;
#endif
}

bool IsFolder(const PathString& path) {
  const DWORD attributes = GetFileAttributesW(PlatformPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FolderEntries::FolderEntries(const PathString& folder) {
#ifdef _WIN32
  const PathString pattern = JoinPath(folder, L"*");
#else
  const PathString pattern = JoinPath(folder, "*");
#endif
  handle_ = FindFirstFileW(PlatformPath(pattern).c_str(), &entry_);
  if (handle_ == INVALID_HANDLE_VALUE) {
    failed_ = GetLastError() != ERROR_FILE_NOT_FOUND;  // else: no entry at all
  } else {
    pending_ = true;
  }
}

FolderEntries::~FolderEntries() {
  if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
}

bool FolderEntries::Next() {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  for (;;) {
    if (pending_) {
      pending_ = false;
    } else if (!FindNextFileW(handle_, &entry_)) {
      failed_ = GetLastError() != ERROR_NO_MORE_FILES;
      return false;
    }
    const WCHAR* name = entry_.cFileName;
    const bool dots = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
    if (!dots) return true;
  }
}

}  // namespace mivocheck
