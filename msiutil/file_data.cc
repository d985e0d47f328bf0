// The `File` table row record, its reading by column mask and its writing by
// statement.
#include "msiutil/file_data.h"

#include "msiutil/property.h"

namespace TarnUtil {
namespace {

const WCHAR kSelectByFileName[] = WTEXT("SELECT * FROM `File` WHERE `FileName`='%s'");
const WCHAR kInsertFile[] = WTEXT(
    "INSERT INTO `File` "
    "(`FileName`,`File`,`Component_`,`FileSize`,`Version`,`Language`,`Attributes`,`Sequence`) "
    "VALUES (?, '%s','%s','%d','%s','%s','%d','%d')");
const WCHAR kDeleteFile[] = WTEXT("DELETE FROM `File` WHERE `File`='%s'");

// Walks the selected columns in table order and hands out consecutive field
// numbers to the reads that are performed.
class ColumnReader {
 public:
  ColumnReader(MSIHANDLE record, uint32_t mask) : record_(record), mask_(mask) {}

  // A text column is read only while the row has read well so far; a skipped
  // read takes no field number.
  void Text(uint32_t bit, CString& member) {
    if ((mask_ & bit) == 0 || !result_) return;
    result_ = ReadRecordString(record_, field_, member);
    if (!result_) text_failed_ = true;
    ++field_;
  }

  // An integer column is always read, and its null-ness decides the result
  // from here on, except that it cannot undo a failed text read.
  void Integer(uint32_t bit, int32_t& member) {
    if ((mask_ & bit) == 0) return;
    member = MsiRecordGetInteger(record_, field_);
    ++field_;
    result_ = member != kNullInteger;
  }

  // A text column that could not be read fails the whole row, whatever the
  // integer columns after it hold: its member would otherwise be passed on as
  // if read (an unreadable key file version would count as empty).
  bool Result() const { return result_ && !text_failed_; }

 private:
  MSIHANDLE record_;
  uint32_t mask_;
  UINT field_ = 1;
  bool result_ = true;
  bool text_failed_ = false;
};

}  // namespace

bool IMsiWriter::Execute(MSIHANDLE database) {
  Statement = BuildStatement();
  // Declared in this order so that the record is closed before the view.
  InstallerHandle view;
  if (MsiDatabaseOpenViewW(database, Statement, &view) != ERROR_SUCCESS) return false;
  InstallerHandle record;
  if (!BuildParameterRecord(&record)) return false;
  return MsiViewExecute(view, record) == ERROR_SUCCESS;
}

bool IMsiWriter::BuildParameterRecord(MSIHANDLE* record) {
  *record = 0;
  return true;
}

bool FileData::Read(MSIHANDLE /*database*/, MSIHANDLE record, uint32_t column_mask) {
  ColumnReader columns(record, column_mask);
  columns.Text(kFileColumnFile, File);
  columns.Text(kFileColumnComponent, Component_);
  columns.Text(kFileColumnFileName, FileName);
  columns.Integer(kFileColumnFileSize, FileSize);
  columns.Text(kFileColumnVersion, Version);
  columns.Text(kFileColumnLanguage, Language);
  columns.Integer(kFileColumnAttributes, Attributes);
  columns.Integer(kFileColumnSequence, Sequence);
  return columns.Result();
}

CString FileData::BuildStatement() {
  CString statement;
  if (WriteMode == Insert) {
    // FileName travels in the parameter record, for the `?` marker.
    statement.Format(kInsertFile, File.GetString(), Component_.GetString(), FileSize,
                     Version.GetString(), Language.GetString(), Attributes, Sequence);
  } else if (WriteMode == Delete) {
    statement.Format(kDeleteFile, File.GetString());
  }
  return statement;
}

bool FileData::BuildParameterRecord(MSIHANDLE* record) {
  *record = 0;
  if (WriteMode != Insert) return true;
  InstallerHandle created(MsiCreateRecord(1));
  if (MsiRecordSetStringW(created, 1, FileName) != ERROR_SUCCESS) return false;
  *record = created.Detach();
  return true;
}

bool ViewQuery::FetchFirst(IMsiReader& reader) {
  if (statement_ == nullptr) return false;
  if (MsiDatabaseOpenViewW(database_, statement_, &view_) != ERROR_SUCCESS) return false;
  if (MsiViewExecute(view_, 0) != ERROR_SUCCESS) return false;
  InstallerHandle record;
  if (MsiViewFetch(view_, &record) != ERROR_SUCCESS) return false;
  return reader.Read(database_, record, column_mask_);
}

bool FindKeyFileVersion(MSIHANDLE database, const CString& key_file_name, CString& version) {
  if (database == 0) return false;
  CString statement;
  statement.Format(kSelectByFileName, key_file_name.GetString());
  // Destroyed in reverse order: the row, then the query (closing its view), then
  // the statement it borrows.
  ViewQuery query(statement, kFileAllColumns, database);
  FileData row;
  if (!query.FetchFirst(row)) return false;
  version = row.Version;
  return true;
}

}  // namespace TarnUtil
