// The setup run on the host, against the installer-service fake: the order of
// the installer calls, the decisions carried out, failures that do not stop the
// run, the executable's folder and the log paths.
#include "setup/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/msi_calls.h"
#include "platform/host/msi_control.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::Widen;

const char kCoreCode[] = "{5E7A0C11-0001-4000-8000-0000000000C1}";
const char kCoreUpgrade[] = "{5E7A0C11-0001-4000-8000-0000000000A1}";
const char kRemoveProperties[] = "REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1";

// The installer calls of the driver and the package openings of the
// inspection, as "function arg1|arg2|...", in call order.
std::vector<std::string> DriverCalls(bool with_openings = false) {
  std::vector<std::string> out;
  for (const host::MsiCall& call : host::MsiCalls()) {
    bool driver = call.function == "MsiSetInternalUI" || call.function == "MsiEnableLogW" ||
                  call.function == "MsiConfigureProductExW" ||
                  call.function == "MsiInstallProductW";
    if (!driver && !(with_openings && call.function == "MsiOpenDatabaseW")) continue;
    std::string line = call.function;
    for (size_t i = 0; i < call.args.size(); ++i) {
      line += (i ? "|" : " ") + Narrow(call.args[i].c_str());
    }
    out.push_back(line);
  }
  return out;
}

int CountOf(const std::string& function) {
  return static_cast<int>(host::MsiCallsOf(function).size());
}

class RunSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetProcessState();
    host::ResetMsi();
    // The run joins the folder and the package names with a backslash. The
    // packages are linked into the folder "run" and also under names that hold
    // the backslash, so that the path names them whether the host layer maps
    // backslashes to slashes or takes the path as it stands.
    scratch_ = std::filesystem::path(SETUP_SCRATCH_DIR) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(scratch_);
    std::filesystem::create_directories(scratch_ / "cache");
    std::filesystem::create_directories(scratch_ / "run");
    for (const char* name : {"mivo.msi", "mivo_1031.msi", "mivo_1033.msi", "mivo_1036.msi"}) {
      std::string package = std::string(SETUP_PACKAGE_DIR) + "/run/" + name;
      std::filesystem::create_symlink(package, scratch_ / "run" / name);
      std::filesystem::create_symlink(package, scratch_ / (std::string("run\\") + name));
    }
    folder_ = scratch_.string() + "/run\\";
    host::SetModuleFileName(Widen(folder_ + "mivoboot.exe"));
    host::SetUserDefaultLCID(1031);
    host::SetEnvironmentVariable(u"TMP", u"C:\\Temp");
    host::SetPackageCacheFolder((scratch_ / "cache").string());
  }
  void TearDown() override {
    host::ResetMsi();
    host::ResetProcessState();
  }

  std::string PackagePath(const char* name) const { return folder_ + name; }
  std::string Log(const char* name) const {
    return std::string("MsiEnableLogW 4096|C:\\Temp\\") + name + "|0";
  }
  std::string Install(const char* name) const {
    return "MsiInstallProductW " + PackagePath(name) + "|";
  }

  std::filesystem::path scratch_;
  std::string folder_;
};

const char kSilent[] = "MsiSetInternalUI 258|(null)";

TEST_F(RunSetupTest, FreshRunLogsAndInstallsEveryEntryInPlanOrder) {
  RunSetup(u"1036");
  EXPECT_EQ(DriverCalls(),
            (std::vector<std::string>{kSilent, Log("MIVOInstall.log"), Install("mivo.msi"),
                                      Log("MIVO_1036Install.log"), Install("mivo_1036.msi"),
                                      Log("MIVO_1031Install.log"), Install("mivo_1031.msi")}));
  EXPECT_EQ(host::MsiCalls().front().function, "MsiSetInternalUI");
  EXPECT_EQ(host::Products().size(), 3u);
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_EQ(host::BadCloseCount(), 0);
}

