// The File table row: reading by column mask, finding the key file's version,
// and writing rows by statement into a scratch database.
#include "msiutil/file_data.h"

#include <gtest/gtest.h>

#include <string>

#include "msiutil/installer_handle.h"
#include "tests/msiutil/test_packages.h"
#include "tests/support/test_support.h"

namespace {

using msiutil_test::OpenDatabase;
using TarnUtil::FileData;
using testing_support::Narrow;
using testing_support::WString;

// What a FileData holds, as text, for comparisons that name the column.
std::string Describe(const FileData& row) {
  return Narrow(row.File) + "|" + Narrow(row.Component_) + "|" + Narrow(row.FileName) + "|" +
         std::to_string(row.FileSize) + "|" + Narrow(row.Version) + "|" + Narrow(row.Language) +
         "|" + std::to_string(row.Attributes) + "|" + std::to_string(row.Sequence);
}

// A FileData whose members all hold recognisable values, to see which ones a
// read leaves alone.
FileData Preset() {
  FileData row;
  row.File = WTEXT("f0");
  row.Component_ = WTEXT("c0");
  row.FileName = WTEXT("n0");
  row.FileSize = -1;
  row.Version = WTEXT("v0");
  row.Language = WTEXT("l0");
  row.Attributes = -2;
  row.Sequence = -3;
  return row;
}

// Reads the first row of `statement` into `row` through a ViewQuery.
bool ReadFirst(MSIHANDLE database, LPCWSTR statement, uint32_t mask, FileData& row) {
  TarnUtil::ViewQuery query(statement, mask, database);
  return query.FetchFirst(row);
}

TEST(FileDataRead, ColumnMasksNumberTheFields) {
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  const std::string null_integer = std::to_string(TarnUtil::kNullInteger);
  struct Row {
    const WCHAR* statement;
    uint32_t mask;
    bool result;
    std::string after;  // Describe() of the preset row after the read
  } rows[] = {
      {WTEXT("SELECT * FROM `File` WHERE `File`='full'"), 0xFF, true,
       "full|Main|FULL.DLL|1024|1.2.3|1033|512|5"},
      {WTEXT("SELECT * FROM `File` WHERE `File`='full'"), 0x1FF, true,
       "full|Main|FULL.DLL|1024|1.2.3|1033|512|5"},  // only the low eight bits count
      {WTEXT("SELECT * FROM `File` WHERE `File`='full'"), 0, true, "f0|c0|n0|-1|v0|l0|-2|-3"},
      {WTEXT("SELECT `FileName`,`Version` FROM `File` WHERE `File`='full'"), 0x14, true,
       "f0|c0|FULL.DLL|-1|1.2.3|l0|-2|-3"},
      {WTEXT("SELECT `FileSize`,`Sequence` FROM `File` WHERE `File`='full'"), 0x88, true,
       "f0|c0|n0|1024|v0|l0|-2|5"},
      // Null Version and Language leave the members alone.
      {WTEXT("SELECT * FROM `File` WHERE `File`='nover'"), 0xFF, true,
       "nover|Main|NOVER.DLL|10|v0|l0|0|1"},
      // A null Attributes is held as kNullInteger; the later Sequence decides.
      {WTEXT("SELECT * FROM `File` WHERE `File`='noattr'"), 0xFF, true,
       "noattr|Main|NOATTR.DLL|20|1.0|l0|" + null_integer + "|2"},
      {WTEXT("SELECT * FROM `File` WHERE `File`='noseq'"), 0xFF, false,
       "noseq|Main|NOSEQ.DLL|30|2.0|l0|0|" + null_integer},
      // Reading File fails (a six-digit integer does not fit the four characters
      // its data size promises): Component_ and FileName are left out and take
      // no field, FileSize comes from field 2 and the later columns are read,
      // but the failed text column keeps the row's result false.
      {WTEXT("SELECT `FileSize`,`FileSize`,`Version`,`Language`,`Attributes`,`Sequence` "
             "FROM `File` WHERE `File`='big'"),
       0xFF, false, "1234|c0|n0|123456|4.0|l0|" + null_integer + "|6"},
      // With the result false, the text columns after a failure are skipped.
      {WTEXT("SELECT `FileSize`,`Version` FROM `File` WHERE `File`='big'"), 0x03, false,
       "1234|c0|n0|-1|v0|l0|-2|-3"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.statement) + " mask " + std::to_string(row.mask));
    FileData data = Preset();
    EXPECT_EQ(ReadFirst(tables.Get(), row.statement, row.mask, data), row.result);
    EXPECT_EQ(Describe(data), row.after);
  }
}

TEST(FileDataRead, SecondReadKeepsTextOfEmptyColumns) {
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  FileData data;
  ASSERT_TRUE(
      ReadFirst(tables.Get(), WTEXT("SELECT * FROM `File` WHERE `File`='full'"), 0xFF, data));
  ASSERT_TRUE(
      ReadFirst(tables.Get(), WTEXT("SELECT * FROM `File` WHERE `File`='noattr'"), 0xFF, data));
  EXPECT_EQ(Narrow(data.Language), "1033") << "Language is null in the second row";
  EXPECT_EQ(Narrow(data.Version), "1.0");
}

