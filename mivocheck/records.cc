#include "mivocheck/records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

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

// The units that a quoted text writes as "<U+XXXX>".
bool Escaped(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C ||
         c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || (c >= 0xD800 && c <= 0xDFFF) || c == '"' || c == '<';
}

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

bool Equals(const RecordText& text, const char* words) {
  size_t i = 0;
  for (; words[i]; ++i) {
    if (i == text.size() || text[i] != static_cast<WCHAR>(words[i])) return false;
  }
  return i == text.size();
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
      // A run without failures says nothing of them.
      return line.fields[3].number > 0;
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

// ---------------------------------------------------------------------------
// Runs.

Outcome OutcomeOf(const Run& run, const PackageRun& package) {
  if (package.gave_up) return Outcome::kGaveUp;
  if (package.removed && !ResultSucceeded(package.removal_result)) return Outcome::kFailed;
  if (package.installed) {
    if (!ResultSucceeded(package.installation_result)) return Outcome::kFailed;
    return package.removed ? Outcome::kRemovedAndInstalled : Outcome::kInstalled;
  }
  if (package.decision == kRecordDecisionCurrent) return Outcome::kLeftAlone;
  if (run.path_too_long) return Outcome::kPathTooLong;
  if (!run.Finished()) return Outcome::kDidNotFinish;
  return Outcome::kNoResult;
}

namespace {

std::string ResultText(UINT result) {
  std::string text = std::to_string(result);
  if (const char* words = RecordSuccessWords(result)) {
    text += std::string(" (") + words + ")";
  } else if (const char* name = RecordFailureName(result)) {
    text += std::string(" (ERROR_") + name + ")";
  }
  return text;
}

bool IsFailure(Outcome outcome) {
  return outcome == Outcome::kFailed || outcome == Outcome::kGaveUp ||
         outcome == Outcome::kDidNotFinish;
}

}  // namespace

std::string OutcomeText(const Run& run, const PackageRun& package) {
  switch (OutcomeOf(run, package)) {
    case Outcome::kInstalled:
      return "installed";
    case Outcome::kRemovedAndInstalled:
      return "removed and installed";
    case Outcome::kLeftAlone:
      return "left alone";
    case Outcome::kFailed:
      if (package.removed && !ResultSucceeded(package.removal_result)) {
        return "removal failed with result " + ResultText(package.removal_result);
      }
      return "installation failed with result " + ResultText(package.installation_result);
    case Outcome::kGaveUp:
      return std::string("waited out and gave up on the ") +
             (package.gave_up_removal ? "removal" : "installation");
    case Outcome::kDidNotFinish:
      return "did not finish";
    case Outcome::kPathTooLong:
      return "not installed: a package's path is too long";
    case Outcome::kNothingPlanned:
      break;
    case Outcome::kNoResult:
      return "no result";
  }
  return RunOutcomeText(run);
}

std::string RunOutcomeText(const Run& run) {
  if (!run.Finished()) return "did not finish";
  if (run.folder_unreadable) return "nothing planned: the folder cannot be read";
  return "nothing planned";
}

bool RunFailed(const Run& run) {
  if (!run.Finished() || run.end_counts_failures) return true;
  for (const PackageRun& package : run.packages) {
    if (IsFailure(OutcomeOf(run, package))) return true;
  }
  return false;
}

namespace {

// A line longer than this (the record's own size limit) does not parse; its
// bytes are not kept.
const size_t kLongestLine = kRunRecordLimit;

PackageRun& PackageOf(Run& run, const RecordText& name) {
  for (PackageRun& package : run.packages) {
    if (package.name == name) return package;
  }
  run.packages.emplace_back();
  run.packages.back().name = name;
  return run.packages.back();
}

}  // namespace

RecordFileReader::RecordFileReader(std::string file, RecordSink& sink)
    : file_(std::move(file)), sink_(sink) {}

void RecordFileReader::Feed(const char* bytes, size_t count) {
  const char* p = bytes;
  const char* end = bytes + count;
  while (p < end) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const size_t length = static_cast<size_t>((lf ? lf : end) - p);
    if (!overlong_ && pending_.size() + length > kLongestLine) {
      overlong_ = true;
      pending_.clear();
    }
    if (!lf) {
      if (!overlong_) pending_.append(p, length);
      return;
    }
    if (overlong_) {
      ++line_number_;
      sink_.LineNotParsed(file_, line_number_);
      overlong_ = false;
    } else if (pending_.empty()) {
      Line(std::string_view(p, length));
    } else {
      pending_.append(p, length);
      Line(pending_);
      pending_.clear();
    }
    p = lf + 1;
  }
}

