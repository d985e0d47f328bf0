// The database half of the Windows Installer on the host, over libmsi.
//
// Handles are 32-bit numbers from one table (0 is never a handle); text crosses
// this layer as UTF-16 and is converted to UTF-8 only for libmsi. Records are
// held here, not in libmsi, so that their fields keep the installer's types
// (null, integer, string). Every function records its call and honours injected
// faults (msi_calls.h).
//
// Behaviours matched with the Windows Installer (checked by the tests that also
// run against msi.dll under Wine):
// - MsiOpenDatabaseW: persist 0 read-only, 1 transacted, 2 direct, 3 and 4
//   create; any other value is the path of an output database. A null path or
//   handle pointer gives ERROR_INVALID_PARAMETER; a file that cannot be opened
//   as a database gives ERROR_FUNCTION_FAILED (as msi.dll does for a missing
//   file). Nothing is written back without a commit. Paths are Windows paths
//   mapped as Wine's drive Z: maps them (native_path.h).
// - MsiDatabaseOpenViewW: a statement that does not parse or names an unknown
//   table or column gives ERROR_BAD_QUERY_SYNTAX; a handle that is not a
//   database gives ERROR_INVALID_HANDLE.
// - MsiViewExecute: parameter record 0 means none; a failed execution
//   (duplicate key, wrong parameters) gives ERROR_FUNCTION_FAILED.
// - MsiViewFetch: ERROR_NO_MORE_ITEMS after the last row; ERROR_FUNCTION_FAILED
//   on a view that was not executed. Field 0 of a fetched record is null.
// - MsiRecordDataSize: a string field's length in UTF-16 units without the
//   terminator, 4 for an integer field, 0 for a null field, a field beyond the
//   record's count or a handle that is not a record.
// - MsiRecordGetStringW: the capacity counts the terminator. When the text
//   fits, it is copied terminated, the size becomes its length, ERROR_SUCCESS.
//   When it does not, the size becomes the full length (without terminator) and
//   the result is ERROR_MORE_DATA; the buffer gets the text cut to capacity - 1
//   units and terminated (a capacity of 0 writes nothing). Here msi.dll under
//   Wine differs: for a string field it copies `capacity` units without a
//   terminator. Callers must only rely on the first capacity - 1 units. A null buffer with a size
//   reports the length. An integer field reads as its decimal text; a null
//   field or one beyond the count as the empty text. A null size pointer with a
//   buffer gives ERROR_INVALID_PARAMETER.
// - MsiRecordGetInteger: MSI_NULL_INTEGER for a null field, a field beyond the
//   count, a bad handle, or a string field that is not a decimal integer.
// - MsiCreateRecord: fields 0..count, all null; 0 for a count above 65535.
// - MsiRecordSetStringW: a null or empty text makes the field null; a field
//   beyond the count gives ERROR_INVALID_FIELD.
// - MsiCloseHandle: closes a database, view or record; 0 gives ERROR_SUCCESS
//   and a handle that is not open ERROR_INVALID_HANDLE, both counted by
//   BadCloseCount. A view keeps its database alive until it is closed.
#include <glib.h>
#include <libmsi.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/msi_calls.h"
#include "platform/host/msi_control.h"
#include "platform/host/native_path.h"
#include "platform/platform.h"

namespace host {
namespace {

const UINT kErrorInvalidField = 1616;  // ERROR_INVALID_FIELD

struct Field {
  enum Kind { kNull, kInteger, kString };
  Kind kind = kNull;
  int integer = 0;
  std::u16string text;
};

// One open handle's object. Owns the libmsi references it holds.
struct HandleObject {
  enum Kind { kDatabase, kView, kRecord };
  explicit HandleObject(Kind object_kind) : kind(object_kind) {}
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;
  ~HandleObject() {
    if (query) g_object_unref(query);
    if (database) g_object_unref(database);
  }

