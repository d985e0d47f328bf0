#include "setup/record.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "text/cstring.h"

const WCHAR kRunRecordPathFormat[] = WTEXT("%s\\MIVOSetup.log");
const WCHAR kRunRecordOlderFormat[] = WTEXT("%s.1");

namespace {

// One line of the record, made in UTF-8.
class Line {
 public:
  Line() {}
  ~Line() { free(bytes_); }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  const char* Bytes() const { return bytes_; }
  DWORD Length() const { return static_cast<DWORD>(length_); }
  bool Failed() const { return failed_; }

  void Append(const char* bytes, int count) {
    char* target = Reserve(count);
    if (target) {
      memcpy(target, bytes, static_cast<size_t>(count));
      length_ += count;
    }
  }
  void Append(const char* text) { Append(text, static_cast<int>(strlen(text))); }

  // `text` (null: nothing) as UTF-8, each unit that could break or blur a
  // line, or end a quoted text, written as "<U+XXXX>".
  void AppendEscaped(LPCWSTR text) {
    for (const WCHAR* p = text; p && *p;) {
      int units = 1;
      const unsigned code = utf8::NextCodePoint(*p, p[1], &units);
      char* target = Reserve(8);
      if (!target) return;
      // An unpaired surrogate is escaped, as the units that could break or
      // blur a line, or end a quoted text.
      const bool escape = RecordUnitEscaped(code) || (code >= 0xD800 && code <= 0xDFFF);
      length_ += escape ? utf8::EncodeEscape(code, target) : utf8::EncodeUtf8(code, target);
      p += units;
    }
  }

  // The decimal digits of `value`, with leading zeros up to `digits`.
  void AppendNumber(long long value, int digits = 1) {
    char text[24];
    char* end = text + sizeof text;
    char* p = end;
    unsigned long long magnitude =
        value < 0 ? 0ull - static_cast<unsigned long long>(value) : value;
    do {
      *--p = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude && p > text + 1);
    while (end - p < digits && p > text + 1) *--p = '0';
    if (value < 0) *--p = '-';
    Append(p, static_cast<int>(end - p));
  }

 private:
  char* Reserve(int count) {
    if (failed_) return nullptr;
    if (count > capacity_ - length_) {
      int capacity = length_ + count + 256;
      char* bytes = static_cast<char*>(realloc(bytes_, static_cast<size_t>(capacity)));
      if (!bytes) {
        failed_ = true;
        return nullptr;
      }
      bytes_ = bytes;
      capacity_ = capacity;
    }
    return bytes_ + length_;
  }

  char* bytes_ = nullptr;
  int length_ = 0;
  int capacity_ = 0;
  bool failed_ = false;
};

// The failures a run meets and their names, in the same order; every name
// begins with "ERROR_", which is left out here.
constexpr unsigned short kFailureCodes[] = {2,    3,    5,    6,    8,    87,   110,  120,  234,
                                            259,  1601, 1602, 1603, 1605, 1608, 1612, 1618, 1619,
                                            1620, 1622, 1625, 1627, 1632, 1633, 1638, 1639, 1730};
constexpr char kFailureNames[] =
    "FILE_NOT_FOUND\0PATH_NOT_FOUND\0ACCESS_DENIED\0INVALID_HANDLE\0"
    "NOT_ENOUGH_MEMORY\0INVALID_PARAMETER\0OPEN_FAILED\0CALL_NOT_IMPLEMENTED\0MORE_DATA\0"
    "NO_MORE_ITEMS\0INSTALL_SERVICE_FAILURE\0INSTALL_USEREXIT\0INSTALL_FAILURE\0"
    "UNKNOWN_PRODUCT\0UNKNOWN_PROPERTY\0INSTALL_SOURCE_ABSENT\0INSTALL_ALREADY_RUNNING\0"
    "INSTALL_PACKAGE_OPEN_FAILED\0INSTALL_PACKAGE_INVALID\0INSTALL_LOG_FAILURE\0"
    "INSTALL_PACKAGE_REJECTED\0FUNCTION_FAILED\0INSTALL_TEMP_UNWRITABLE\0"
    "INSTALL_PLATFORM_UNSUPPORTED\0PRODUCT_VERSION\0INVALID_COMMAND_LINE\0"
    "INSTALL_REMOTE_DISALLOWED";

constexpr size_t CountTexts(const char* texts, size_t size) {
  size_t count = 0;
  for (size_t i = 0; i < size; ++i) count += texts[i] == 0;
  return count;
}
static_assert(CountTexts(kFailureNames, sizeof kFailureNames) ==
                  sizeof kFailureCodes / sizeof kFailureCodes[0],
              "one name for every failure");
static_assert(CountTexts(kRecordTemplates, sizeof kRecordTemplates) == kRecordKindCount,
              "one template for every kind of line");

// The `index`th of the NUL-separated texts of `texts`.
const char* NthText(const char* texts, int index) {
  while (index-- > 0) texts += strlen(texts) + 1;
  return texts;
}

// Writes all of `count` bytes; false when a write fails.
bool WriteAll(HANDLE file, const char* bytes, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, nullptr) || written == 0) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

