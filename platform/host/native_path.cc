#include "platform/host/native_path.h"

#include "platform/utf8.h"

namespace host {

std::string ToUtf8(const char16_t* text) { return utf8::FromUtf16(text); }

std::u16string FromUtf8(const char* text) { return utf8::ToUtf16<char16_t>(text); }

std::string NativePath(const char16_t* windows_path) {
  std::string path = ToUtf8(windows_path);
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
    path.erase(0, 2);
  }
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace host
