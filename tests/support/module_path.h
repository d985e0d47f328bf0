// Paths of a Windows test program's own files: the kit, the probe and the
// binding test find what lies beside them through these.
#ifndef TESTS_SUPPORT_MODULE_PATH_H
#define TESTS_SUPPORT_MODULE_PATH_H

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

// The folder of a path: all before its last backslash; empty without one.
inline std::wstring FolderOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L'\\');
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

// The full path of a module of this process (null: the program), however long.
inline std::wstring ModulePath(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_MODULE_PATH_H
