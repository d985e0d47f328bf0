// Host replacements of the Windows text services that the logic calls. They
// promise to match Windows (as the same tests show under Wine) in:
//
// - wvsprintfW / wvnsprintfW: %s %ls %S, %c, %d %u %x %X and %I64d, the flags
//   "-", "#" and "0", width and precision; %% gives %; a null text gives
//   "(null)"; a precision cuts a text and pads a number with zeros; an unknown
//   type character is written as it stands and takes no argument.
//   wvnsprintfW writes at most capacity - 1 units and a NUL, fits a
//   conversion's width to the room left, and returns -1 when the buffer is
//   full (cut, or filled exactly). wvsprintfW stops at 1023 units and a NUL and
//   then returns 1024. (The other types and prefixes of the Windows formatter,
//   %i %p %C h w, are implemented alike but are not used by the program.)
// - ExpandEnvironmentStringsW: %NAME% references, names without regard to case;
//   a reference to an unknown name stays as it stands, both percent signs
//   included, and scanning goes on after it; the result counts the terminator;
//   for a destination that is too small the result is the size needed.
// - PathAddBackslashW adds nothing to an empty path or one that ends in a
//   backslash and refuses (null) a path of 260 units or more.
//   PathRemoveFileSpecW keeps a drive's root ("C:\\") and a UNC share.
//   PathUnquoteSpacesW removes quotes that enclose the whole path. PathAppendW
//   skips the leading backslashes of a relative element, resolves "." and
//   "..", takes an absolute element as the path, and when the result would not
//   fit 260 units with its NUL, empties the path and returns FALSE.
// - StrToIntW: an optional minus sign, then decimal digits up to the first
//   non-digit; text that starts otherwise (white space, a plus sign) gives 0.
// - CharNextW steps one unit and stays on the NUL; lstrlenW and lstrlenA count
//   0 for null; LoadStringW finds no string table and returns 0.
#include <string.h>

#include <string>
#include <vector>

#include "platform/host/process_state.h"
#include "platform/platform.h"

