// Lines of the record: the templates as a grammar, the texts, and the parser.
#include "mivocheck/records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "mivocheck/records_internal.h"
#include "platform/utf8.h"

namespace mivocheck {

namespace {

// ---------------------------------------------------------------------------
// The templates of record.h, where each kind's template begins and how many
// conversions it has, found once at compile time. A template that this reader
// could not read (an unknown conversion, %r not last, two conversions in a
// row, no keyword) or a count of templates other than the count of kinds
// stops the build.

constexpr bool IsConversion(char c) {
  return c == 'q' || c == 's' || c == 'a' || c == 'u' || c == 'd' || c == 'r';
}

struct TemplateTable {
  unsigned short start[kRecordKindCount] = {};
  unsigned char fields[kRecordKindCount] = {};
  bool valid = false;
};

constexpr TemplateTable MakeTemplateTable() {
  TemplateTable table{};
  const char* t = kRecordTemplates;
  const size_t size = sizeof kRecordTemplates;  // the last template's NUL included
  size_t kind = 0;
  size_t pos = 0;
  while (pos < size) {
    if (kind >= kRecordKindCount) return table;
    table.start[kind] = static_cast<unsigned short>(pos);
    int fields = 0;
    bool keyword = false;
    size_t i = pos;
    for (; t[i]; ++i) {
      if (t[i] == ':' && t[i + 1] == ' ' && fields == 0 && i > pos) keyword = true;
      if (t[i] != '%') continue;
      const char conversion = t[i + 1];
      if (!keyword || !IsConversion(conversion)) return table;
      if (conversion == 'r' && t[i + 2] != 0) return table;
      if (t[i + 2] == '%') return table;
      ++fields;
      ++i;
    }
    if (!keyword || fields > kRecordMaxFields) return table;
    table.fields[kind] = static_cast<unsigned char>(fields);
    pos = i + 1;
    ++kind;
  }
  table.valid = kind == kRecordKindCount;
  return table;
}

constexpr TemplateTable kTemplates = MakeTemplateTable();
static_assert(kTemplates.valid,
              "every kind of line has one template that the reader can read, in kind order");

const char* TemplateOf(int kind) { return kRecordTemplates + kTemplates.start[kind]; }

// ---------------------------------------------------------------------------
// Texts.

// The units that a quoted text writes as "<U+XXXX>": the writer's rule, and
// every surrogate that reaches this (a pair is decoded before).
bool Escaped(char32_t c) { return RecordUnitEscaped(c) || (c >= 0xD800 && c <= 0xDFFF); }

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

int UpperHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one UTF-8 sequence that begins with a byte of 0x80 or more at
// `bytes[*i]`, strictly: no overlong form, no surrogate, nothing beyond
// U+10FFFF, no cut sequence. Moves *i past it; false when it is invalid.
bool DecodeUtf8(std::string_view bytes, size_t* i, char32_t* out) {
  const unsigned char lead = static_cast<unsigned char>(bytes[*i]);
  int extra;
  char32_t c;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return false;
  }
  if (bytes.size() - *i <= static_cast<size_t>(extra)) return false;
  for (int k = 1; k <= extra; ++k) {
    const unsigned char b = static_cast<unsigned char>(bytes[*i + k]);
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return false;
    c = (c << 6) | (b & 0x3F);
  }
  *i += extra + 1;
  *out = c;
  return true;
}

void AppendUnits(char32_t c, RecordText& out) {
  if (c >= 0x10000) {
    out += static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    out += static_cast<WCHAR>(c);
  }
}

// Reads a text of the record (the inside of a quoted one, a name of the
// program's own) into UTF-16 units. Every unit that the record escapes must be
// escaped, and only those.
bool ReadText(std::string_view bytes, RecordText& out) {
  out.clear();
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '<') {
      out += static_cast<WCHAR>(b);
      ++i;
      continue;
    }
    if (b == '<') {
      if (bytes.size() - i < 8 || bytes[i + 1] != 'U' || bytes[i + 2] != '+' ||
          bytes[i + 7] != '>') {
        return false;
      }
      char32_t unit = 0;
      for (int k = 3; k < 7; ++k) {
        const int digit = UpperHexDigit(bytes[i + k]);
        if (digit < 0) return false;
        unit = (unit << 4) | static_cast<char32_t>(digit);
      }
      // NUL ends every text of the run, so no text holds one.
      if (!Escaped(unit) || unit == 0) return false;
      // An escaped high surrogate right before an escaped low one would be a
      // pair, which is written as its UTF-8 instead. (No other high
      // surrogate can end the text so far: UTF-8 gives them in pairs.)
      if (IsLowSurrogate(unit) && !out.empty() && IsHighSurrogate(out.back())) return false;
      out += static_cast<WCHAR>(unit);
      i += 8;
      continue;
    }
    if (b < 0x80) return false;  // a control, DEL or '"'
    char32_t c;
    if (!DecodeUtf8(bytes, &i, &c) || Escaped(c)) return false;
    AppendUnits(c, out);
  }
  return true;
}

