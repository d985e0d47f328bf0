// Reading single values out of an open Windows Installer database, and
// formatting into fixed buffers.
//
// None of these functions shows or logs anything; a false result carries no
// reason. The database handle always belongs to the caller and is never closed
// here; each call opens and closes its own view and record.
//
// Names are put into SQL statements without any escaping: callers must pass
// only the program's own fixed table and property names, which contain no
// apostrophe and no backtick ("Property"; "ProductCode", "UpgradeCode",
// "ProductVersion").
#ifndef MSIUTIL_PROPERTY_H
#define MSIUTIL_PROPERTY_H

#include <stdarg.h>
#include <stdint.h>

#include "platform/platform.h"
#include "text/cstring.h"

namespace TarnUtil {

// Result codes of FormatToBuffer.
constexpr uint32_t kFormatOk = 0;
constexpr uint32_t kFormatInvalidArgument = 0x80070057u;     // E_INVALIDARG
constexpr uint32_t kFormatInsufficientBuffer = 0x8007007Au;  // the text was cut

// Formats `format` (wvnsprintfW conventions: %s a terminated wide text, %d a
// signed 32-bit integer) into `destination`, whose size is `size_bytes` BYTES;
// its capacity in characters, terminator included, is size_bytes / 2.
// - capacity 0 (size 0 or 1): returns kFormatInvalidArgument, writes nothing.
// - the text fits in capacity - 1 characters: it is written terminated, 0.
// - otherwise, or when the formatting itself fails: the first capacity - 1
//   characters and a terminator at capacity - 1; kFormatInsufficientBuffer.
uint32_t FormatToBuffer(LPWSTR destination, uint32_t size_bytes, LPCWSTR format, ...);
uint32_t FormatToBufferV(LPWSTR destination, uint32_t size_bytes, LPCWSTR format,
                         va_list arguments);

// Reads the `Value` column of the first row whose `Property` is `name` in the
// table `table` into `value`, whose capacity is `capacity` characters,
// terminator included. The statement is built in a 1024-character stack buffer
// (a longer one is submitted cut to 1023 characters).
// True when the value was read whole. False when the view cannot be opened or
// executed, no row matches, or the value does not fit (the installer's
// ERROR_MORE_DATA: `value` then holds whatever the installer left in it). The
// buffer is written only by the installer's MsiRecordGetStringW.
bool ReadTableProperty(MSIHANDLE database, LPCWSTR table, LPCWSTR name, LPWSTR value,
                       DWORD capacity);

// ReadTableProperty on the `Property` table into a CString, with a capacity of
// 1024 characters (at most 1023 characters of value).
// True: `value` holds the value (the empty text for an empty value).
// False before anything was read (no such row, database or table that cannot be
// queried): `value` keeps its text. False because the value has 1024
// characters or more: `value` holds the installer's partial text up to its
// first terminator.
bool ReadProperty(MSIHANDLE database, LPCWSTR name, CString& value);

// Reads string field `field` (counting from 1) of a fetched record into `value`.
// An empty or null field returns true and leaves `value` untouched. Otherwise
// the text is read straight into `value`'s block; true when the installer read
// it, false otherwise (`value` then holds its block's text up to the first
// terminator). False, `value` unchanged, when no block can be allocated.
bool ReadRecordString(MSIHANDLE record, UINT field, CString& value);

}  // namespace TarnUtil

#endif  // MSIUTIL_PROPERTY_H