// Each entry is inspected (its package opened) after the previous entry's
// installation and before its own log is set.
TEST_F(RunSetupTest, EachInspectionLiesBetweenThePreviousInstallationAndItsLog) {
  RunSetup(u"1036");
  std::vector<std::string> calls = DriverCalls(true);
  const char* entries[][2] = {{"mivo.msi", "MIVOInstall.log"},
                              {"mivo_1036.msi", "MIVO_1036Install.log"},
                              {"mivo_1031.msi", "MIVO_1031Install.log"}};
  size_t previous_install = 0;  // the silent switch comes first
  ASSERT_FALSE(calls.empty());
  ASSERT_EQ(calls[0], kSilent);
  for (const auto& entry : entries) {
    SCOPED_TRACE(entry[0]);
    std::string open = "MsiOpenDatabaseW " + PackagePath(entry[0]) + "|";
    size_t first_open = calls.size();
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].rfind(open, 0) == 0) {
        first_open = i;
        break;
      }
    }
    size_t log = std::find(calls.begin(), calls.end(), Log(entry[1])) - calls.begin();
    size_t install = std::find(calls.begin(), calls.end(), Install(entry[0])) - calls.begin();
    ASSERT_LT(install, calls.size());
    EXPECT_GT(first_open, previous_install);
    EXPECT_LT(first_open, log);
    EXPECT_EQ(install, log + 1);
    previous_install = install;
  }
}