void RecordFileReader::Finish() {
  if (overlong_ || !pending_.empty()) {
    ++line_number_;
    sink_.LineNotParsed(file_, line_number_);
    pending_.clear();
    overlong_ = false;
  }
  while (!open_.empty()) Close(0);
}

void RecordFileReader::Line(std::string_view bytes) {
  ++line_number_;
  if (bytes.empty() || bytes.back() != '\r' ||
      !ParseRecordLine(bytes.substr(0, bytes.size() - 1), line_)) {
    sink_.LineNotParsed(file_, line_number_);
    return;
  }
  Take(line_);
}

Run* RecordFileReader::OpenRun(DWORD pid) {
  for (Run& run : open_) {
    if (run.pid == pid) return &run;
  }
  return nullptr;
}

void RecordFileReader::Close(size_t index) {
  sink_.RunDone(open_[index]);
  open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
}

void RecordFileReader::Take(const RecordLine& line) {
  const RecordField* f = line.fields.data();
  if (line.kind == kRecordStart) {
    // A process id that starts again: the earlier run never reached its end.
    for (size_t i = 0; i < open_.size(); ++i) {
      if (open_[i].pid == line.pid) {
        Close(i);
        break;
      }
    }
    open_.emplace_back();
    Run& run = open_.back();
    run.file = file_;
    run.pid = line.pid;
    run.start_time = line.time;
    run.version = f[0].text;
    run.executable = f[1].text;
    run.arguments = f[2].text;
    run.user_lcid = static_cast<DWORD>(f[3].number);
    run.temp_folder = f[4].text;
    return;
  }
  Run* run = OpenRun(line.pid);
  if (!run) return;  // before the first start line of its process, or after its end
  if (line.kind == kRecordEnd || line.kind == kRecordEndWithFailures) {
    run->end_time = line.time;
    run->end_counts_failures = line.kind == kRecordEndWithFailures;
    Close(static_cast<size_t>(run - open_.data()));
    return;
  }
  if (line.kind == kRecordNoFolder) {
    run->folder_unreadable = true;
    return;
  }
  if (!line.has_package) return;
  PackageRun& package = PackageOf(*run, line.package);
  switch (line.kind) {
    case kRecordPlan:
      package.rule = f[0].text;
      break;
    case kRecordPathTooLong:
      run->path_too_long = true;
      break;
    case kRecordProductCode:
      package.product_code = f[0].text;
      break;
    case kRecordProductVersion:
      package.package_version = f[0].text;
      break;
    case kRecordInstalledProduct:
      package.installed_version = f[1].text;
      break;
    case kRecordDecisionNotOpened:
    case kRecordDecisionNotInstalled:
    case kRecordDecisionVersionDiffers:
    case kRecordDecisionCacheUnreadable:
    case kRecordDecisionNotRelated:
    case kRecordDecisionRemoveFirst:
    case kRecordDecisionCurrent:
      package.decision = line.kind;
      break;
    case kRecordLeft:
      // A removal given up leaves the installation to give up too; the
      // removal is named.
      if (!package.gave_up) package.gave_up_removal = Equals(f[0].text, "removal");
      package.gave_up = true;
      break;
    case kRecordRemoval:
      package.removed = true;
      package.removal_result = static_cast<UINT>(f[2].number);
      break;
    case kRecordInstallation:
      package.installed = true;
      package.installation_result = static_cast<UINT>(f[2].number);
      break;
    default:
      break;
  }
}

bool ReadRecordFile(const std::filesystem::path& path, const std::string& name, RecordSink& sink) {
#ifdef _WIN32
  FILE* file = _wfopen(path.c_str(), L"rb");
#else
  FILE* file = fopen(path.c_str(), "rb");
#endif
  if (!file) return false;
  RecordFileReader reader(name, sink);
  static char buffer[64 * 1024];
  size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, file)) > 0) reader.Feed(buffer, count);
  const bool read = !ferror(file);
  fclose(file);
  reader.Finish();
  return read;
}

// ---------------------------------------------------------------------------
// The summary.

void RecordSummary::RunDone(const Run& run) {
  ++runs_;
  if (!run.Finished()) {
    ++unfinished_runs_;
  } else if (RunFailed(run)) {
    ++failed_runs_;
  }
  if (run.packages.empty()) {
    const Outcome outcome = run.Finished() ? Outcome::kNothingPlanned : Outcome::kDidNotFinish;
    Count("-", outcome, RunOutcomeText(run), run.file, !run.Finished());
    return;
  }
  for (const PackageRun& package : run.packages) {
    const Outcome outcome = OutcomeOf(run, package);
    Count(RecordTextUtf8(package.name), outcome, OutcomeText(run, package), run.file,
          IsFailure(outcome));
  }
}