// A name of the program's own (%s, a package's name): escaped as a quoted
// text is, never empty, no blank at either end.
bool ReadName(std::string_view bytes, RecordText& out) {
  return !bytes.empty() && bytes.front() != ' ' && bytes.back() != ' ' && ReadText(bytes, out);
}

// A text of %a: printable ASCII without '"' or '<'.
bool ReadAscii(std::string_view bytes, RecordText& out) {
  out.clear();
  for (char c : bytes) {
    if (c < 0x20 || c > 0x7E || c == '"' || c == '<') return false;
    out += static_cast<WCHAR>(c);
  }
  return true;
}

// A decimal number at the start of `bytes`: no leading zero, no "+", with
// `is_signed` an optional "-" (not before 0), within [min, max]. Gives the
// count of bytes read, 0 when there is none.
size_t ReadNumber(std::string_view bytes, bool is_signed, long long min, long long max,
                  long long* out) {
  size_t i = 0;
  const bool negative = is_signed && !bytes.empty() && bytes[0] == '-';
  if (negative) ++i;
  const size_t first = i;
  unsigned long long value = 0;
  while (i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9') {
    if (i - first >= 10) return 0;  // more digits than any value of 32 bits
    value = value * 10 + static_cast<unsigned>(bytes[i] - '0');
    ++i;
  }
  if (i == first || (bytes[first] == '0' && i - first > 1)) return 0;
  if (negative && value == 0) return 0;
  const long long signed_value =
      negative ? -static_cast<long long>(value) : static_cast<long long>(value);
  if (signed_value < min || signed_value > max) return 0;
  *out = signed_value;
  return i;
}

// %r: the result's number and then exactly its words, to the end of the line.
bool ReadResult(std::string_view bytes, long long* out) {
  const size_t digits = ReadNumber(bytes, false, 0, 0xFFFFFFFFll, out);
  if (digits == 0) return false;
  std::string_view rest = bytes.substr(digits);
  const UINT result = static_cast<UINT>(*out);
  const char* words = RecordSuccessWords(result);
  const char* name = RecordFailureName(result);
  if (!words && !name) return rest.empty();
  const std::string_view open = words ? " (" : " (ERROR_";
  const std::string_view text = words ? words : name;
  return rest.size() == open.size() + text.size() + 1 && rest.substr(0, open.size()) == open &&
         rest.substr(open.size(), text.size()) == text && rest.back() == ')';
}