  Kind kind;
  LibmsiDatabase* database = nullptr;  // kDatabase, and kView to keep it alive
  LibmsiQuery* query = nullptr;        // kView
  std::vector<bool> integer_columns;   // kView: per column from 1; empty until a fetch
  bool executed = false;               // kView
  std::vector<Field> fields;           // kRecord: fields 0..count
};

struct HandleTable {
  std::map<MSIHANDLE, std::unique_ptr<HandleObject>> objects;
  MSIHANDLE next = 1;
  int bad_closes = 0;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

MSIHANDLE AddHandle(std::unique_ptr<HandleObject> object) {
  HandleTable& table = Handles();
  MSIHANDLE handle = table.next++;
  if (table.next == 0) table.next = 1;
  table.objects[handle] = std::move(object);
  return handle;
}

HandleObject* Find(MSIHANDLE handle, HandleObject::Kind kind) {
  HandleTable& table = Handles();
  auto found = table.objects.find(handle);
  if (found == table.objects.end() || found->second->kind != kind) return nullptr;
  return found->second.get();
}

// The installer's reading of a string field as an integer: an optional minus
// sign and decimal digits that fit in 32 bits; anything else is null.
int ParseInteger(const std::u16string& text) {
  size_t position = 0;
  bool negative = false;
  if (position < text.size() && text[position] == u'-') {
    negative = true;
    ++position;
  }
  if (position == text.size()) return MSI_NULL_INTEGER;
  long long value = 0;
  for (; position < text.size(); ++position) {
    char16_t unit = text[position];
    if (unit < u'0' || unit > u'9') return MSI_NULL_INTEGER;
    value = value * 10 + (unit - u'0');
    if (value > 0x80000000LL) return MSI_NULL_INTEGER;
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL || value <= -0x80000000LL) return MSI_NULL_INTEGER;
  return static_cast<int>(value);
}

std::u16string FieldText(const Field& field) {
  switch (field.kind) {
    case Field::kInteger: {
      std::string digits = std::to_string(field.integer);
      return std::u16string(digits.begin(), digits.end());
    }
    case Field::kString:
      return field.text;
    case Field::kNull:
      break;
  }
  return std::u16string();
}

// The field `number` of a record handle, or null when there is no such field.
const Field* RecordField(const HandleObject* record, UINT number) {
  if (!record || number >= record->fields.size()) return nullptr;
  return &record->fields[number];
}

// Column types of a view ("i2", "I4" are integers; strings, localizable
// strings and streams are not).
std::vector<bool> IntegerColumns(LibmsiQuery* query) {
  std::vector<bool> integers(1, false);
  GError* error = nullptr;
  LibmsiRecord* types = libmsi_query_get_column_info(query, LIBMSI_COL_INFO_TYPES, &error);
  if (error) g_error_free(error);
  if (!types) return integers;
  guint count = libmsi_record_get_field_count(types);
  for (guint column = 1; column <= count; ++column) {
    gchar* type = libmsi_record_get_string(types, column);
    integers.push_back(type && (type[0] == 'i' || type[0] == 'I'));
    g_free(type);
  }
  g_object_unref(types);
  return integers;
}

// A libmsi record with the values of fields 1..count of a host record.
LibmsiRecord* ToLibmsiRecord(const HandleObject& record) {
  guint count = record.fields.empty() ? 0 : static_cast<guint>(record.fields.size() - 1);
  LibmsiRecord* converted = libmsi_record_new(count);
  for (guint number = 1; number <= count; ++number) {
    const Field& field = record.fields[number];
    if (field.kind == Field::kInteger) {
      libmsi_record_set_int(converted, number, field.integer);
    } else if (field.kind == Field::kString) {
      libmsi_record_set_string(converted, number, ToUtf8(field.text.c_str()).c_str());
    }
  }
  return converted;
}

std::unique_ptr<HandleObject> FromLibmsiRecord(LibmsiRecord* fetched,
                                               const std::vector<bool>& integer_columns) {
  auto record = std::make_unique<HandleObject>(HandleObject::kRecord);
  guint count = libmsi_record_get_field_count(fetched);
  record->fields.resize(count + 1);
  for (guint number = 1; number <= count; ++number) {
    if (libmsi_record_is_null(fetched, number)) continue;
    Field& field = record->fields[number];
    if (number < integer_columns.size() && integer_columns[number]) {
      field.kind = Field::kInteger;
      field.integer = libmsi_record_get_int(fetched, number);
    } else {
      gchar* text = libmsi_record_get_string(fetched, number);
      field.kind = Field::kString;
      field.text = FromUtf8(text);
      g_free(text);
    }
  }
  return record;
}

std::u16string PersistArg(LPCWSTR persist) {
  uintptr_t mode = reinterpret_cast<uintptr_t>(persist);
  return mode <= 4 ? ArgNumber(static_cast<long long>(mode)) : ArgText(persist);
}

}  // namespace

int OpenHandleCount() { return static_cast<int>(Handles().objects.size()); }

int BadCloseCount() { return Handles().bad_closes; }

}  // namespace host

using host::ArgNumber;
using host::ArgText;
using host::CallRecord;
using host::Field;
using host::HandleObject;
using host::kErrorInvalidField;

UINT MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database) {
  CallRecord call("MsiOpenDatabaseW", {ArgText(path), host::PersistArg(persist)});
  if (call.Failed()) return call.Return(call.FaultCode());
  if (!path || !database) return call.Return(ERROR_INVALID_PARAMETER);

  guint flags = 0;
  std::string output;
  switch (reinterpret_cast<uintptr_t>(persist)) {
    case 0:
      flags = LIBMSI_DB_FLAGS_READONLY;
      break;
    case 1:
      flags = LIBMSI_DB_FLAGS_TRANSACT;
      break;
    case 2:
      break;
    case 3:
      flags = LIBMSI_DB_FLAGS_CREATE | LIBMSI_DB_FLAGS_TRANSACT;
      break;
    case 4:
      flags = LIBMSI_DB_FLAGS_CREATE;
      break;
    default:
      flags = LIBMSI_DB_FLAGS_TRANSACT;
      output = host::NativePath(persist);
      break;
  }
  GError* error = nullptr;
  LibmsiDatabase* opened = libmsi_database_new(host::NativePath(path).c_str(), flags,
                                               output.empty() ? nullptr : output.c_str(), &error);
  if (error) g_error_free(error);
  if (!opened) return call.Return(ERROR_FUNCTION_FAILED);
  auto object = std::make_unique<HandleObject>(HandleObject::kDatabase);
  object->database = opened;
  *database = host::AddHandle(std::move(object));
  return call.Return(ERROR_SUCCESS);
}

