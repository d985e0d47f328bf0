// UTF-8 and UTF-16 of the Windows test programs (the kit, the probe), through
// the system's own conversion, which also tells whether UTF-8 is well formed.
#ifndef TESTS_SUPPORT_WINDOWS_TEXT_H
#define TESTS_SUPPORT_WINDOWS_TEXT_H

#include <windows.h>

#include <string>

namespace testing_support {

// UTF-8 of a UTF-16 text.
inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                      nullptr, nullptr);
  return result;
}

// UTF-16 from UTF-8; `valid` (when given) tells whether every byte sequence
// was well-formed UTF-8.
inline std::wstring FromUtf8(const std::string& text, bool* valid = nullptr) {
  if (valid) *valid = true;
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  DWORD flags = MB_ERR_INVALID_CHARS;
  if (size == 0) {
    if (valid) *valid = false;
    flags = 0;
    size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  }
  std::wstring result(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, flags, text.data(), length, &result[0], size);
  return result;
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_WINDOWS_TEXT_H