void RecordSummary::Count(const std::string& package, Outcome outcome, const std::string& text,
                          const std::string& file, bool failure) {
  Row& row = rows_[Key(package, static_cast<int>(outcome), text)];
  ++row.runs;
  // Files are read one after the other, so a file already named is the last.
  if (failure && (row.files.empty() || row.files.back() != file)) row.files.push_back(file);
}

namespace {

// The width of a UTF-8 text in characters.
size_t Width(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) width += (c & 0xC0) != 0x80;
  return width;
}

void Pad(std::string& out, const std::string& text, size_t width) {
  out += text;
  out.append(width - Width(text), ' ');
}

}  // namespace

std::string RecordSummary::Format() const {
  const std::string kPackage = "PACKAGE", kOutcome = "OUTCOME", kRuns = "RUNS";
  size_t package_width = Width(kPackage), outcome_width = Width(kOutcome),
         runs_width = kRuns.size();
  for (const auto& entry : rows_) {
    package_width = std::max(package_width, Width(std::get<0>(entry.first)));
    outcome_width = std::max(outcome_width, Width(std::get<2>(entry.first)));
    runs_width = std::max(runs_width, std::to_string(entry.second.runs).size());
  }
  std::string out;
  auto row = [&](const std::string& package, const std::string& outcome, const std::string& runs) {
    Pad(out, package, package_width + 2);
    Pad(out, outcome, outcome_width + 2);
    out.append(runs_width - runs.size(), ' ');
    out += runs;
    out += '\n';
  };
  row(kPackage, kOutcome, kRuns);
  for (const auto& entry : rows_) {
    row(std::get<0>(entry.first), std::get<2>(entry.first), std::to_string(entry.second.runs));
  }
  out += "\n" + std::to_string(runs_) + (runs_ == 1 ? " run: " : " runs: ") +
         std::to_string(runs_ - failed_runs_ - unfinished_runs_) +
         " ended with every call successful, " + std::to_string(failed_runs_) +
         " ended with a failed call, " + std::to_string(unfinished_runs_) + " did not finish\n";
  for (const auto& entry : rows_) {
    if (entry.second.files.empty()) continue;
    out += "\n" + std::get<0>(entry.first) + ", " + std::get<2>(entry.first) + ":\n";
    std::vector<std::string> files = entry.second.files;
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) out += "  " + file + "\n";
  }
  return out;
}

// ---------------------------------------------------------------------------
// CSV.

namespace {

const char kCsvHeader[] =
    "file,pid,start,end,version,executable,arguments,user_lcid,temporary_folder,package,rule,"
    "product_code,package_version,installed_version,decision,removal_result,installation_"
    "result,outcome\r\n";

// A field of RFC 4180: quoted when it holds a comma, a quote or a line break.
void CsvField(std::string& row, const std::string& value, bool last = false) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) {
    row += value;
  } else {
    row += '"';
    for (char c : value) {
      if (c == '"') row += '"';
      row += c;
    }
    row += '"';
  }
  row += last ? "\r\n" : ",";
}

void CsvField(std::string& row, const RecordText& value) { CsvField(row, RecordTextUtf8(value)); }

const char* DecisionWords(RecordKind decision) {
  switch (decision) {
    case kRecordDecisionNotOpened:
      return "install: package not opened";
    case kRecordDecisionNotInstalled:
      return "install: not installed";
    case kRecordDecisionVersionDiffers:
      return "install: version differs";
    case kRecordDecisionCacheUnreadable:
      return "install: cache unreadable";
    case kRecordDecisionNotRelated:
      return "install: not related";
    case kRecordDecisionRemoveFirst:
      return "remove and install: older key file";
    case kRecordDecisionCurrent:
      return "leave alone: current";
    default:
      return "";
  }
}

}  // namespace

CsvRecordWriter::CsvRecordWriter(std::function<void(const std::string&)> out)
    : out_(std::move(out)) {
  out_(kCsvHeader);
}

void CsvRecordWriter::RunDone(const Run& run) {
  if (RunFailed(run)) any_failed_ = true;
  row_.clear();
  const size_t rows = run.packages.empty() ? 1 : run.packages.size();
  for (size_t i = 0; i < rows; ++i) {
    CsvField(row_, run.file);
    CsvField(row_, std::to_string(run.pid));
    CsvField(row_, run.start_time);
    CsvField(row_, run.end_time);
    CsvField(row_, run.version);
    CsvField(row_, run.executable);
    CsvField(row_, run.arguments);
    CsvField(row_, std::to_string(run.user_lcid));
    CsvField(row_, run.temp_folder);
    if (run.packages.empty()) {
      for (int k = 0; k < 7; ++k) CsvField(row_, std::string());
      CsvField(row_, RunOutcomeText(run), true);
      continue;
    }
    const PackageRun& package = run.packages[i];
    CsvField(row_, package.name);
    CsvField(row_, package.rule);
    CsvField(row_, package.product_code);
    CsvField(row_, package.package_version);
    CsvField(row_, package.installed_version);
    CsvField(row_, DecisionWords(package.decision));
    CsvField(row_, package.removed ? std::to_string(package.removal_result) : std::string());
    CsvField(row_, package.installed ? std::to_string(package.installation_result) : std::string());
    CsvField(row_, OutcomeText(run, package), true);
  }
  out_(row_);
}