unsigned long long SizeOf(HANDLE file) {
  DWORD high = 0;
  DWORD low = GetFileSize(file, &high);
  return low == INVALID_FILE_SIZE ? 0 : static_cast<unsigned long long>(high) << 32 | low;
}

// Makes the file at `path` the older generation, `older`, when `count` more
// bytes would take it over kRunRecordLimit: renamed through the handle that
// measured it, so that when two runs find it full, the second renames the file
// that the first already moved (to the name it has now), never the new current
// one. When a run of an earlier release holds the record without sharing
// delete, the handle cannot be had and the record grows until the next line.
void StartGenerationIfFull(LPCWSTR path, LPCWSTR older, DWORD count) {
  HANDLE file = CreateFileW(path, DELETE, kRunRecordShare, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const unsigned long long size = SizeOf(file);
  // The new name is a full path: a name alone is one in the current folder.
  const DWORD name_size = static_cast<DWORD>(lstrlenW(older)) * sizeof(WCHAR);
  const DWORD info_size = offsetof(FILE_RENAME_INFO, FileName) + name_size + sizeof(WCHAR);
  FILE_RENAME_INFO* rename = static_cast<FILE_RENAME_INFO*>(calloc(1, info_size));
  if (rename && size > 0 && size + count > kRunRecordLimit) {
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = name_size;
    memcpy(rename->FileName, older, name_size);
    SetFileInformationByHandle(file, FileRenameInfo, rename, info_size);
  }
  free(rename);
  CloseHandle(file);
}

// Opens the record at `path` to append, creating it when it does not exist.
HANDLE OpenRecord(LPCWSTR path) {
  return CreateFileW(path, kRunRecordAccess, kRunRecordShare, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

const char* RecordTemplate(RecordKind kind) { return NthText(kRecordTemplates, kind); }

const char* RecordRuleText(PlanRule rule) {
  return NthText(
      "core package\0language from the command line\0language of the user's default locale\0"
      "fallback language",
      rule);
}

const char* RecordStateText(INSTALLSTATE state) {
  switch (state) {
    case INSTALLSTATE_DEFAULT:
      return "installed";
    case INSTALLSTATE_ADVERTISED:
      return "advertised";
    case INSTALLSTATE_ABSENT:
      return "absent";
    case INSTALLSTATE_INVALIDARG:
      return "not a valid product code";
    default:
      return "not installed";
  }
}

// The successes are the results that have success words: one list for both.
bool ResultSucceeded(UINT result) { return RecordSuccessWords(result) != nullptr; }

const char* RecordSuccessWords(UINT result) {
  switch (result) {
    case ERROR_SUCCESS:
      return "success";
    case ERROR_SUCCESS_REBOOT_REQUIRED:
      return "success, reboot needed";
    case ERROR_SUCCESS_REBOOT_INITIATED:
      return "success, reboot started";
    case ERROR_INSTALL_SUSPEND:
      return "suspended, finishes after a restart";
    default:
      return nullptr;
  }
}

const char* RecordFailureName(UINT result) {
  const char* name = kFailureNames;
  for (unsigned short known : kFailureCodes) {
    if (known == result) return name;
    name += strlen(name) + 1;
  }
  return nullptr;
}

void RunRecord::Open(LPCWSTR folder) {
  // Without a folder the lines go nowhere.
  if (!path_.IsEmpty() || !folder || !*folder) return;
  // The folder enters as an argument: a "%" in it is copied, never read.
  if (!path_.Format(kRunRecordPathFormat, folder) ||
      !older_.Format(kRunRecordOlderFormat, path_.GetString())) {
    path_ = nullptr;
  }
}

bool RecordUserName(CString& user) {
  user = WTEXT("%USERDOMAIN%\\%USERNAME%");
  if (!ExpandEnvironment(user)) return false;
  for (LPCWSTR p = user; *p; ++p) {
    if (*p == '%') return false;
  }
  return true;
}

void RunRecord::SetEntry(LPCWSTR name) { entry_ = name; }

void RunRecord::Write(int kind, ...) {
  if (path_.IsEmpty()) return;
  Line line;
  SYSTEMTIME now;
  GetSystemTime(&now);
  // "YYYY-MM-DD hh:mm:ssZ": each field and the character that follows it.
  const WORD fields[] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  const char after[] = "-- ::Z";
  for (int i = 0; i < 6; ++i) {
    line.AppendNumber(fields[i], i == 0 ? 4 : 2);
    line.Append(after + i, 1);
  }
  line.Append(" [");
  line.AppendNumber(GetCurrentProcessId());
  line.Append("] ");
  if (entry_) {
    line.AppendEscaped(entry_);
    line.Append(": ");
  }

  va_list arguments;
  va_start(arguments, kind);
  for (const char* p = RecordTemplate(static_cast<RecordKind>(kind)); *p; ++p) {
    const char* run = p;
    while (*p && *p != '%') ++p;
    line.Append(run, static_cast<int>(p - run));
    if (!*p) break;
    switch (*++p) {
      case 'q':
        line.Append("\"");
        line.AppendEscaped(va_arg(arguments, LPCWSTR));
        line.Append("\"");
        break;
      case 's':
        line.AppendEscaped(va_arg(arguments, LPCWSTR));
        break;
      case 'a':
        line.Append(va_arg(arguments, const char*));
        break;
      case 'd':
        line.AppendNumber(va_arg(arguments, int));
        break;
      case 'u':
        line.AppendNumber(va_arg(arguments, DWORD));
        break;
      default: {  // 'r'
        UINT result = va_arg(arguments, UINT);
        line.AppendNumber(result);
        const char* words = RecordSuccessWords(result);
        const char* name = RecordFailureName(result);
        if (words || name) {
          line.Append(words ? " (" : " (ERROR_");
          line.Append(words ? words : name);
          line.Append(")");
        }
        break;
      }
    }
  }
  va_end(arguments);
  line.Append("\r\n");
  if (line.Failed()) return;
  // Each line opens the record afresh: a run never holds a generation that
  // another run may replace, and the name always leads to the newest one.
  HANDLE file = OpenRecord(path_);
  if (file != INVALID_HANDLE_VALUE && SizeOf(file) + line.Length() > kRunRecordLimit) {
    CloseHandle(file);
    StartGenerationIfFull(path_, older_, line.Length());
    file = OpenRecord(path_);
  }
  if (file == INVALID_HANDLE_VALUE) return;
  WriteAll(file, line.Bytes(), line.Length());
  CloseHandle(file);
}
