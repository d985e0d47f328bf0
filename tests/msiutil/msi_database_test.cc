// The installer database operations the program relies on, as the Windows
// Installer provides them. Run on both builds: under Wine against msi.dll, on
// the host against the libmsi layer, so the two are held to one behaviour.
#include <gtest/gtest.h>

#include "msiutil/file_data.h"
#include "platform/platform.h"
#include "tests/msiutil/test_packages.h"
#include "tests/support/test_support.h"

namespace {

using msiutil_test::OpenDatabase;
using TarnUtil::kNullInteger;
using testing_support::Narrow;
using testing_support::WString;

// The first record of a statement, or 0; the view is closed before returning.
MSIHANDLE FetchOne(MSIHANDLE database, LPCWSTR statement) {
  MSIHANDLE view = 0, record = 0;
  if (MsiDatabaseOpenViewW(database, statement, &view) != ERROR_SUCCESS) return 0;
  if (MsiViewExecute(view, 0) == ERROR_SUCCESS) MsiViewFetch(view, &record);
  MsiCloseHandle(view);
  return record;
}

TEST(InstallerDatabase, OpeningAndQuerying) {
  MSIHANDLE database = 0;
  EXPECT_EQ(MsiOpenDatabaseW(WTEXT("no-such-package.msi"), msiutil_test::ReadOnly(), &database),
            ERROR_FUNCTION_FAILED);
  EXPECT_EQ(database, 0u);

  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  MSIHANDLE view = 0;
  EXPECT_EQ(MsiDatabaseOpenViewW(tables.Get(), WTEXT("SELECT `Value` FROM `Nowhere`"), &view),
            ERROR_BAD_QUERY_SYNTAX);
  EXPECT_EQ(MsiDatabaseOpenViewW(tables.Get(), WTEXT("SELECT FROM"), &view),
            ERROR_BAD_QUERY_SYNTAX);
  EXPECT_EQ(MsiDatabaseOpenViewW(0, WTEXT("SELECT * FROM `File`"), &view), ERROR_INVALID_HANDLE);

  ASSERT_EQ(
      MsiDatabaseOpenViewW(tables.Get(),
                           WTEXT("SELECT `File` FROM `File` WHERE `FileName`='TWICE.DLL'"), &view),
      ERROR_SUCCESS);
  MSIHANDLE record = 0;
  EXPECT_EQ(MsiViewFetch(view, &record), ERROR_FUNCTION_FAILED) << "fetch before execute";
  ASSERT_EQ(MsiViewExecute(view, 0), ERROR_SUCCESS);
  for (int row = 0; row < 2; ++row) {
    ASSERT_EQ(MsiViewFetch(view, &record), ERROR_SUCCESS) << "row " << row;
    EXPECT_EQ(MsiCloseHandle(record), ERROR_SUCCESS);
  }
  EXPECT_EQ(MsiViewFetch(view, &record), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(MsiCloseHandle(view), ERROR_SUCCESS);
  EXPECT_EQ(MsiCloseHandle(view), ERROR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(MsiCloseHandle(0), ERROR_SUCCESS);
}

// Field sizes, integers and texts of fetched records. The row "full" holds
// File full, FileSize 1024, Version 1.2.3, Attributes 512; "noattr" has null
// Language and Attributes; "big" a FileSize of six digits.
TEST(InstallerDatabase, FieldsOfFetchedRecords) {
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  struct Row {
    const WCHAR* file;
    UINT field;  // of SELECT `File`,`FileSize`,`Version`,`Language`,`Attributes`
    UINT data_size;
    int integer;
    const char* text;
  } rows[] = {
      {WTEXT("noattr"), 1, 6, kNullInteger, "noattr"},
      {WTEXT("full"), 2, sizeof(int), 1024, "1024"},
      {WTEXT("full"), 3, 5, kNullInteger, "1.2.3"},
      {WTEXT("full"), 5, sizeof(int), 512, "512"},
      {WTEXT("full"), 6, 0, kNullInteger, ""},  // beyond the record
      {WTEXT("noattr"), 4, 0, kNullInteger, ""},
      {WTEXT("noattr"), 5, 0, kNullInteger, ""},
      {WTEXT("big"), 2, sizeof(int), 123456, "123456"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.file) + " field " + std::to_string(row.field));
    WString statement = WTEXT(
        "SELECT `File`,`FileSize`,`Version`,`Language`,`Attributes` FROM `File` "
        "WHERE `File`='");
    statement += row.file;
    statement += WTEXT("'");
    MSIHANDLE record = FetchOne(tables.Get(), statement.c_str());
    ASSERT_NE(record, 0u);
    EXPECT_EQ(MsiRecordDataSize(record, row.field), row.data_size);
    EXPECT_EQ(MsiRecordGetInteger(record, row.field), row.integer);
    WCHAR buffer[16] = {'x', 0};
    DWORD size = 16;
    EXPECT_EQ(MsiRecordGetStringW(record, row.field, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(Narrow(buffer), row.text);
    EXPECT_EQ(size, std::string(row.text).size());
    MsiCloseHandle(record);
  }
}

// The capacity counts the terminator; the size written back counts none. A
// text that does not fit leaves at least its first capacity - 1 units.
TEST(InstallerDatabase, StringCapacities) {
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  MSIHANDLE record = FetchOne(
      tables.Get(), WTEXT("SELECT `Value` FROM `Property` WHERE `Property`='ProductCode'"));
  ASSERT_NE(record, 0u);
  const WString text = testing_support::Widen("{TABLES}");
  struct Row {
    DWORD capacity;
    UINT result;
  } rows[] = {{9, ERROR_SUCCESS},
              {20, ERROR_SUCCESS},
              {8, ERROR_MORE_DATA},
              {1, ERROR_MORE_DATA},
              {0, ERROR_MORE_DATA}};
  for (const Row& row : rows) {
    SCOPED_TRACE("capacity " + std::to_string(row.capacity));
    const WString untouched = testing_support::Widen("untouched!");
    WCHAR buffer[32];
    untouched.copy(buffer, untouched.size());
    buffer[untouched.size()] = 0;
    DWORD size = row.capacity;
    EXPECT_EQ(MsiRecordGetStringW(record, 1, buffer, &size), row.result);
    EXPECT_EQ(size, text.size());
    if (row.result == ERROR_SUCCESS) {
      EXPECT_EQ(WString(buffer), text);
    } else if (row.capacity > 0) {
      EXPECT_EQ(WString(buffer, row.capacity - 1), text.substr(0, row.capacity - 1));
#ifndef _WIN32
      EXPECT_EQ(buffer[row.capacity - 1], 0) << "the host cuts and terminates";
#endif
    } else {
      EXPECT_EQ(WString(buffer), untouched) << "capacity 0 writes nothing";
    }
  }
  DWORD size = 0;
  EXPECT_EQ(MsiRecordGetStringW(record, 1, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 8u) << "a null buffer asks for the length";
  MsiCloseHandle(record);
}

TEST(InstallerDatabase, CreatedRecords) {
  MSIHANDLE record = MsiCreateRecord(1);
  ASSERT_NE(record, 0u);
  EXPECT_EQ(MsiRecordDataSize(record, 1), 0u);
  EXPECT_EQ(MsiRecordSetStringW(record, 1, WTEXT("-42")), ERROR_SUCCESS);
  EXPECT_EQ(MsiRecordDataSize(record, 1), 3u);
  EXPECT_EQ(MsiRecordGetInteger(record, 1), -42) << "a string of digits reads as a number";
  EXPECT_EQ(MsiRecordSetStringW(record, 1, WTEXT("4x")), ERROR_SUCCESS);
  EXPECT_EQ(MsiRecordGetInteger(record, 1), kNullInteger);
  EXPECT_EQ(MsiRecordSetStringW(record, 1, WTEXT("")), ERROR_SUCCESS);
  EXPECT_EQ(MsiRecordDataSize(record, 1), 0u) << "the empty text makes the field null";
  EXPECT_EQ(MsiRecordSetStringW(record, 2, WTEXT("x")), 1616u) << "ERROR_INVALID_FIELD";
  EXPECT_EQ(MsiCloseHandle(record), ERROR_SUCCESS);
  EXPECT_EQ(MsiRecordSetStringW(record, 1, WTEXT("x")), ERROR_INVALID_HANDLE);
}

}  // namespace