TEST_F(RunSetupTest, CurrentProductsAreSkippedButStillGetTheirLog) {
  RunSetup(u"1036");
  ASSERT_EQ(host::Products().size(), 3u);
  host::ResetMsiCalls();
  RunSetup(u"1036");
  EXPECT_EQ(DriverCalls(),
            (std::vector<std::string>{kSilent, Log("MIVOInstall.log"), Log("MIVO_1036Install.log"),
                                      Log("MIVO_1031Install.log")}));
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

// The core product, installed at the package's version, with a cached package
// whose key file is older than the package's.
void InstallCoreWithOlderCachedKeyFile() {
  host::FakeProduct installed;
  installed.product_code = Widen(kCoreCode);
  installed.upgrade_code = Widen(kCoreUpgrade);
  installed.version_string = u"7.1.0";
  installed.local_package = Widen(std::string(SETUP_PACKAGE_DIR) + "/cached/core_oldkey.msi");
  host::AddProduct(installed);
}

// An installed core product of the same version whose cached key file is
// older: removed by the package's product code, then installed; the next entry
// starts afresh.
TEST_F(RunSetupTest, RemoveFirstAppliesToItsOwnEntryOnly) {
  InstallCoreWithOlderCachedKeyFile();
  RunSetup(u"");
  EXPECT_EQ(DriverCalls(),
            (std::vector<std::string>{
                kSilent, Log("MIVOInstall.log"),
                std::string("MsiConfigureProductExW ") + kCoreCode + "|0|2|" + kRemoveProperties,
                Install("mivo.msi"), Log("MIVO_1031Install.log"), Install("mivo_1031.msi")}));
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_EQ(host::BadCloseCount(), 0);
}

TEST_F(RunSetupTest, FailedRemovalsAndInstallationsDoNotStopTheRun) {
  InstallCoreWithOlderCachedKeyFile();
  host::FailCall("MsiConfigureProductExW", 1, 1603);
  for (int nth = 1; nth <= 3; ++nth) host::FailCall("MsiInstallProductW", nth, 1603);

  RunSetup(u"1036");
  EXPECT_EQ(DriverCalls(),
            (std::vector<std::string>{
                kSilent, Log("MIVOInstall.log"),
                std::string("MsiConfigureProductExW ") + kCoreCode + "|0|2|" + kRemoveProperties,
                Install("mivo.msi"), Log("MIVO_1036Install.log"), Install("mivo_1036.msi"),
                Log("MIVO_1031Install.log"), Install("mivo_1031.msi")}));
  for (const host::MsiCall& call : host::MsiCallsOf("MsiInstallProductW")) {
    SCOPED_TRACE(Narrow(call.args[0].c_str()));
    EXPECT_EQ(call.result, 1603u);
  }
  // Nothing was removed or installed.
  ASSERT_EQ(host::Products().size(), 1u);
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

TEST_F(RunSetupTest, PackagesThatCannotBeOpenedAreStillOffered) {
  host::SetModuleFileName(u"C:\\Nowhere\\mivoboot.exe");
  RunSetup(u"2052");
  EXPECT_EQ(DriverCalls(),
            (std::vector<std::string>{
                kSilent, Log("MIVOInstall.log"), "MsiInstallProductW C:\\Nowhere\\mivo.msi|",
                Log("MIVO_2052Install.log"), "MsiInstallProductW C:\\Nowhere\\mivo_2052.msi|",
                Log("MIVO_1031Install.log"), "MsiInstallProductW C:\\Nowhere\\mivo_1031.msi|"}));
  EXPECT_EQ(CountOf("MsiConfigureProductExW"), 0);
  EXPECT_TRUE(host::Products().empty());
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

TEST_F(RunSetupTest, ArgumentTextsWithoutASupportedLanguage) {
  struct Row {
    const char* name;
    const char16_t* argument_text;
  };
  const Row rows[] = {
      {"empty", u""},
      {"null", nullptr},
      {"blank before the language", u" 1036"},
      {"blank after the language", u"1036 "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetMsi();
    host::SetPackageCacheFolder((scratch_ / "cache").string());
    RunSetup(row.argument_text);
    std::vector<std::string> installs;
    for (const host::MsiCall& call : host::MsiCallsOf("MsiInstallProductW")) {
      installs.push_back(Narrow(call.args[0].c_str()));
    }
    EXPECT_EQ(installs,
              (std::vector<std::string>{PackagePath("mivo.msi"), PackagePath("mivo_1031.msi")}));
    EXPECT_EQ(CountOf("MsiSetInternalUI"), 1);
    EXPECT_EQ(CountOf("MsiEnableLogW"), 2);
  }
}

TEST_F(RunSetupTest, LogPathsHoldTheValueOfTmpUnchanged) {
  struct Row {
    const char16_t* tmp;
    const char* core_log;
  };
  const Row rows[] = {
      {u"C:\\%s%n\\%d", "C:\\%s%n\\%d\\MIVOInstall.log"},
      {u"C:\\100%", "C:\\100%\\MIVOInstall.log"},
      {nullptr, "%tmp%\\MIVOInstall.log"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.core_log);
    host::ResetMsi();
    host::SetEnvironmentVariable(u"TMP", row.tmp);
    RunSetup(u"");
    std::vector<host::MsiCall> logs = host::MsiCallsOf("MsiEnableLogW");
    ASSERT_EQ(logs.size(), 2u);
    std::string folder(row.core_log, std::string(row.core_log).rfind('\\'));
    EXPECT_EQ(Narrow(logs[0].args[1].c_str()), row.core_log);
    EXPECT_EQ(Narrow(logs[1].args[1].c_str()), folder + "\\MIVO_1031Install.log");
  }
}

TEST_F(RunSetupTest, NoExecutablePathMeansNoInstallerCall) {
  // The module path cannot be read (GetModuleFileNameW answers 0), or is
  // longer than any path the system hands out: no package is named relative
  // to the current folder, and the installer is not called at all.
  const std::u16string paths[] = {u"", u"C:\\" + std::u16string(40000, u'x') + u"\\mivoboot.exe"};
  for (const std::u16string& path : paths) {
    SCOPED_TRACE("module path of " + std::to_string(path.size()) + " units");
    host::ResetMsi();
    host::SetModuleFileName(path);
    RunSetup(u"1031");
    EXPECT_TRUE(host::MsiCalls().empty()) << host::MsiCalls().front().function;
  }
}

// Executable paths of any length give their whole folder.
TEST(ExecutableFolderTest, PathsOfAnyLengthComeBackWhole) {
  host::ResetProcessState();
  const size_t lengths[] = {20, 258, 259, 260, 261, 300, 520, 521, 1000, 5000};
  for (size_t length : lengths) {
    SCOPED_TRACE("path of " + std::to_string(length) + " units");
    // C:\ and folders of 9 letters, then a file name that makes up the length.
    std::u16string folder = u"C:\\";
    while (folder.size() + 10 + 12 < length) folder += u"aaaaaaaaa\\";
    std::u16string path = folder + std::u16string(length - folder.size(), u'f');
    host::SetModuleFileName(path);
    CString result = ExecutableFolder();
    EXPECT_EQ(Narrow(result), Narrow(folder.c_str()));
  }
  host::ResetProcessState();
}

}  // namespace
