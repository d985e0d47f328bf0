// Every error branch of property reading and of the File table row, through
// faults injected into the host installer, and proof that each installer
// handle is closed exactly once and 0 never. Host build only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msiutil/file_data.h"
#include "msiutil/installer_handle.h"
#include "msiutil/property.h"
#include "platform/host/msi_calls.h"
#include "platform/host/msi_control.h"
#include "tests/msiutil/test_packages.h"
#include "tests/support/test_support.h"

namespace {

using msiutil_test::OpenDatabase;
using TarnUtil::FileData;
using TarnUtil::InstallerHandle;
using testing_support::Narrow;

std::vector<std::string> ClosedHandles() {
  std::vector<std::string> closed;
  for (const host::MsiCall& call : host::MsiCallsOf("MsiCloseHandle")) {
    closed.push_back(Narrow(call.args[0].c_str()));
  }
  return closed;
}

// Checks, at the end of a scope, that the handles open at its start are again
// the only ones open and that no bad close happened.
class HandleBalance {
 public:
  HandleBalance() : open_(host::OpenHandleCount()), bad_(host::BadCloseCount()) {}
  ~HandleBalance() {
    EXPECT_EQ(host::OpenHandleCount(), open_) << "a handle was left open";
    EXPECT_EQ(host::BadCloseCount(), bad_) << "0 or a closed handle was closed";
  }

 private:
  int open_, bad_;
};

class InstallerFaults : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetMsiCalls(); }
  void TearDown() override { host::ResetMsiCalls(); }
};

TEST_F(InstallerFaults, InstallerHandleClosesExactlyOnce) {
  HandleBalance balance;
  { InstallerHandle empty; }
  EXPECT_TRUE(ClosedHandles().empty()) << "0 is never closed";

  MSIHANDLE first = MsiCreateRecord(1), second = MsiCreateRecord(1);
  {
    InstallerHandle owner(first);
    owner = second;  // closes first
    EXPECT_EQ(ClosedHandles(), std::vector<std::string>{std::to_string(first)});
    EXPECT_EQ(owner.Get(), second);
    MSIHANDLE* slot = owner.Receive();  // closes second
    EXPECT_EQ(*slot, 0u);
    EXPECT_EQ(ClosedHandles().size(), 2u);
    *slot = MsiCreateRecord(1);
    EXPECT_EQ(owner.Get(), *slot);
    owner = 0;  // closes the received one
    EXPECT_EQ(ClosedHandles().size(), 3u);
    owner = 0;
    owner.Receive();
    EXPECT_EQ(ClosedHandles().size(), 3u) << "an empty owner closes nothing";
  }
  EXPECT_EQ(ClosedHandles().size(), 3u);

  MSIHANDLE kept;
  {
    InstallerHandle owner(MsiCreateRecord(1));
    kept = owner.Detach();
  }
  EXPECT_EQ(ClosedHandles().size(), 3u) << "a detached handle is not closed";
  MsiCloseHandle(kept);
}

// Each failing installer call ends ReadTableProperty with false; whatever was
// opened is closed, the record before the view.
TEST_F(InstallerFaults, ReadTablePropertyFailures) {
  OpenDatabase real(msiutil_test::RealPackage(), msiutil_test::ReadOnly());
  struct Row {
    const char* function;
    size_t closes;  // record and view closed, in this order
    const char* value;
  } rows[] = {
      {"MsiDatabaseOpenViewW", 0, "before"},
      {"MsiViewExecute", 1, "before"},
      {"MsiViewFetch", 1, "before"},
      {"MsiRecordGetStringW", 2, "before"},
      {"", 2, "2.5.1"},  // no fault
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.function);
    host::ResetMsiCalls();
    HandleBalance balance;
    if (*row.function) host::FailCall(row.function, 1, ERROR_FUNCTION_FAILED);
    CString value(WTEXT("before"));
    EXPECT_EQ(TarnUtil::ReadProperty(real.Get(), WTEXT("ProductVersion"), value), !*row.function);
    EXPECT_EQ(Narrow(value), row.value);
    std::vector<std::string> closed = ClosedHandles();
    ASSERT_EQ(closed.size(), row.closes);
    if (closed.size() == 2) {
      EXPECT_GT(std::stoul(closed[0]), std::stoul(closed[1]));
    }
  }

  host::ResetMsiCalls();
  const std::string statement = "SELECT `Value` FROM `Property` WHERE `Property`='ProductCode'";
  CString value;
  EXPECT_TRUE(TarnUtil::ReadProperty(real.Get(), WTEXT("ProductCode"), value));
  ASSERT_EQ(host::MsiCallsOf("MsiDatabaseOpenViewW").size(), 1u);
  EXPECT_EQ(Narrow(host::MsiCallsOf("MsiDatabaseOpenViewW")[0].args[1].c_str()), statement);
  EXPECT_EQ(Narrow(host::MsiCallsOf("MsiViewExecute")[0].args[1].c_str()), "0");
  EXPECT_EQ(Narrow(host::MsiCallsOf("MsiRecordGetStringW")[0].args[2].c_str()), "1024");
}

TEST_F(InstallerFaults, LongStatementIsCutTo1023Characters) {
  OpenDatabase real(msiutil_test::RealPackage(), msiutil_test::ReadOnly());
  const testing_support::WString table(1000, u'T');
  WCHAR value[8] = {'k', 'e', 'p', 't', 0};
  EXPECT_FALSE(TarnUtil::ReadTableProperty(real.Get(), table.c_str(), WTEXT("X"), value, 8));
  ASSERT_EQ(host::MsiCallsOf("MsiDatabaseOpenViewW").size(), 1u);
  const std::u16string submitted = host::MsiCallsOf("MsiDatabaseOpenViewW")[0].args[1];
  EXPECT_EQ(submitted.size(), 1023u);
  EXPECT_EQ(submitted, u"SELECT `Value` FROM `" + table + u"` ");
  EXPECT_EQ(Narrow(value), "kept");
}

