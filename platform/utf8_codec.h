// The one encoder of the record's texts, for the writer (setup/record.cc), the
// reader's escaped output (mivocheck) and the host's UTF-8 conversion
// (platform/utf8.h): UTF-8 of a code point, and the escape "<U+XXXX>" of a
// UTF-16 unit that a text of the record never holds as it is. Header only, no
// library: the executable uses it too. docs/run-record.md describes the
// escaping.
#ifndef PLATFORM_UTF8_CODEC_H
#define PLATFORM_UTF8_CODEC_H

namespace utf8 {

// True for the UTF-16 units that a text of the record writes as "<U+XXXX>":
// the C0 and C1 controls, DEL, '"', '<', U+2028, U+2029 and the bidirectional
// controls (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069). A surrogate
// is escaped when it is not one of a pair, which this does not tell.
inline bool UnitEscaped(unsigned unit) {
  return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == '"' || unit == '<' ||
         unit == 0x061C || unit == 0x200E || unit == 0x200F || (unit >= 0x2028 && unit <= 0x202E) ||
         (unit >= 0x2066 && unit <= 0x2069);
}

// Writes the UTF-8 of the code point `c` (at most U+10FFFF, no surrogate) at
// `out`, which has room for 4 bytes; the number of bytes written.
inline int EncodeUtf8(unsigned c, char* out) {
  if (c < 0x80) {
    *out = static_cast<char>(c);
    return 1;
  }
  // The lead byte's marker and how many continuation bytes follow.
  const int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  *out++ = static_cast<char>((0xFF00u >> (more + 1)) | (c >> (6 * more)));
  for (int k = more - 1; k >= 0; --k) *out++ = static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  return more + 1;
}

// Writes "<U+XXXX>" for the UTF-16 unit `unit` at `out` (8 bytes, four
// upper-case hexadecimal digits); 8.
inline int EncodeEscape(unsigned unit, char* out) {
  const char digits[] = "0123456789ABCDEF";
  out[0] = '<';
  out[1] = 'U';
  out[2] = '+';
  for (int k = 0; k < 4; ++k) out[3 + k] = digits[(unit >> (12 - 4 * k)) & 15];
  out[7] = '>';
  return 8;
}

// The code point that begins at the UTF-16 units `p` (terminated, or followed
// by `next` as the unit after it, 0 at the end): a pair of surrogates is one,
// and *units is then 2, else 1. An unpaired surrogate is returned as it is.
inline unsigned NextCodePoint(unsigned unit, unsigned next, int* units) {
  *units = 1;
  if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
    *units = 2;
    return 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
  }
  return unit;
}

}  // namespace utf8

#endif  // PLATFORM_UTF8_CODEC_H
