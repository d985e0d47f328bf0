// UTF-16 <-> UTF-8 conversion for the host platform and the tests, over any
// 16-bit code unit type (char16_t on the host, wchar_t in Windows test
// programs). The program's logic never converts: its text is UTF-16 throughout.
#ifndef PLATFORM_UTF8_H
#define PLATFORM_UTF8_H

#include <string>

#include "platform/utf8_codec.h"

namespace utf8 {

// Appends the UTF-8 of the code point `c` (at most U+10FFFF, no surrogate).
inline void AppendUtf8(char32_t c, std::string& out) {
  char bytes[4];
  out.append(bytes, static_cast<size_t>(EncodeUtf8(c, bytes)));
}

// UTF-8 of a terminated UTF-16 text ("" for null); an unpaired surrogate
// becomes U+FFFD.
template <typename Unit>
std::string FromUtf16(const Unit* text) {
  std::string out;
  if (!text) return out;
  for (const Unit* p = text; *p;) {
    int units = 1;
    char32_t c = NextCodePoint(static_cast<char16_t>(*p), static_cast<char16_t>(p[1]), &units);
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    AppendUtf8(c, out);
    p += units;
  }
  return out;
}

// UTF-16 of a terminated UTF-8 text ("" for null).
template <typename Unit>
std::basic_string<Unit> ToUtf16(const char* text) {
  std::basic_string<Unit> out;
  if (!text) return out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    char32_t c = *p++;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) c &= 0x3F >> extra;
    for (int k = 0; k < extra && (*p & 0xC0) == 0x80; ++k) c = (c << 6) | (*p++ & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<Unit>(0xD800 + (c >> 10));
      out += static_cast<Unit>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<Unit>(c);
    }
  }
  return out;
}

}  // namespace utf8

#endif  // PLATFORM_UTF8_H