UINT MsiDatabaseOpenViewW(MSIHANDLE database, LPCWSTR query, MSIHANDLE* view) {
  CallRecord call("MsiDatabaseOpenViewW", {ArgNumber(database), ArgText(query)});
  if (call.Failed()) return call.Return(call.FaultCode());
  HandleObject* owner = host::Find(database, HandleObject::kDatabase);
  if (!owner) return call.Return(ERROR_INVALID_HANDLE);
  if (!query || !view) return call.Return(ERROR_INVALID_PARAMETER);

  GError* error = nullptr;
  LibmsiQuery* opened = libmsi_query_new(owner->database, host::ToUtf8(query).c_str(), &error);
  if (error) g_error_free(error);
  if (!opened) return call.Return(ERROR_BAD_QUERY_SYNTAX);
  auto object = std::make_unique<HandleObject>(HandleObject::kView);
  object->query = opened;
  object->database = static_cast<LibmsiDatabase*>(g_object_ref(owner->database));
  *view = host::AddHandle(std::move(object));
  return call.Return(ERROR_SUCCESS);
}

UINT MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters) {
  CallRecord call("MsiViewExecute", {ArgNumber(view), ArgNumber(parameters)});
  if (call.Failed()) return call.Return(call.FaultCode());
  HandleObject* object = host::Find(view, HandleObject::kView);
  if (!object) return call.Return(ERROR_INVALID_HANDLE);
  LibmsiRecord* converted = nullptr;
  if (parameters != 0) {
    const HandleObject* record = host::Find(parameters, HandleObject::kRecord);
    if (!record) return call.Return(ERROR_INVALID_HANDLE);
    converted = host::ToLibmsiRecord(*record);
  }
  GError* error = nullptr;
  gboolean executed = libmsi_query_execute(object->query, converted, &error);
  if (error) g_error_free(error);
  if (converted) g_object_unref(converted);
  if (!executed) return call.Return(ERROR_FUNCTION_FAILED);
  object->executed = true;
  return call.Return(ERROR_SUCCESS);
}

UINT MsiViewFetch(MSIHANDLE view, MSIHANDLE* record) {
  CallRecord call("MsiViewFetch", {ArgNumber(view)});
  if (call.Failed()) return call.Return(call.FaultCode());
  HandleObject* object = host::Find(view, HandleObject::kView);
  if (!object) return call.Return(ERROR_INVALID_HANDLE);
  if (!record) return call.Return(ERROR_INVALID_PARAMETER);
  if (!object->executed) return call.Return(ERROR_FUNCTION_FAILED);
  GError* error = nullptr;
  LibmsiRecord* fetched = libmsi_query_fetch(object->query, &error);
  const bool failed = error != nullptr;
  if (error) g_error_free(error);
  if (!fetched) return call.Return(failed ? ERROR_FUNCTION_FAILED : ERROR_NO_MORE_ITEMS);
  // Asked only once a row exists: libmsi cannot describe the columns of a
  // statement that selects nothing (INSERT, DELETE).
  if (object->integer_columns.empty())
    object->integer_columns = host::IntegerColumns(object->query);
  auto converted = host::FromLibmsiRecord(fetched, object->integer_columns);
  g_object_unref(fetched);
  *record = host::AddHandle(std::move(converted));
  return call.Return(ERROR_SUCCESS);
}