TEST_F(InstallerFaults, ReadPropertyWithoutMemory) {
  OpenDatabase real(msiutil_test::RealPackage(), msiutil_test::ReadOnly());
  CString value(WTEXT("before"));
  host::ResetMsiCalls();
  SetStringAllocationHook([](size_t) { return false; });
  const bool read = TarnUtil::ReadProperty(real.Get(), WTEXT("ProductCode"), value);
  SetStringAllocationHook(nullptr);
  EXPECT_FALSE(read);
  EXPECT_EQ(Narrow(value), "before");
  EXPECT_TRUE(host::MsiCalls().empty()) << "nothing to read into, nothing asked";
}

TEST_F(InstallerFaults, FetchFirstFailuresAndViewLifetime) {
  OpenDatabase tables(msiutil_test::TablesPackage(), msiutil_test::ReadOnly());
  host::ResetMsiCalls();
  FileData unread;
  EXPECT_FALSE(TarnUtil::ViewQuery(nullptr, 0xFF, tables.Get()).FetchFirst(unread));
  EXPECT_TRUE(host::MsiCalls().empty()) << "no statement, no installer call";
  const char* functions[] = {"MsiDatabaseOpenViewW", "MsiViewExecute", "MsiViewFetch"};
  for (const char* function : functions) {
    SCOPED_TRACE(function);
    host::ResetMsiCalls();
    HandleBalance balance;
    host::FailCall(function, 1, ERROR_FUNCTION_FAILED);
    FileData data;
    TarnUtil::ViewQuery query(WTEXT("SELECT * FROM `File`"), 0xFF, tables.Get());
    EXPECT_FALSE(query.FetchFirst(data));
    EXPECT_TRUE(host::MsiCallsOf("MsiRecordGetStringW").empty());
  }

  host::ResetMsiCalls();
  HandleBalance balance;
  const int before = host::OpenHandleCount();
  {
    FileData data;
    TarnUtil::ViewQuery query(WTEXT("SELECT * FROM `File`"), 0xFF, tables.Get());
    EXPECT_TRUE(query.FetchFirst(data));
    EXPECT_EQ(host::OpenHandleCount(), before + 1) << "the view stays open, the record not";
    EXPECT_EQ(host::MsiCallsOf("MsiViewFetch").size(), 1u) << "only the first row is fetched";
  }
}

TEST_F(InstallerFaults, FindKeyFileVersionCalls) {
  OpenDatabase real(msiutil_test::RealPackage(), msiutil_test::ReadOnly());
  CString version(WTEXT("old"));
  host::ResetMsiCalls();
  EXPECT_FALSE(TarnUtil::FindKeyFileVersion(0, CString(WTEXT("KELD.DLL")), version));
  EXPECT_TRUE(host::MsiCalls().empty()) << "a database of 0 is not queried";

  HandleBalance balance;
  EXPECT_TRUE(TarnUtil::FindKeyFileVersion(real.Get(), CString(WTEXT("KELD.DLL")), version));
  EXPECT_EQ(Narrow(host::MsiCallsOf("MsiDatabaseOpenViewW")[0].args[1].c_str()),
            "SELECT * FROM `File` WHERE `FileName`='KELD.DLL'");
  std::vector<std::string> closed = ClosedHandles();
  ASSERT_EQ(closed.size(), 2u);
  EXPECT_GT(std::stoul(closed[0]), std::stoul(closed[1])) << "the record before the view";
}

TEST_F(InstallerFaults, ExecuteFailures) {
  OpenDatabase scratch(msiutil_test::FreshScratchPackage(), msiutil_test::Transacted());
  struct Row {
    const char* function;
    UINT code;
    bool record_created;
  } rows[] = {
      {"MsiDatabaseOpenViewW", ERROR_BAD_QUERY_SYNTAX, false},
      {"MsiCreateRecord", 0, false},  // no record could be made
      {"MsiRecordSetStringW", ERROR_FUNCTION_FAILED, true},
      {"MsiViewExecute", ERROR_FUNCTION_FAILED, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.function);
    host::ResetMsiCalls();
    HandleBalance balance;
    host::FailCall(row.function, 1, row.code);
    FileData data;
    data.WriteMode = FileData::Insert;
    data.File = WTEXT("new");
    data.FileName = WTEXT("NEW.DLL");
    EXPECT_FALSE(data.Execute(scratch.Get()));
    EXPECT_FALSE(data.Statement.IsEmpty()) << "the statement is kept";
    std::vector<host::MsiCall> created = host::MsiCallsOf("MsiCreateRecord");
    EXPECT_EQ(!created.empty() && created[0].result != 0, row.record_created);
  }

  host::ResetMsiCalls();
  HandleBalance balance;
  FileData data;
  data.WriteMode = FileData::Delete;
  data.File = WTEXT("full");
  EXPECT_TRUE(data.Execute(scratch.Get()));
  EXPECT_TRUE(host::MsiCallsOf("MsiCreateRecord").empty());
  EXPECT_EQ(Narrow(host::MsiCallsOf("MsiViewExecute")[0].args[1].c_str()), "0");
}

}  // namespace