// Matches `text` against one template exactly, filling line's fields.
bool MatchTemplate(const char* t, std::string_view text, RecordLine& line) {
  size_t pos = 0;
  int field = 0;
  while (*t) {
    if (*t != '%') {
      const char* literal = t;
      while (*t && *t != '%') ++t;
      const size_t length = static_cast<size_t>(t - literal);
      if (text.size() - pos < length || memcmp(text.data() + pos, literal, length) != 0) {
        return false;
      }
      pos += length;
      continue;
    }
    const char conversion = t[1];
    t += 2;
    size_t next = 0;  // the length of the template text that follows
    while (t[next] && t[next] != '%') ++next;
    RecordField& out = line.fields[field++];
    out.conversion = conversion;
    const std::string_view rest = text.substr(pos);
    switch (conversion) {
      case 'q': {
        if (rest.empty() || rest[0] != '"') return false;
        const size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) return false;
        if (!ReadText(rest.substr(1, close - 1), out.text)) return false;
        pos += close + 1;
        break;
      }
      case 'u':
      case 'd': {
        const size_t length =
            conversion == 'u' ? ReadNumber(rest, false, 0, 0xFFFFFFFFll, &out.number)
                              : ReadNumber(rest, true, -2147483648ll, 2147483647ll, &out.number);
        if (length == 0) return false;
        pos += length;
        break;
      }
      case 'r':
        if (!ReadResult(rest, &out.number)) return false;
        pos = text.size();
        break;
      default: {  // 's', 'a'
        const size_t length = next == 0 ? rest.size() : rest.find(std::string_view(t, next));
        if (length == 0 || length == std::string_view::npos) return false;
        const std::string_view value = rest.substr(0, length);
        if (!(conversion == 'a' ? ReadAscii(value, out.text) : ReadName(value, out.text))) {
          return false;
        }
        pos += length;
        break;
      }
    }
  }
  line.field_count = field;
  return pos == text.size();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Two digits at `p` as a number, or -1.
int TwoDigits(const char* p) {
  return IsDigit(p[0]) && IsDigit(p[1]) ? (p[0] - '0') * 10 + (p[1] - '0') : -1;
}

