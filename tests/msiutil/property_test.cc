// Property and record reading on real package databases, and formatting into
// fixed buffers.
#include "msiutil/property.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msiutil/installer_handle.h"
#include "tests/msiutil/test_packages.h"
#include "tests/support/test_support.h"

namespace {

using msiutil_test::OpenDatabase;
using testing_support::Narrow;
using testing_support::WString;

TEST(FormatToBuffer, SizesAndResults) {
  struct Row {
    uint32_t size_bytes;
    const WCHAR* argument;  // formatted with "%s"
    uint32_t result;
    const char* text;  // the buffer afterwards, up to its first terminator
  } rows[] = {
      {0, WTEXT("ab"), TarnUtil::kFormatInvalidArgument, "untouched"},
      {1, WTEXT("ab"), TarnUtil::kFormatInvalidArgument, "untouched"},
      {2, WTEXT("ab"), TarnUtil::kFormatInsufficientBuffer, ""},
      {2, WTEXT(""), TarnUtil::kFormatOk, ""},
      {6, WTEXT("ab"), TarnUtil::kFormatOk, "ab"},
      {7, WTEXT("ab"), TarnUtil::kFormatOk, "ab"},  // the odd byte is not used
      {6, WTEXT("abc"), TarnUtil::kFormatInsufficientBuffer, "ab"},
      {8, WTEXT("abc"), TarnUtil::kFormatOk, "abc"},
      {8, WTEXT("abcdefgh"), TarnUtil::kFormatInsufficientBuffer, "abc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("size " + std::to_string(row.size_bytes) + " text " + Narrow(row.argument));
    WCHAR buffer[16] = {'u', 'n', 't', 'o', 'u', 'c', 'h', 'e', 'd', 0, 'z', 'z', 'z', 'z', 0, 0};
    EXPECT_EQ(TarnUtil::FormatToBuffer(buffer, row.size_bytes, WTEXT("%s"), row.argument),
              row.result);
    EXPECT_EQ(Narrow(buffer), row.text);
    // Nothing is written at or beyond the capacity.
    EXPECT_EQ(buffer[10], u'z');
  }
  // Beyond the sizes the program uses: a text that fills 2047 characters
  // exactly, and one that is one character too long.
  std::vector<WCHAR> large(2048, u'z');
  for (size_t length : {size_t{2047}, size_t{2048}}) {
    SCOPED_TRACE("large text of " + std::to_string(length));
    const WString text(length, u'q');
    EXPECT_EQ(TarnUtil::FormatToBuffer(large.data(), 4096, WTEXT("%s"), text.c_str()),
              length == 2047 ? TarnUtil::kFormatOk : TarnUtil::kFormatInsufficientBuffer);
    EXPECT_EQ(WString(large.data()), text.substr(0, 2047));
  }

  WCHAR buffer[32];
  EXPECT_EQ(TarnUtil::FormatToBuffer(buffer, sizeof(buffer), WTEXT("`%s`='%s' %d"), WTEXT("File"),
                                     WTEXT("KELD.DLL"), -7),
            TarnUtil::kFormatOk);
  EXPECT_EQ(Narrow(buffer), "`File`='KELD.DLL' -7");
}

TEST(ReadProperty, ValuesOfRealPackages) {
  OpenDatabase real(msiutil_test::RealPackage(), msiutil_test::ReadOnly());
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  const std::string a1023(1023, 'a');
  struct Row {
    MSIHANDLE database;
    const WCHAR* name;
    bool result;
    std::string value;  // the string afterwards; it held "abc" before
  } rows[] = {
      {real.Get(), WTEXT("ProductCode"), true, "{6D1C6B0A-3E1F-4C61-9A53-5A0C2B1E7F01}"},
      {real.Get(), WTEXT("UpgradeCode"), true, "{0B4E8C55-7D2A-4F3E-8E61-2C9A3D5B6E02}"},
      {real.Get(), WTEXT("ProductVersion"), true, "2.5.1"},
      {real.Get(), WTEXT("Long1023"), true, a1023},
      {real.Get(), WTEXT("NoSuchProperty"), false, "abc"},
      {real.Get(), WTEXT("productcode"), false, "abc"},  // names match exactly
      {tables.Get(), WTEXT("EmptyValue"), true, ""},
      {tables.Get(), WTEXT("ProductCode"), true, "{TABLES}"},
      {0, WTEXT("ProductCode"), false, "abc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.name));
    CString value(WTEXT("abc"));
    EXPECT_EQ(TarnUtil::ReadProperty(row.database, row.name, value), row.result);
    EXPECT_EQ(Narrow(value), row.value);
    EXPECT_EQ(value.GetLength(), static_cast<int>(row.value.size()));
  }

  // A value of 1024 characters does not fit: false, and the string holds what
  // the installer stored in the 1024 characters it was given (cut and
  // terminated on the host; Wine's msi.dll fills all 1024 unterminated).
  CString value(WTEXT("abc"));
  EXPECT_FALSE(TarnUtil::ReadProperty(real.Get(), WTEXT("Long1024"), value));
  EXPECT_GE(value.GetLength(), 1023);
  EXPECT_LE(value.GetLength(), 1024);
  EXPECT_EQ(Narrow(value), std::string(static_cast<size_t>(value.GetLength()), 'b'));
}

TEST(ReadTableProperty, FirstRowAndStatementLimits) {
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  // Of two rows with one name, the one the view yields first is read.
  MSIHANDLE view = 0, record = 0;
  ASSERT_EQ(
      MsiDatabaseOpenViewW(tables.Get(),
                           WTEXT("SELECT `Value` FROM `Settings` WHERE `Property`='Twice'"), &view),
      ERROR_SUCCESS);
  ASSERT_EQ(MsiViewExecute(view, 0), ERROR_SUCCESS);
  ASSERT_EQ(MsiViewFetch(view, &record), ERROR_SUCCESS);
  WCHAR first[16];
  DWORD size = 16;
  ASSERT_EQ(MsiRecordGetStringW(record, 1, first, &size), ERROR_SUCCESS);
  MsiCloseHandle(record);
  MsiCloseHandle(view);
  WCHAR value[16] = {0};
  EXPECT_TRUE(
      TarnUtil::ReadTableProperty(tables.Get(), WTEXT("Settings"), WTEXT("Twice"), value, 16));
  EXPECT_EQ(Narrow(value), Narrow(first));

  // The value buffer's capacity counts the terminator.
  EXPECT_TRUE(
      TarnUtil::ReadTableProperty(tables.Get(), WTEXT("Property"), WTEXT("ProductCode"), value, 9));
  EXPECT_FALSE(
      TarnUtil::ReadTableProperty(tables.Get(), WTEXT("Property"), WTEXT("ProductCode"), value, 8));

  // A statement longer than 1023 characters is cut and still submitted: a table
  // name of 1000 characters leaves the property test cut off, which the
  // installer refuses.
  const WString long_table(1000, u'T');
  EXPECT_FALSE(TarnUtil::ReadTableProperty(tables.Get(), long_table.c_str(), WTEXT("ProductCode"),
                                           value, 16));
}

TEST(ReadRecordString, FieldsOfOneRow) {
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  TarnUtil::InstallerHandle view, record;
  ASSERT_EQ(
      MsiDatabaseOpenViewW(
          tables.Get(),
          WTEXT("SELECT `Version`,`Language`,`FileSize` FROM `File` WHERE `File`='full'"), &view),
      ERROR_SUCCESS);
  ASSERT_EQ(MsiViewExecute(view, 0), ERROR_SUCCESS);
  ASSERT_EQ(MsiViewFetch(view, &record), ERROR_SUCCESS);
  struct Row {
    UINT field;
    bool result;
    const char* value;  // it held "abc" before
  } rows[] = {
      {1, true, "1.2.3"},
      {2, true, "1033"},
      {3, true, "1024"},  // an integer field reads as its decimal text
      {4, true, "abc"},   // beyond the record: empty, so untouched
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("field " + std::to_string(row.field));
    CString value(WTEXT("abc"));
    EXPECT_EQ(TarnUtil::ReadRecordString(record, row.field, value), row.result);
    EXPECT_EQ(Narrow(value), row.value);
    EXPECT_EQ(value.GetLength(), static_cast<int>(std::string(row.value).size()));
  }
}

}  // namespace