namespace {

const int kMaxPath = 260;

size_t Length(LPCWSTR text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

// The output of one formatting call: units are kept while there is room for
// them and the NUL; the rest is counted as cut.
class Output {
 public:
  Output(LPWSTR buffer, int capacity) : buffer_(buffer), room_(capacity - 1) {}
  void Put(WCHAR unit) {
    if (written_ < room_) {
      buffer_[written_++] = unit;
    } else {
      cut_ = true;
    }
  }
  void Repeat(WCHAR unit, int count) {
    for (int i = 0; i < count; ++i) Put(unit);
  }
  bool Full() const { return written_ >= room_; }
  int Room() const { return room_ - written_; }
  // Terminates the output. A full buffer counts as cut, whether or not more
  // output was due, as on Windows.
  int Finish() {
    buffer_[written_] = 0;
    return cut_ || Full() ? -1 : written_;
  }

 private:
  LPWSTR buffer_;
  int room_;
  int written_ = 0;
  bool cut_ = false;
};

enum Type { kUnknown, kWideChar, kNarrowChar, kWideText, kNarrowText, kSigned, kUnsigned, kHex };

struct Conversion {
  bool left = false;
  bool hex_prefix = false;
  bool zero_pad = false;
  bool upper = false;
  bool pointer = false;
  int width = 0;
  int precision = 0;
  bool narrow = false;
  bool wide = false;
  bool i64 = false;
  Type type = kUnknown;
};

int ReadNumber(LPCWSTR& p) {
  int value = 0;
  while (*p >= '0' && *p <= '9') {
    if (value < 100000) value = value * 10 + (*p - '0');
    ++p;
  }
  return value;
}

// Reads a conversion after its "%". An unknown type character is left in place
// so that it is written as ordinary text.
Conversion ParseConversion(LPCWSTR& p) {
  Conversion c;
  if (*p == '-') {
    c.left = true;
    ++p;
  }
  if (*p == '#') {
    c.hex_prefix = true;
    ++p;
  }
  if (*p == '0') {
    c.zero_pad = true;
    ++p;
  }
  c.width = ReadNumber(p);
  if (*p == '.') {
    ++p;
    c.precision = ReadNumber(p);
  }
  if (*p == 'l') {
    c.wide = true;
    ++p;
  } else if (*p == 'h') {
    c.narrow = true;
    ++p;
  } else if (*p == 'w') {
    c.wide = true;
    ++p;
  } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
    c.i64 = true;
    p += 3;
  }
  switch (*p) {
    case 'c':
      c.type = c.narrow ? kNarrowChar : kWideChar;
      break;
    case 'C':
      c.type = c.wide ? kWideChar : kNarrowChar;
      break;
    case 'd':
    case 'i':
      c.type = kSigned;
      break;
    case 'u':
      c.type = kUnsigned;
      break;
    case 's':
      c.type = c.narrow ? kNarrowText : kWideText;
      break;
    case 'S':
      c.type = c.wide ? kWideText : kNarrowText;
      break;
    case 'p':
      c.width = static_cast<int>(2 * sizeof(void*));
      c.zero_pad = true;
      c.pointer = true;
      c.upper = true;
      c.type = kHex;
      break;
    case 'X':
      c.upper = true;
      c.type = kHex;
      break;
    case 'x':
      c.type = kHex;
      break;
    default:
      return c;  // written as ordinary text
  }
  ++p;
  return c;
}

// Digits of an unsigned value in base 10 or 16, most significant first.
int Digits(unsigned long long value, int base, bool upper, char* out) {
  char reversed[24];
  int n = 0;
  do {
    int digit = static_cast<int>(value % static_cast<unsigned>(base));
    reversed[n++] = static_cast<char>(digit < 10 ? '0' + digit : (upper ? 'A' : 'a') + digit - 10);
    value /= static_cast<unsigned>(base);
  } while (value);
  for (int i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

// Formats into `capacity` units. Each conversion is fitted into the room that
// is left: its width and its text are cut to the room before padding is
// worked out, as Windows does, and no unit is ever written past the room.
int FormatInto(LPWSTR buffer, int capacity, LPCWSTR format, va_list arguments) {
  if (!buffer || capacity <= 0) return -1;
  Output out(buffer, capacity);
  LPCWSTR p = format;
  while (*p && !out.Full()) {
    if (*p != '%') {
      out.Put(*p++);
      continue;
    }
    ++p;
    if (*p == '%') {
      out.Put(*p++);
      continue;
    }
    Conversion c = ParseConversion(p);
    if (c.type == kUnknown) continue;

    WCHAR single = 0;
    LPCWSTR wide_text = nullptr;
    LPCSTR narrow_text = nullptr;
    // A number's text, its sign included.
    char number[24];
    int length = 0;
    bool is_number = false;
    switch (c.type) {
      case kWideChar:
        single = static_cast<WCHAR>(va_arg(arguments, int));
        break;
      case kNarrowChar:
        single = static_cast<WCHAR>(static_cast<unsigned char>(va_arg(arguments, int)));
        break;
      case kWideText:
        wide_text = va_arg(arguments, LPCWSTR);
        if (!wide_text) wide_text = u"(null)";
        break;
      case kNarrowText:
        narrow_text = va_arg(arguments, LPCSTR);
        if (!narrow_text) narrow_text = "(null)";
        break;
      case kSigned: {
        long long value = c.i64 ? va_arg(arguments, long long) : va_arg(arguments, int);
        unsigned long long magnitude =
            value < 0 ? 0ull - static_cast<unsigned long long>(value) : value;
        int sign = 0;
        if (value < 0) number[sign++] = '-';
        length = sign + Digits(magnitude, 10, false, number + sign);
        is_number = true;
        break;
      }
      case kUnsigned:
      case kHex: {
        unsigned long long value;
        if (c.pointer) {
          value = reinterpret_cast<uintptr_t>(va_arg(arguments, void*));
        } else if (c.i64) {
          value = va_arg(arguments, unsigned long long);
        } else {
          value = va_arg(arguments, unsigned int);
        }
        length = Digits(value, c.type == kHex ? 16 : 10, c.upper, number);
        is_number = true;
        break;
      }
      case kUnknown:
        break;
    }

    int room = out.Room();
    if (c.left) c.zero_pad = false;
    if (c.width > room) c.width = room;
    if (wide_text || narrow_text) {
      // A precision limits the text; 0 means no limit.
      while ((wide_text ? wide_text[length] : narrow_text[length]) &&
             (c.precision == 0 || length < c.precision)) {
        ++length;
      }
      if (length > room) length = room;
      c.precision = length;
    } else if (is_number) {
      if (length > room) length = room;
      if (c.precision < length) c.precision = length;
      if (c.precision > room) c.precision = room;
      if (c.zero_pad && c.width > c.precision) c.precision = c.width;
    } else {
      length = 1;
      c.precision = 1;
    }

    // Padding counts from the precision: the units of the body.
    int padding = c.width > c.precision ? c.width - c.precision : 0;
    if (!c.left) out.Repeat(' ', padding);
    if (is_number) {
      if (c.type == kHex && c.hex_prefix && out.Room() > 2) {
        out.Put('0');
        out.Put(c.upper ? 'X' : 'x');
      }
      int sign = number[0] == '-' ? 1 : 0;
      if (sign) out.Put('-');
      out.Repeat('0', c.precision - length);
      for (int i = sign; i < length; ++i) out.Put(static_cast<WCHAR>(number[i]));
    } else if (wide_text) {
      for (int i = 0; i < length; ++i) out.Put(wide_text[i]);
    } else if (narrow_text) {
      for (int i = 0; i < length; ++i) {
        out.Put(static_cast<WCHAR>(static_cast<unsigned char>(narrow_text[i])));
      }
    } else {
      out.Put(single);
    }
    if (c.left) out.Repeat(' ', padding);
  }
  return out.Finish();
}

bool IsUnc(LPCWSTR path) { return path[0] == '\\' && path[1] == '\\'; }

bool HasDrive(LPCWSTR path) { return path[0] && path[1] == ':'; }

// Removes "." and ".." elements, as Windows does when it combines paths. A
// ".." never climbs above the root (drive, UNC prefix or leading backslash).
std::u16string Canonicalize(const std::u16string& path) {
  size_t i = 0;
  std::u16string root;
  if (path.size() >= 2 && path[1] == u':') {
    root = path.substr(0, 2);
    i = 2;
  } else if (path.compare(0, 2, u"\\\\") == 0) {
    root = u"\\\\";
    i = 2;
  }
  if (root != u"\\\\" && i < path.size() && path[i] == u'\\') {
    root += u'\\';
    ++i;
  }
  std::vector<std::u16string> elements;
  for (;;) {
    size_t end = path.find(u'\\', i);
    std::u16string element = path.substr(i, end == std::u16string::npos ? end : end - i);
    if (element == u"..") {
      if (!elements.empty()) elements.pop_back();
    } else if (element != u".") {
      elements.push_back(element);
    }
    if (end == std::u16string::npos) break;
    i = end + 1;
  }
  std::u16string result = root;
  for (size_t k = 0; k < elements.size(); ++k) {
    if (k) result += u'\\';
    result += elements[k];
  }
  return result;
}

bool CopyOut(const std::u16string& text, LPWSTR path) {
  memcpy(path, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return true;
}

}  // namespace

int wvnsprintfW(LPWSTR buffer, int capacity, LPCWSTR format, va_list arguments) {
  if (!format) return -1;
  return FormatInto(buffer, capacity, format, arguments);
}

int wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list arguments) {
  if (!format) return -1;
  int result = FormatInto(buffer, 1024, format, arguments);
  return result < 0 ? 1024 : result;
}

LPWSTR CharNextW(LPCWSTR text) {
  if (*text) ++text;
  return const_cast<LPWSTR>(text);
}

int lstrlenW(LPCWSTR text) { return text ? static_cast<int>(Length(text)) : 0; }

int lstrlenA(LPCSTR text) { return text ? static_cast<int>(strlen(text)) : 0; }

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD capacity) {
  if (!source) return 0;
  std::u16string expanded;
  LPCWSTR p = source;
  while (*p) {
    if (*p != '%') {
      expanded += *p++;
      continue;
    }
    LPCWSTR close = p + 1;
    while (*close && *close != '%') ++close;
    if (!*close) {
      expanded += p;
      break;
    }
    std::u16string value;
    if (close > p + 1 &&
        host::LookUpEnvironmentVariable(p + 1, static_cast<size_t>(close - p - 1), &value)) {
      expanded += value;
      p = close + 1;
    } else {
      // An unknown reference stays as it stands, both percent signs included.
      expanded.append(p, close + 1);
      p = close + 1;
    }
  }
  DWORD needed = static_cast<DWORD>(expanded.size() + 1);
  if (destination && capacity > 0) {
    size_t units = needed <= capacity ? expanded.size() : capacity - 1;
    memcpy(destination, expanded.data(), units * sizeof(char16_t));
    destination[units] = 0;
  }
  return needed;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity) {
  (void)instance;
  (void)id;
  if (buffer && capacity > 0) buffer[0] = 0;
  return 0;
}

LPWSTR PathAddBackslashW(LPWSTR path) {
  if (!path) return nullptr;
  size_t length = Length(path);
  // Like Windows, only a path of MAX_PATH units or more is refused; a path of
  // 259 units still gets its backslash.
  if (length >= kMaxPath) return nullptr;
  if (length && path[length - 1] != '\\') {
    path[length++] = '\\';
    path[length] = 0;
  }
  return path + length;
}

BOOL PathRemoveFileSpecW(LPWSTR path) {
  if (!path) return 0;
  LPWSTR cut = path;
  LPWSTR p = path;
  if (*p == '\\') cut = ++p;
  if (*p == '\\') cut = ++p;
  while (*p) {
    if (*p == '\\') {
      cut = p;
    } else if (*p == ':') {
      // The drive and the root backslash after it stay.
      cut = ++p;
      if (*p == '\\') ++cut;
      if (*p) ++p;
      continue;
    }
    ++p;
  }
  if (!*cut) return 0;
  *cut = 0;
  return 1;
}

void PathUnquoteSpacesW(LPWSTR path) {
  if (!path || *path != '"') return;
  size_t last = Length(path) - 1;
  if (path[last] != '"') return;
  path[last] = 0;
  memmove(path, path + 1, last * sizeof(WCHAR));
}

BOOL PathAppendW(LPWSTR path, LPCWSTR more) {
  if (!path || !more) return 0;
  if (!IsUnc(more)) {
    while (*more == '\\') ++more;
  }
  std::u16string base(path);
  std::u16string combined;
  if (!*more) {
    combined = base;
  } else if (base.empty() || HasDrive(more) || IsUnc(more)) {
    combined = more;
  } else {
    combined = base;
    if (combined.back() != u'\\') combined += u'\\';
    combined += more;
    if (combined.size() >= static_cast<size_t>(kMaxPath)) {
      path[0] = 0;
      return 0;
    }
  }
  std::u16string canonical = Canonicalize(combined);
  if (canonical.size() >= static_cast<size_t>(kMaxPath)) {
    path[0] = 0;
    return 0;
  }
  return CopyOut(canonical, path);
}

int StrToIntW(LPCWSTR text) {
  if (!text) return 0;
  bool negative = *text == '-';
  if (!negative && !(*text >= '0' && *text <= '9')) return 0;
  if (negative) ++text;
  unsigned int value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10u + static_cast<unsigned>(*text++ - '0');
  return static_cast<int>(negative ? 0u - value : value);
}
