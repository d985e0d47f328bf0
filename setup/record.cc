#include "setup/record.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "text/cstring.h"

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

  void AppendText(LPCWSTR text) {
    int units = text ? lstrlenW(text) : 0;
    if (units == 0) return;
    // Every UTF-16 unit takes at most three bytes of UTF-8.
    if (units > 0x7FFFFFFF / 3) {
      failed_ = true;
      return;
    }
    char* target = Reserve(units * 3);
    if (!target) return;
    int written = WideCharToMultiByte(CP_UTF8, 0, text, units, target, units * 3, nullptr, nullptr);
    if (written <= 0) {
      failed_ = true;
      return;
    }
    length_ += written;
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

// The results a run meets and their names, in the same order; every name
// begins with "ERROR_", which is left out here.
constexpr unsigned short kResultCodes[] = {
    0,    2,    3,    5,    6,    8,    87,   110,  120,  234,  259,  1601, 1602, 1603, 1605,
    1608, 1612, 1618, 1619, 1620, 1622, 1625, 1627, 1632, 1633, 1638, 1639, 1641, 1730, 3010};
constexpr char kResultNames[] =
    "SUCCESS\0FILE_NOT_FOUND\0PATH_NOT_FOUND\0ACCESS_DENIED\0INVALID_HANDLE\0"
    "NOT_ENOUGH_MEMORY\0INVALID_PARAMETER\0OPEN_FAILED\0CALL_NOT_IMPLEMENTED\0MORE_DATA\0"
    "NO_MORE_ITEMS\0INSTALL_SERVICE_FAILURE\0INSTALL_USEREXIT\0INSTALL_FAILURE\0"
    "UNKNOWN_PRODUCT\0UNKNOWN_PROPERTY\0INSTALL_SOURCE_ABSENT\0INSTALL_ALREADY_RUNNING\0"
    "INSTALL_PACKAGE_OPEN_FAILED\0INSTALL_PACKAGE_INVALID\0INSTALL_LOG_FAILURE\0"
    "INSTALL_PACKAGE_REJECTED\0FUNCTION_FAILED\0INSTALL_TEMP_UNWRITABLE\0"
    "INSTALL_PLATFORM_UNSUPPORTED\0PRODUCT_VERSION\0INVALID_COMMAND_LINE\0"
    "SUCCESS_REBOOT_INITIATED\0INSTALL_REMOTE_DISALLOWED\0SUCCESS_REBOOT_REQUIRED";

constexpr size_t CountNames(const char* names, size_t size) {
  size_t count = 0;
  for (size_t i = 0; i < size; ++i) count += names[i] == 0;
  return count;
}
static_assert(CountNames(kResultNames, sizeof kResultNames) ==
                  sizeof kResultCodes / sizeof kResultCodes[0],
              "one name for every result code");

// The name of a result without its "ERROR_", or null.
const char* ResultName(UINT code) {
  const char* name = kResultNames;
  for (unsigned short known : kResultCodes) {
    if (known == code) return name;
    name += strlen(name) + 1;
  }
  return nullptr;
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

// Keeps the newest part of an oversized record: the lines that begin within
// its last kRunRecordKept bytes. The byte before them is read too, so that a
// line that begins exactly there is kept whole.
void KeepNewest(HANDLE file) {
  const DWORD span = kRunRecordKept + 1;
  char* block = static_cast<char*>(malloc(span));
  if (!block) return;
  LONG high = -1;
  DWORD got = 0;
  if (SetFilePointer(file, -static_cast<LONG>(span), &high, FILE_END) != INVALID_SET_FILE_POINTER ||
      GetLastError() == ERROR_SUCCESS) {
    DWORD n = 0;
    while (got < span && ReadFile(file, block + got, span - got, &n, nullptr) && n > 0) got += n;
  }
  if (got == span) {
    DWORD start = 0;
    while (start < got && block[start] != '\n') ++start;
    if (start < got) ++start;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
        WriteAll(file, block + start, got - start)) {
      SetEndOfFile(file);
    }
  }
  free(block);
}

}  // namespace

RunRecord::~RunRecord() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

void RunRecord::Open(LPCWSTR folder) {
  if (file_ != INVALID_HANDLE_VALUE) return;
  CString path;
  // The folder enters as an argument: a "%" in it is copied, never read.
  if (!path.Format(WTEXT("%s\\MIVOSetup.log"), folder ? folder : WTEXT(""))) return;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD high = 0;
  DWORD size = GetFileSize(file, &high);
  if (size != INVALID_FILE_SIZE && (high != 0 || size > kRunRecordLimit)) KeepNewest(file);
  CloseHandle(file);
  // Append access alone: every write lands at the end of the file, also when
  // another run appends at the same time.
  file_ = CreateFileW(path, FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
}

void RunRecord::SetEntry(LPCWSTR name) { entry_ = name; }

void RunRecord::Write(const char* format, ...) {
  if (file_ == INVALID_HANDLE_VALUE) return;
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
    line.AppendText(entry_);
    line.Append(": ");
  }

  va_list arguments;
  va_start(arguments, format);
  for (const char* p = format; *p; ++p) {
    const char* run = p;
    while (*p && *p != '%') ++p;
    line.Append(run, static_cast<int>(p - run));
    if (!*p) break;
    switch (*++p) {
      case 's':
        line.AppendText(va_arg(arguments, LPCWSTR));
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
      case 'r': {
        UINT code = va_arg(arguments, UINT);
        line.AppendNumber(code);
        if (const char* name = ResultName(code)) {
          line.Append(" (ERROR_");
          line.Append(name);
          line.Append(")");
        }
        break;
      }
      case '%':
        line.Append("%");
        break;
      default:
        --p;  // a "%" at the end stands for itself
        line.Append("%");
        break;
    }
  }
  va_end(arguments);
  line.Append("\r\n");
  if (!line.Failed()) WriteAll(file_, line.Bytes(), line.Length());
}