// "YYYY-MM-DD hh:mm:ssZ": a real date and time of day.
bool ValidTime(const char* p) {
  for (int k = 0; k < 4; ++k) {
    if (!IsDigit(p[k])) return false;
  }
  if (p[4] != '-' || p[7] != '-' || p[10] != ' ' || p[13] != ':' || p[16] != ':' || p[19] != 'Z') {
    return false;
  }
  const int year = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
  const int month = TwoDigits(p + 5);
  const int day = TwoDigits(p + 8);
  const int hour = TwoDigits(p + 11);
  const int minute = TwoDigits(p + 14);
  const int second = TwoDigits(p + 17);
  if (month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59) {
    return false;
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// Where the writer puts words of a fixed set into %a, they are of that set:
// the plan's rule, the words of the installed state's number, the call that
// waits. An end line counts failures only when there are some.
bool KnownWords(const RecordLine& line) {
  switch (line.kind) {
    case kRecordPlan:
      for (int rule = kPlanCore; rule <= kPlanFallback; ++rule) {
        if (Equals(line.fields[0].text, RecordRuleText(static_cast<PlanRule>(rule)))) return true;
      }
      return false;
    case kRecordInstalledState: {
      // The states the enumeration can hold; any other number is worded as
      // an unknown state.
      const long long number = line.fields[0].number;
      const INSTALLSTATE state =
          number >= -8 && number <= 7 ? static_cast<INSTALLSTATE>(number) : INSTALLSTATE_UNKNOWN;
      return Equals(line.fields[1].text, RecordStateText(state));
    }
    case kRecordEndWithFailures:
    case kRecordEndWithRestarts:
      // A run without failures or restarts says nothing of them.
      return line.fields[3].number > 0;
    case kRecordEndWithRestartsAndFailures:
      return line.fields[3].number > 0 && line.fields[4].number > 0;
    case kRecordWait:
    case kRecordLeft: {
      const RecordText& call = line.fields[line.kind == kRecordWait ? 1 : 0].text;
      return Equals(call, "removal") || Equals(call, "installation");
    }
    default:
      return true;
  }
}

}  // namespace

bool RecordKindHasPackage(RecordKind kind) {
  switch (kind) {
    case kRecordStart:
    case kRecordLockWaited:
    case kRecordLockGoingOn:
    case kRecordNoFolder:
    case kRecordEnd:
    case kRecordEndWithFailures:
    case kRecordEndWithRestarts:
    case kRecordEndWithRestartsAndFailures:
    case kRecordTempElsewhere:
    case kRecordUser:
      return false;
    default:
      return true;
  }
}

bool ParseRecordLine(std::string_view bytes, RecordLine& line) {
  // "YYYY-MM-DD hh:mm:ssZ [PID] "
  const size_t kTime = 20;
  if (bytes.size() < kTime + 5 || !ValidTime(bytes.data()) || bytes[kTime] != ' ' ||
      bytes[kTime + 1] != '[') {
    return false;
  }
  line.time.assign(bytes.data(), kTime);
  long long pid = 0;
  const size_t digits = ReadNumber(bytes.substr(kTime + 2), false, 0, 0xFFFFFFFFll, &pid);
  size_t pos = kTime + 2 + digits;
  if (digits == 0 || bytes.size() - pos < 2 || bytes[pos] != ']' || bytes[pos + 1] != ' ') {
    return false;
  }
  line.pid = static_cast<DWORD>(pid);
  pos += 2;
  const std::string_view rest = bytes.substr(pos);

  // The kinds of the run as a whole, then the facts of a package behind its
  // name.
  for (int kind = 0; kind < kRecordKindCount; ++kind) {
    if (RecordKindHasPackage(static_cast<RecordKind>(kind))) continue;
    const char* t = TemplateOf(kind);
    if (rest.empty() || rest[0] != t[0]) continue;
    if (MatchTemplate(t, rest, line)) {
      line.kind = static_cast<RecordKind>(kind);
      if (!KnownWords(line)) return false;
      line.has_package = false;
      line.package.clear();
      return true;
    }
  }
  const size_t colon = rest.find(": ");
  if (colon == 0 || colon == std::string_view::npos) return false;
  const std::string_view facts = rest.substr(colon + 2);
  for (int kind = 0; kind < kRecordKindCount; ++kind) {
    if (!RecordKindHasPackage(static_cast<RecordKind>(kind))) continue;
    const char* t = TemplateOf(kind);
    if (facts.empty() || facts[0] != t[0]) continue;
    if (MatchTemplate(t, facts, line)) {
      if (!ReadName(rest.substr(0, colon), line.package)) return false;
      line.kind = static_cast<RecordKind>(kind);
      if (!KnownWords(line)) return false;
      line.has_package = true;
      return true;
    }
  }
  return false;
}

std::string RecordTextUtf8(const RecordText& text) {
  // A record text never holds U+0000 (the reader refuses its escape), so the
  // terminated conversion sees all of it.
  return utf8::FromUtf16(text.c_str());
}

namespace {

// UTF-8 of `text`, each unit for which `escape` holds as "<U+XXXX>"; a pair of
// surrogates is one character, an unpaired one is escaped when `escape` holds
// for it and U+FFFD otherwise.
std::string EscapedUtf8(const RecordText& text, bool (*escape)(char32_t)) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    int units = 1;
    char32_t c = utf8::NextCodePoint(text[i], i + 1 < text.size() ? text[i + 1] : 0, &units);
    i += units;
    if (units == 1 && escape(c)) {
      char bytes[8];
      out.append(bytes, static_cast<size_t>(utf8::EncodeEscape(c, bytes)));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    utf8::AppendUtf8(c, out);
  }
  return out;
}

// What would break a row of CSV for a reader that splits at line breaks, or
// move the cursor: the C0 and C1 controls, DEL, U+2028 and U+2029.
bool BreaksRow(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

}  // namespace

std::string RecordTextEscaped(const RecordText& text) { return EscapedUtf8(text, Escaped); }

std::string RecordTextCsv(const RecordText& text) { return EscapedUtf8(text, BreaksRow); }

std::string FileNameEscaped(const std::string& bytes) {
  RecordText text;
  for (size_t i = 0; i < bytes.size();) {
    char32_t c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
    } else if (!DecodeUtf8(bytes, &i, &c)) {
      c = 0xFFFD;
      ++i;
    }
    AppendUnits(c, text);
  }
  return RecordTextEscaped(text);
}

}  // namespace mivocheck
