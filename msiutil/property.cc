// Property and record reading over the installer's database interface.
#include "msiutil/property.h"

#include "msiutil/installer_handle.h"

namespace TarnUtil {
namespace {

// 1024 characters, terminator included: a statement has at most 1023.
constexpr DWORD kStatementCapacity = 1024;
constexpr DWORD kPropertyCapacity = 1024;

}  // namespace

uint32_t FormatToBufferV(LPWSTR destination, uint32_t size_bytes, LPCWSTR format,
                         va_list arguments) {
  // An odd last byte cannot hold a character and is not used.
  const uint32_t capacity = size_bytes / 2;
  if (capacity == 0) return kFormatInvalidArgument;
  // wvnsprintfW writes at most capacity - 1 characters and answers a negative
  // count when the text did not fit or could not be formatted. Its output is
  // not guaranteed to be terminated, so the terminator is always stored here.
  const int written = wvnsprintfW(destination, static_cast<int>(capacity), format, arguments);
  if (written < 0 || static_cast<uint32_t>(written) >= capacity) {
    destination[capacity - 1] = 0;
    return kFormatInsufficientBuffer;
  }
  destination[written] = 0;
  return kFormatOk;
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
