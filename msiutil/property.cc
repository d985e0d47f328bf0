// Property and record reading over the installer's database interface.
#include "msiutil/property.h"

#include <stdlib.h>

#include "msiutil/installer_handle.h"

namespace TarnUtil {
namespace {

// 1024 characters, terminator included: a statement has at most 1023.
constexpr DWORD kStatementCapacity = 1024;
constexpr DWORD kPropertyCapacity = 1024;

// The characters before the first terminator, looking at no more than `limit`.
uint32_t TextLength(LPCWSTR text, uint32_t limit) {
  uint32_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

// Whether the formatted text has exactly capacity - 1 characters, found by
// formatting it into a scratch buffer of capacity + 1 characters: on the stack
// for the sizes this program uses, on the heap beyond them.
bool FitsExactly(uint32_t capacity, LPCWSTR format, va_list arguments) {
  WCHAR stack_scratch[kStatementCapacity + 1];
  const uint32_t scratch_capacity = capacity + 1;
  LPWSTR scratch = stack_scratch;
  if (scratch_capacity > kStatementCapacity + 1) {
    if (capacity >= 0x7FFFFFFFu) return false;  // no room to ask for one more
    scratch = static_cast<LPWSTR>(malloc(sizeof(WCHAR) * scratch_capacity));
    if (!scratch) return false;
  }
  const int written = wvnsprintfW(scratch, static_cast<int>(scratch_capacity), format, arguments);
  if (scratch != stack_scratch) free(scratch);
  return written >= 0 && static_cast<uint32_t>(written) == capacity - 1;
}

}  // namespace

uint32_t FormatToBufferV(LPWSTR destination, uint32_t size_bytes, LPCWSTR format,
                         va_list arguments) {
  // An odd last byte cannot hold a character and is not used.
  const uint32_t capacity = size_bytes / 2;
  if (capacity == 0) return kFormatInvalidArgument;
  va_list retry;
  va_copy(retry, arguments);
  // wvnsprintfW writes at most capacity - 1 characters and answers a negative
  // count when the text was cut or could not be formatted. Its output is not
  // guaranteed to be terminated, so the terminator is always stored here.
  const int written = wvnsprintfW(destination, static_cast<int>(capacity), format, arguments);
  bool fits = written >= 0 && static_cast<uint32_t>(written) < capacity;
  if (fits) {
    destination[written] = 0;
  } else {
    destination[capacity - 1] = 0;
    // Some implementations also answer negative for a text that fills the
    // buffer exactly. Only a second formatting with one more character of room
    // tells that case from a cut.
    if (written < 0 && TextLength(destination, capacity) == capacity - 1) {
      fits = FitsExactly(capacity, format, retry);
    }
  }
  va_end(retry);
  return fits ? kFormatOk : kFormatInsufficientBuffer;
}

uint32_t FormatToBuffer(LPWSTR destination, uint32_t size_bytes, LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const uint32_t result = FormatToBufferV(destination, size_bytes, format, arguments);
  va_end(arguments);
  return result;
}

bool ReadTableProperty(MSIHANDLE database, LPCWSTR table, LPCWSTR name, LPWSTR value,
                       DWORD capacity) {
  WCHAR statement[kStatementCapacity];
  // A statement longer than the buffer is submitted cut; the installer's answer
  // to it decides the result.
  FormatToBuffer(statement, sizeof(statement),
                 WTEXT("SELECT `Value` FROM `%s` WHERE `Property`='%s'"), table, name);

  // Declared in this order so that the record is closed before the view.
  InstallerHandle view;
  if (MsiDatabaseOpenViewW(database, statement, &view) != ERROR_SUCCESS) return false;
  if (MsiViewExecute(view, 0) != ERROR_SUCCESS) return false;
  InstallerHandle record;
  if (MsiViewFetch(view, &record) != ERROR_SUCCESS) return false;
  // The installer writes the size back; the caller's capacity stays as given.
  DWORD size = capacity;
  return MsiRecordGetStringW(record, 1, value, &size) == ERROR_SUCCESS;
}

bool ReadProperty(MSIHANDLE database, LPCWSTR name, CString& value) {
  LPWSTR block = value.ReserveBuffer(static_cast<int>(kPropertyCapacity));
  if (!block) return false;
  // An installer may fill the whole buffer without a terminator when the value
  // does not fit; the unit after it bounds the text (it lies beyond the current
  // text unless that text is longer, and then it is already terminated later).
  if (value.GetLength() < static_cast<int>(kPropertyCapacity)) block[kPropertyCapacity] = 0;
  const bool read = ReadTableProperty(database, WTEXT("Property"), name, block, kPropertyCapacity);
  // Whatever happened, the block holds a terminated text: the old value, the
  // new one, or the installer's cut text after ERROR_MORE_DATA.
  value.CommitBuffer(-1);
  return read;
}

bool ReadRecordString(MSIHANDLE record, UINT field, CString& value) {
  const UINT size = MsiRecordDataSize(record, field);
  if (size == 0) return true;
  // A string field cannot be this long; refuse rather than overflow the count.
  if (size >= 0x7FFFFFFFu) return false;
  LPWSTR block = value.ReserveBuffer(static_cast<int>(size) + 1);
  if (!block) return false;
  DWORD capacity = size + 1;
  const UINT result = MsiRecordGetStringW(record, field, block, &capacity);
  value.CommitBuffer(-1);
  return result == ERROR_SUCCESS;
}

}  // namespace TarnUtil