TEST(FindKeyFileVersion, Packages) {
  OpenDatabase real(msiutil_test::RealPackage(), msiutil_test::ReadOnly());
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  // Of the two TWICE.DLL rows, the view's first decides.
  FileData first;
  ASSERT_TRUE(ReadFirst(tables.Get(), WTEXT("SELECT * FROM `File` WHERE `FileName`='TWICE.DLL'"),
                        0xFF, first));
  struct Row {
    MSIHANDLE database;
    const WCHAR* key_file;
    bool result;
    std::string version;  // it held "old" before
  } rows[] = {
      {real.Get(), WTEXT("KELD.DLL"), true, "7.1.0.3"},
      {real.Get(), WTEXT("KELDINTL.DLL"), false, "old"},  // not in this package
      {real.Get(), WTEXT("keld.dll"), false, "old"},
      {tables.Get(), WTEXT("NONE.DLL"), false, "old"},
      {tables.Get(), WTEXT("FULL.DLL"), true, "1.2.3"},
      {tables.Get(), WTEXT("NOVER.DLL"), true, ""},
      {tables.Get(), WTEXT("NOSEQ.DLL"), false, "old"},  // Version read, Sequence null
      {tables.Get(), WTEXT("TWICE.DLL"), true, Narrow(first.Version)},
      {0, WTEXT("KELD.DLL"), false, "old"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.key_file));
    CString version(WTEXT("old"));
    EXPECT_EQ(TarnUtil::FindKeyFileVersion(row.database, CString(row.key_file), version),
              row.result);
    EXPECT_EQ(Narrow(version), row.version);
  }
}

TEST(FileDataWrite, StatementsByWriteMode) {
  FileData data;
  data.File = WTEXT("new");
  data.Component_ = WTEXT("Main");
  data.FileName = WTEXT("NEW.DLL");
  data.FileSize = 1024;
  data.Version = WTEXT("9.9");
  data.Language = WTEXT("1033");
  data.Attributes = 0;
  data.Sequence = -7;
  struct Row {
    int32_t mode;
    const char* statement;
  } rows[] = {
      {FileData::Insert,
       "INSERT INTO `File` "
       "(`FileName`,`File`,`Component_`,`FileSize`,`Version`,`Language`,`Attributes`,`Sequence`) "
       "VALUES (?, 'new','Main','1024','9.9','1033','0','-7')"},
      {FileData::Delete, "DELETE FROM `File` WHERE `File`='new'"},
      {1, ""},
      {3, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("mode " + std::to_string(row.mode));
    data.WriteMode = row.mode;
    EXPECT_EQ(Narrow(data.BuildStatement()), row.statement);
    MSIHANDLE record = 12345;
    EXPECT_TRUE(data.BuildParameterRecord(&record));
    if (row.mode == FileData::Insert) {
      ASSERT_NE(record, 0u);
      WCHAR name[16];
      DWORD size = 16;
      EXPECT_EQ(MsiRecordGetStringW(record, 1, name, &size), ERROR_SUCCESS);
      EXPECT_EQ(Narrow(name), "NEW.DLL");
      MsiCloseHandle(record);
    } else {
      EXPECT_EQ(record, 0u);
    }
  }
}

TEST(FileDataWrite, InsertAndDeleteOnScratchDatabase) {
  OpenDatabase scratch(msiutil_test::FreshScratchPackage(), msiutil_test::Transacted());
  FileData data;
  data.WriteMode = FileData::Insert;
  data.File = WTEXT("new");
  data.Component_ = WTEXT("Main");
  data.FileName = WTEXT("N\u00c9W.DLL");  // crosses the layer as UTF-16
  data.FileSize = 2048;
  data.Version = WTEXT("9.9");
  data.Language = WTEXT("1033");
  data.Attributes = 512;
  data.Sequence = 8;
  ASSERT_TRUE(data.Execute(scratch.Get()));
  EXPECT_EQ(Narrow(data.Statement), Narrow(data.BuildStatement()));

  FileData back;
  ASSERT_TRUE(
      ReadFirst(scratch.Get(), WTEXT("SELECT * FROM `File` WHERE `File`='new'"), 0xFF, back));
  EXPECT_EQ(Describe(back), Describe(data));
  CString version;
  EXPECT_TRUE(TarnUtil::FindKeyFileVersion(scratch.Get(), data.FileName, version));
  EXPECT_EQ(Narrow(version), "9.9");

  EXPECT_FALSE(data.Execute(scratch.Get())) << "the key `new` is taken";

  data.WriteMode = FileData::Delete;
  ASSERT_TRUE(data.Execute(scratch.Get()));
  EXPECT_FALSE(TarnUtil::FindKeyFileVersion(scratch.Get(), data.FileName, version));
  EXPECT_TRUE(TarnUtil::FindKeyFileVersion(scratch.Get(), CString(WTEXT("FULL.DLL")), version))
      << "other rows stay";

  // No statement for mode 1: the installer refuses to open the empty one.
  data.WriteMode = 1;
  EXPECT_FALSE(data.Execute(scratch.Get()));
  EXPECT_TRUE(data.Statement.IsEmpty());
}

}  // namespace
