// The run-time binding of the Windows Installer: bound from the system folder
// only, never from the program's folder or the current folder, where a foreign
// msi.dll lies during this test.
#include "platform/windows/msi_binding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "tests/support/module_path.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;

using testing_support::FolderOf;
using testing_support::ModulePath;

TEST(MsiBindingTest, TheForeignLibraryLiesBesideTheProgramAndInTheCurrentFolder) {
  // Without it the tests below would prove nothing.
  std::wstring beside = FolderOf(ModulePath(nullptr)) + L"\\msi.dll";
  EXPECT_NE(GetFileAttributesW(beside.c_str()), INVALID_FILE_ATTRIBUTES) << Narrow(beside.c_str());
  EXPECT_NE(GetFileAttributesW(L"msi.dll"), INVALID_FILE_ATTRIBUTES);
}

TEST(MsiBindingTest, BindsEveryFunctionFromTheSystemFolder) {
  ASSERT_TRUE(BindWindowsInstaller());
  HMODULE msi = GetModuleHandleW(L"msi.dll");
  ASSERT_NE(msi, nullptr);
  WCHAR system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_GT(length, 0u);
  std::wstring folder = FolderOf(ModulePath(msi));
  EXPECT_EQ(CompareStringOrdinal(folder.c_str(), -1, system, -1, TRUE), CSTR_EQUAL)
      << Narrow(folder.c_str()) << " is not " << Narrow(system);
}

TEST(MsiBindingTest, ForwardersReachTheSystemInstaller) {
  MSIHANDLE database = 0;
  UINT result = MsiOpenDatabaseW(L"Z:\\no\\such\\package.msi", MSIDBOPEN_READONLY, &database);
  EXPECT_NE(result, 4242u);
  EXPECT_NE(result, static_cast<UINT>(ERROR_SUCCESS));

  ASSERT_EQ(MsiOpenDatabaseW(SETUP_TEST_PACKAGE, MSIDBOPEN_READONLY, &database),
            static_cast<UINT>(ERROR_SUCCESS));
  MSIHANDLE view = 0;
  ASSERT_EQ(
      MsiDatabaseOpenViewW(
          database, L"SELECT `Value` FROM `Property` WHERE `Property`='ProductVersion'", &view),
      static_cast<UINT>(ERROR_SUCCESS));
  ASSERT_EQ(MsiViewExecute(view, 0), static_cast<UINT>(ERROR_SUCCESS));
  MSIHANDLE record = 0;
  ASSERT_EQ(MsiViewFetch(view, &record), static_cast<UINT>(ERROR_SUCCESS));
  WCHAR value[16];
  DWORD capacity = 16;
  EXPECT_EQ(MsiRecordGetStringW(record, 1, value, &capacity), static_cast<UINT>(ERROR_SUCCESS));
  EXPECT_EQ(Narrow(value), "1.0.0");
  EXPECT_EQ(MsiRecordDataSize(record, 1), 5u);
  EXPECT_EQ(MsiCloseHandle(record), static_cast<UINT>(ERROR_SUCCESS));
  EXPECT_EQ(MsiCloseHandle(view), static_cast<UINT>(ERROR_SUCCESS));
  EXPECT_EQ(MsiCloseHandle(database), static_cast<UINT>(ERROR_SUCCESS));
}

}  // namespace