UINT MsiRecordDataSize(MSIHANDLE record, UINT field) {
  CallRecord call("MsiRecordDataSize", {ArgNumber(record), ArgNumber(field)});
  if (call.Failed()) return call.Return(call.FaultCode());
  const Field* value = host::RecordField(host::Find(record, HandleObject::kRecord), field);
  if (!value) return call.Return(0);
  switch (value->kind) {
    case Field::kInteger:
      return call.Return(sizeof(int));
    case Field::kString:
      return call.Return(static_cast<UINT>(value->text.size()));
    case Field::kNull:
      break;
  }
  return call.Return(0);
}

UINT MsiRecordGetStringW(MSIHANDLE record, UINT field, LPWSTR buffer, DWORD* capacity) {
  CallRecord call("MsiRecordGetStringW",
                  {ArgNumber(record), ArgNumber(field),
                   ArgNumber(capacity ? static_cast<long long>(*capacity) : -1)});
  if (call.Failed()) return call.Return(call.FaultCode());
  const HandleObject* object = host::Find(record, HandleObject::kRecord);
  if (!object) return call.Return(ERROR_INVALID_HANDLE);
  if (buffer && !capacity) return call.Return(ERROR_INVALID_PARAMETER);
  const Field* value = host::RecordField(object, field);
  const std::u16string text = value ? host::FieldText(*value) : std::u16string();
  const DWORD length = static_cast<DWORD>(text.size());
  UINT result = ERROR_SUCCESS;
  if (buffer) {
    const DWORD available = *capacity;
    if (available <= length) result = ERROR_MORE_DATA;
    if (available > 0) {
      const DWORD copied = length < available ? length : available - 1;
      text.copy(buffer, copied);
      buffer[copied] = 0;
    }
  }
  if (capacity) *capacity = length;
  return call.Return(result);
}

int MsiRecordGetInteger(MSIHANDLE record, UINT field) {
  CallRecord call("MsiRecordGetInteger", {ArgNumber(record), ArgNumber(field)});
  if (call.Failed()) return static_cast<int>(call.Return(call.FaultCode()));
  const Field* value = host::RecordField(host::Find(record, HandleObject::kRecord), field);
  int result = MSI_NULL_INTEGER;
  if (value && value->kind == Field::kInteger) result = value->integer;
  if (value && value->kind == Field::kString) result = host::ParseInteger(value->text);
  return static_cast<int>(call.Return(static_cast<UINT>(result)));
}

MSIHANDLE MsiCreateRecord(UINT fields) {
  CallRecord call("MsiCreateRecord", {ArgNumber(fields)});
  if (call.Failed()) return call.Return(call.FaultCode());
  if (fields > 65535) return call.Return(0);
  auto record = std::make_unique<HandleObject>(HandleObject::kRecord);
  record->fields.resize(static_cast<size_t>(fields) + 1);
  return call.Return(host::AddHandle(std::move(record)));
}

UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, LPCWSTR value) {
  CallRecord call("MsiRecordSetStringW", {ArgNumber(record), ArgNumber(field), ArgText(value)});
  if (call.Failed()) return call.Return(call.FaultCode());
  HandleObject* object = host::Find(record, HandleObject::kRecord);
  if (!object) return call.Return(ERROR_INVALID_HANDLE);
  if (field >= object->fields.size()) return call.Return(kErrorInvalidField);
  Field& target = object->fields[field];
  if (value && value[0]) {
    target.kind = Field::kString;
    target.text = value;
  } else {
    target = Field();
  }
  return call.Return(ERROR_SUCCESS);
}

UINT MsiCloseHandle(MSIHANDLE handle) {
  CallRecord call("MsiCloseHandle", {ArgNumber(handle)});
  if (call.Failed()) return call.Return(call.FaultCode());
  host::HandleTable& table = host::Handles();
  if (handle == 0) {
    ++table.bad_closes;
    return call.Return(ERROR_SUCCESS);
  }
  auto found = table.objects.find(handle);
  if (found == table.objects.end()) {
    ++table.bad_closes;
    return call.Return(ERROR_INVALID_HANDLE);
  }
  table.objects.erase(found);
  return call.Return(ERROR_SUCCESS);
}