// ---------------------------------------------------------------------------
// The command.

namespace {

std::string PathText(const std::filesystem::path& path) {
#ifdef _WIN32
  return utf8::FromUtf16(path.c_str());
#else
  return path.string();
#endif
}

// Hands runs on and names each line that does not parse.
class CommandSink : public RecordSink {
 public:
  CommandSink(RecordSink& inner, const std::function<void(const std::string&)>& err)
      : inner_(inner), err_(err) {}
  void RunDone(const Run& run) override { inner_.RunDone(run); }
  void LineNotParsed(const std::string& file, unsigned long long line_number) override {
    ++lines_not_parsed_;
    err_(file + ":" + std::to_string(line_number) + ": does not parse as a line of the record\n");
  }
  unsigned long long lines_not_parsed_ = 0;

 private:
  RecordSink& inner_;
  const std::function<void(const std::string&)>& err_;
};

}  // namespace

namespace {

// Reads one named file, or every file below a named folder; false when one
// cannot be read (named in `err`).
bool ReadArgument(const std::filesystem::path& path, RecordSink& sink,
                  const std::function<void(const std::string&)>& err) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_directory(path, error)) {
    if (ReadRecordFile(path, PathText(path), sink)) return true;
    err("mivocheck: cannot read " + PathText(path) + "\n");
    return false;
  }
  // Entries as the folder lists them, one at a time: the names are not
  // gathered, so a folder of any size takes no more memory.
  bool read = true;
  fs::recursive_directory_iterator entries(path, error);
  for (; !error && entries != fs::recursive_directory_iterator(); entries.increment(error)) {
    std::error_code kind_error;
    if (entries->is_directory(kind_error)) continue;
    if (!ReadRecordFile(entries->path(), PathText(entries->path()), sink)) {
      err("mivocheck: cannot read " + PathText(entries->path()) + "\n");
      read = false;
    }
  }
  if (error) {
    err("mivocheck: cannot list " +
        PathText(entries == fs::recursive_directory_iterator() ? path : entries->path()) + "\n");
    read = false;
  }
  return read;
}

}  // namespace

int ReadRecords(const std::vector<RecordArgument>& arguments, const std::string& usage,
                const std::function<void(const std::string&)>& out,
                const std::function<void(const std::string&)>& err) {
  bool csv = false;
  size_t first = 0;
  for (; first < arguments.size(); ++first) {
    const std::filesystem::path::string_type argument = arguments[first];
    if (argument.size() < 2 || argument[0] != '-' || argument[1] != '-') break;
    if (argument.size() == 2) {  // "--": what follows are files
      ++first;
      break;
    }
    if (PathText(argument) != "--csv") {
      err("mivocheck: unknown option " + PathText(argument) + "\n" + usage);
      return 2;
    }
    csv = true;
  }
  if (first == arguments.size()) {
    err(usage);
    return 2;
  }

  RecordSummary summary;
  std::unique_ptr<CsvRecordWriter> writer;
  if (csv) writer.reset(new CsvRecordWriter(out));
  CommandSink sink(writer ? static_cast<RecordSink&>(*writer) : summary, err);
  bool unreadable = false;
  for (size_t i = first; i < arguments.size(); ++i) {
    if (!ReadArgument(arguments[i], sink, err)) unreadable = true;
  }
  if (!writer) out(summary.Format());
  if (sink.lines_not_parsed_ > 0) {
    err("mivocheck: " + std::to_string(sink.lines_not_parsed_) +
        (sink.lines_not_parsed_ == 1 ? " line does" : " lines do") + " not parse\n");
  }
  if (unreadable) return 2;
  return (writer ? writer->AnyRunFailed() : summary.AnyRunFailed()) ? 1 : 0;
}

std::string RecordTextEscaped(const RecordText& text) {
  std::string out;
  RecordText plain;  // the units since the last escape, written as their UTF-8
  for (size_t i = 0; i < text.size(); ++i) {
    const WCHAR unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      plain += unit;
      plain += text[++i];
    } else if (!Escaped(unit)) {
      plain += unit;
    } else {
      out += RecordTextUtf8(plain);
      plain.clear();
      char escape[16];
      snprintf(escape, sizeof escape, "<U+%04X>", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  return out + RecordTextUtf8(plain);
}

}  // namespace mivocheck
