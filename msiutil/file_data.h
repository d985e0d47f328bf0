// Row records of a package's `File` table and the interfaces through which row
// records meet an installer database: IMsiReader fills a record from a fetched
// installer record by a column mask; IMsiWriter builds an SQL statement with
// its parameter record and executes it. ViewQuery runs one statement and hands
// its first row to a reader; FindKeyFileVersion finds the `Version` of a file by
// its `FileName`.
//
// Text values are put into statements without any escaping: only the
// program's fixed key file names (no apostrophe, no backtick) may be passed.
#ifndef MSIUTIL_FILE_DATA_H
#define MSIUTIL_FILE_DATA_H

#include <stdint.h>

#include "msiutil/installer_handle.h"
#include "platform/platform.h"
#include "text/cstring.h"

namespace TarnUtil {

// Fills a row record from one fetched record. Row records are never destroyed
// through this interface (its destructor is protected and not virtual).
class IMsiReader {
 public:
  // Reads the columns selected by `column_mask` from `record`; `database` is the
  // one the record came from. True when the row was read as the record defines.
  virtual bool Read(MSIHANDLE database, MSIHANDLE record, uint32_t column_mask) = 0;

 protected:
  IMsiReader() = default;
  IMsiReader(const IMsiReader&) = default;
  IMsiReader& operator=(const IMsiReader&) = default;
  ~IMsiReader() = default;
};

// Writes a row record into a database by one SQL statement.
class IMsiWriter {
 public:
  // Values of WriteMode; any other value builds no statement.
  enum : int32_t { Insert = 0, Delete = 2 };

  virtual ~IMsiWriter() = default;

  // The statement for the current WriteMode; the empty text for none.
  virtual CString BuildStatement() = 0;

  // Sets Statement to BuildStatement(), opens a view on `database` with it,
  // obtains the parameter record with BuildParameterRecord and executes the view
  // with it (0 when there is none). True when the view was executed. False on
  // the first failing step. Record and view are closed before returning, the
  // record first; nothing is committed. Statement keeps the text built here.
  virtual bool Execute(MSIHANDLE database);

  // Stores into `*record` the record that fills the statement's `?` markers, or
  // 0 for none; the caller owns a stored record. This version stores 0 and
  // returns true.
  virtual bool BuildParameterRecord(MSIHANDLE* record);

  int32_t WriteMode = Insert;
  CString Statement;  // the statement Execute built last; empty until then
};

// MSI_NULL_INTEGER as a signed value (the SDK defines it unsigned).
constexpr int32_t kNullInteger = static_cast<int32_t>(0x80000000u);

// Column mask bits of the `File` table, in its column order.
constexpr uint32_t kFileColumnFile = 0x01;
constexpr uint32_t kFileColumnComponent = 0x02;
constexpr uint32_t kFileColumnFileName = 0x04;
constexpr uint32_t kFileColumnFileSize = 0x08;
constexpr uint32_t kFileColumnVersion = 0x10;
constexpr uint32_t kFileColumnLanguage = 0x20;
constexpr uint32_t kFileColumnAttributes = 0x40;
constexpr uint32_t kFileColumnSequence = 0x80;
constexpr uint32_t kFileAllColumns = 0xFF;

// One row of the `File` table. Text members start empty; integer members and
// WriteMode start at 0 (Insert) until a read or the user sets them. A null
// integer column is held as kNullInteger (MSI_NULL_INTEGER).
class FileData : public IMsiReader, public IMsiWriter {
 public:
  FileData() = default;

  // Reads the columns whose bit is set in the low eight bits of `column_mask`,
  // in column order, from consecutive fields starting at 1 (mask 0xFF: fields 1
  // to 8; mask 0x14: FileName from field 1, Version from field 2). `database` is
  // not looked at.
  // - A text column is read with ReadRecordString only while the result is
  //   true; it then takes the next field and sets the result. While the result
  //   is false it is skipped, member untouched, taking no field. An empty or
  //   null text field leaves its member unchanged and counts as read.
  // - An integer column always takes the next field (MsiRecordGetInteger), is
  //   stored (MSI_NULL_INTEGER for null) and sets the result to whether it is
  //   not null, replacing an earlier integer's result. A text column that
  //   failed keeps the row's result false: the member it left behind was not
  //   read.
  // Mask 0 returns true and reads nothing.
  bool Read(MSIHANDLE database, MSIHANDLE record, uint32_t column_mask) override;

  // Insert: the insert statement with every column but FileName as a quoted
  // literal (integers in decimal between apostrophes) and FileName as its one
  // `?` marker. Delete: the delete statement by `File`. Otherwise empty.
  CString BuildStatement() override;

  // Insert: a new one-field record holding FileName, stored into `*record`;
  // true. If the field cannot be set the record is closed, 0 stored, false.
  // Any other mode: 0 stored, true. A failed MsiCreateRecord stores 0 and
  // returns false.
  bool BuildParameterRecord(MSIHANDLE* record) override;

  CString File;
  CString Component_;
  CString FileName;
  int32_t FileSize = 0;
  CString Version;
  CString Language;
  int32_t Attributes = 0;
  int32_t Sequence = 0;
};

// One statement's view over a database. The view is opened by FetchFirst and
// stays open until the query is destroyed.
class ViewQuery {
 public:
  // `statement` is borrowed: the creator keeps it alive for the query's
  // lifetime. `database` is borrowed. No view is opened here.
  ViewQuery(LPCWSTR statement, uint32_t column_mask, MSIHANDLE database)
      : statement_(statement), column_mask_(column_mask), database_(database) {}
  ViewQuery(const ViewQuery&) = delete;
  ViewQuery& operator=(const ViewQuery&) = delete;

  // Opens and executes the view and hands its first row to `reader` with the
  // query's column mask; the fetched record is closed before returning. The
  // reader's result; false without calling the installer when the statement is
  // null, and false when the view cannot be opened or executed or yields no row.
  bool FetchFirst(IMsiReader& reader);

 private:
  LPCWSTR statement_;
  uint32_t column_mask_;
  MSIHANDLE database_;
  InstallerHandle view_;
};

// Finds the first `File` row whose `FileName` is `key_file_name` and reads all
// its columns. True when found and read: `version` then holds its `Version`
// (the empty text when null). False, `version` untouched, when `database` is 0
// (no installer call is made), when the statement cannot be opened or executed,
// when no row matches, or when the row's read reports false (e.g. a null
// `Sequence`).
bool FindKeyFileVersion(MSIHANDLE database, const CString& key_file_name, CString& version);

}  // namespace TarnUtil

#endif  // MSIUTIL_FILE_DATA_H
