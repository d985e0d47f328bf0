// The installer-service fake of the host: its state, its buffer and error
// rules, its record of calls and its injected faults.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/msi_control.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::Widen;

const char16_t kProductV[] = u"{5E7A0C11-0001-4000-8000-0000000000F1}";
const char16_t kProductOther[] = u"{5E7A0C11-0001-4000-8000-0000000000F2}";
const char16_t kUpgrade[] = u"{5E7A0C11-0001-4000-8000-0000000000FA}";

std::u16string Package(const char* name) {
  return Widen(std::string(SETUP_PACKAGE_DIR) + "/fake/" + name);
}

// The same file as a Windows path on drive Z:, which maps the host's root.
std::u16string WindowsPackage(const char* name) {
  std::u16string path = u"Z:" + Package(name);
  for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
  return path;
}

// A host file or folder as a Windows path on drive Z:.
std::u16string OnDriveZ(const std::string& host_path) {
  std::u16string path = u"Z:" + Widen(host_path);
  for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
  return path;
}

class InstallerFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetMsi();
    cache_ = std::filesystem::path(SETUP_SCRATCH_DIR) / "fake_cache";
    std::filesystem::remove_all(cache_);
    std::filesystem::create_directories(cache_);
    host::SetPackageCacheFolder(cache_.string());
  }
  void TearDown() override { host::ResetMsi(); }

  static host::FakeProduct Product(const char16_t* code, const char16_t* version,
                                   const char16_t* local_package) {
    host::FakeProduct product;
    product.product_code = code;
    product.upgrade_code = kUpgrade;
    product.version_string = version;
    product.local_package = local_package;
    return product;
  }

  std::filesystem::path cache_;
};

TEST_F(InstallerFakeTest, InstallRegistersThePackagesIdentityAndCachesACopy) {
  ASSERT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), ERROR_SUCCESS);
  ASSERT_EQ(host::Products().size(), 1u);
  const host::FakeProduct& product = host::Products()[0];
  EXPECT_EQ(Narrow(product.product_code.c_str()), Narrow(kProductV));
  EXPECT_EQ(Narrow(product.upgrade_code.c_str()), Narrow(kUpgrade));
  EXPECT_EQ(Narrow(product.version_string.c_str()), "1.0.0");
  EXPECT_EQ(product.state, INSTALLSTATE_DEFAULT);
  std::filesystem::path cached(Narrow(product.local_package.c_str()));
  EXPECT_EQ(cached.parent_path(), cache_);
  EXPECT_EQ(std::filesystem::file_size(cached),
            std::filesystem::file_size(Narrow(Package("v1.msi").c_str())));
  EXPECT_EQ(MsiQueryProductStateW(kProductV), INSTALLSTATE_DEFAULT);
}

TEST_F(InstallerFakeTest, WithoutCacheFolderThePackagePathIsTheLocalPackage) {
  host::SetPackageCacheFolder("");
  ASSERT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), ERROR_SUCCESS);
  ASSERT_EQ(host::Products().size(), 1u);
  EXPECT_EQ(Narrow(host::Products()[0].local_package.c_str()), Narrow(Package("v1.msi").c_str()));
}

TEST_F(InstallerFakeTest, InstallRefusals) {
  struct Row {
    const char* name;
    std::u16string package;
    bool v1_installed;
    UINT expected;
    size_t products_after;
  };
  const Row rows[] = {
      {"missing file", Package("absent.msi"), false, ERROR_INSTALL_PACKAGE_OPEN_FAILED, 0},
      {"not a database", Package("not_a_package.msi"), false, ERROR_INSTALL_PACKAGE_INVALID, 0},
      {"empty path", u"", false, ERROR_INVALID_PARAMETER, 0},
      {"Windows path on drive Z:", WindowsPackage("v1.msi"), false, ERROR_SUCCESS, 1},
      {"other version of an installed product", Package("v2.msi"), true, ERROR_PRODUCT_VERSION, 1},
      {"the same package again runs in maintenance mode", Package("v1.msi"), true, ERROR_SUCCESS,
       1},
      {"another product of the same upgrade code", Package("other.msi"), true, ERROR_SUCCESS, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetMsi();
    host::SetPackageCacheFolder(cache_.string());
    if (row.v1_installed) {
      ASSERT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), ERROR_SUCCESS);
    }
    EXPECT_EQ(MsiInstallProductW(row.package.c_str(), u""), row.expected);
    EXPECT_EQ(host::Products().size(), row.products_after);
    if (row.v1_installed) {
      EXPECT_EQ(Narrow(host::Products()[0].version_string.c_str()), "1.0.0");
    }
  }
}

// The whole text of a host file; empty when there is none.
std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The answers the documentation gives for logs, restarts, package codes,
// policies, elevation and temporary files, call by call: each row sets up the
// machine, sets the log, installs `package` with `properties` (after `v1` is
// installed, for the rows that need it) and names the answer, and what the
// log must say.
TEST_F(InstallerFakeTest, AnswersAsTheDocumentationGives) {
  const std::string folder = cache_.string();
  host::DenyWritesIn(Widen(folder + "/denied"), false);
  std::filesystem::create_directories(folder + "/denied");
  struct Row {
    const char* name;
    std::u16string log;  // empty: logging off
    std::u16string package;
    const char16_t* properties;
    bool v1_installed;
    UINT expected;
    int restarts;
    std::function<void()> machine = [] {};
    const char* log_says = nullptr;
  };
  const std::u16string log = OnDriveZ(folder + "/a.log");
  const auto policy = [](DWORD disable_msi, DWORD disable_user_installs, bool elevated) {
    return [=] {
      host::SetInstallerPolicy(disable_msi, disable_user_installs);
      host::SetProcessElevated(elevated);
    };
  };
  const Row rows[] = {
      {"log in an existing folder", OnDriveZ(folder + "/a.log"), Package("v1.msi"), u"", false,
       ERROR_SUCCESS, 0},
      {"log in a folder that does not exist", OnDriveZ(folder + "/none/a.log"), Package("v1.msi"),
       u"", false, 1622, 0},
      {"log on a relative path", u"a.log", Package("v1.msi"), u"", false, 1622, 0},
      {"log on a path from the root of the drive", Widen(folder + "/a.log"), Package("v1.msi"), u"",
       false, 1622, 0},
      {"log on a drive-relative path", u"C:a.log", Package("v1.msi"), u"", false, 1622, 0},
      {"log in a folder the user cannot write", OnDriveZ(folder + "/denied/a.log"),
       Package("v1.msi"), u"", false, 1622, 0},
      {"ScheduleReboot, silent: restarts", u"", Package("schedule.msi"), u"", false,
       ERROR_SUCCESS_REBOOT_INITIATED, 1},
      {"ScheduleReboot, REBOOT=ReallySuppress", u"", Package("schedule.msi"),
       u"REBOOT=ReallySuppress", false, ERROR_SUCCESS_REBOOT_REQUIRED, 0},
      {"ScheduleReboot, REBOOT=Suppress", u"", Package("schedule.msi"), u"X=\"a b\" REBOOT=S",
       false, ERROR_SUCCESS_REBOOT_REQUIRED, 0},
      {"ScheduleReboot, the property name in lower case", u"", Package("schedule.msi"),
       u"reboot=ReallySuppress", false, ERROR_SUCCESS_REBOOT_INITIATED, 1},
      {"ScheduleReboot, the text only quoted", u"", Package("schedule.msi"),
       u"X=\"REBOOT=ReallySuppress\"", false, ERROR_SUCCESS_REBOOT_INITIATED, 1},
      {"ForceReboot, no REBOOT: restarts, suspended", u"", Package("force.msi"), u"", false, 1604,
       1},
      {"ForceReboot, REBOOT=Suppress: restarts, suspended", u"", Package("force.msi"),
       u"REBOOT=Suppress", false, 1604, 1},
      {"ForceReboot, REBOOT=ReallySuppress: suspended", u"", Package("force.msi"),
       u"REBOOT=ReallySuppress", false, 1604, 0},
      {"ForceReboot, REBOOT=Force: restarts, suspended", u"", Package("force.msi"), u"REBOOT=Force",
       false, 1604, 1},
      {"REBOOT=Force restarts any package", u"", Package("v1.msi"), u"REBOOT=Force", false,
       ERROR_SUCCESS_REBOOT_INITIATED, 1},
      {"same product and version, another package code", u"", Package("v1_rebuilt.msi"), u"", true,
       ERROR_PRODUCT_VERSION, 0},
      {"the same package again: maintenance mode", u"", Package("v1.msi"), u"", true, ERROR_SUCCESS,
       0},
      {"DisableMSI=1: a per-user package, not elevated, is refused", u"", Package("v1.msi"), u"",
       false, 1625, 0, policy(1, 0, false)},
      {"DisableMSI=1: a per-user package, elevated", u"", Package("v1.msi"), u"", false,
       ERROR_SUCCESS, 0, policy(1, 0, true)},
      {"DisableMSI=1: a per-machine package, elevated", u"", Package("machine.msi"), u"", false,
       ERROR_SUCCESS, 0, policy(1, 0, true)},
      {"DisableMSI=2: every package is refused", u"", Package("machine.msi"), u"", false, 1625, 0,
       policy(2, 0, true)},
      {"DisableUserInstalls=1: a per-user package is refused, elevated too", u"", Package("v1.msi"),
       u"", false, 1625, 0, policy(0, 1, true)},
      {"DisableUserInstalls=1: a per-machine package, elevated", u"", Package("machine.msi"), u"",
       false, ERROR_SUCCESS, 0, policy(0, 1, true)},
      {"a per-machine package, not elevated: 1603, error 1925 in the log", log,
       Package("machine.msi"), u"", false, 1603, 0, policy(0, 0, false), "Error 1925."},
      {"the installer cannot write its temporary files", u"", Package("v1.msi"), u"", false, 1632,
       0, [] { host::SetInstallerTempWritable(false); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetMsi();
    host::SetPackageCacheFolder(folder);
    if (row.v1_installed) {
      ASSERT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), ERROR_SUCCESS);
    }
    row.machine();
    std::vector<host::FakeProduct> before = host::Products();
    host::DenyWritesIn(Widen(folder + "/denied"), true);
    MsiEnableLogW(INSTALLLOGMODE_VERBOSE, row.log.empty() ? nullptr : row.log.c_str(), 0);
    EXPECT_EQ(MsiInstallProductW(row.package.c_str(), row.properties), row.expected);
    host::DenyWritesIn(Widen(folder + "/denied"), false);
    EXPECT_EQ(host::Restarts().size(), static_cast<size_t>(row.restarts));
    if (row.log_says) {
      EXPECT_NE(FileText(folder + "/a.log").find(row.log_says), std::string::npos);
    }
    // A refusal installs nothing.
    if (row.expected == 1625 || row.expected == 1632 || row.expected == 1603) {
      EXPECT_TRUE(host::Products().empty());
    }
    if (row.expected == 1622 || row.v1_installed) {
      // Nothing changed, the cached package included.
      ASSERT_EQ(host::Products().size(), before.size());
      for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(host::Products()[i].local_package, before[i].local_package);
        EXPECT_TRUE(std::filesystem::exists(Narrow(before[i].local_package.c_str())));
      }
    }
  }
  // A removal runs from the cached package, else from the source; with both
  // gone the silent level gives up, and the level of source dialogs shows one,
  // which the user cancels; a product that is not installed is unknown.
  host::ResetMsi();
  host::SetPackageCacheFolder(folder);
  std::filesystem::copy_file(Narrow(Package("schedule.msi").c_str()), folder + "/source.msi",
                             std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(MsiInstallProductW(Widen(folder + "/source.msi").c_str(), u"REBOOT=R"),
            ERROR_SUCCESS_REBOOT_REQUIRED);
  std::filesystem::remove(Narrow(host::Products().at(0).local_package.c_str()));
  std::filesystem::remove(folder + "/source.msi");
  const INSTALLUILEVEL source_dialogs_only =
      static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_NONE | INSTALLUILEVEL_SOURCERESONLY);
  for (INSTALLUILEVEL level : {INSTALLUILEVEL_NONE, source_dialogs_only, INSTALLUILEVEL_FULL}) {
    SCOPED_TRACE(level);
    MsiSetInternalUI(level, nullptr);
    const size_t dialogs = host::SourceDialogs().size();
    EXPECT_EQ(
        MsiConfigureProductExW(u"{5E7A0C11-0001-4000-8000-0000000000F3}", INSTALLLEVEL_DEFAULT,
                               INSTALLSTATE_ABSENT, u"REMOVE=ALL REBOOT=ReallySuppress"),
        level == INSTALLUILEVEL_NONE ? 1612u : 1602u);
    EXPECT_EQ(host::SourceDialogs().size(), dialogs + (level == INSTALLUILEVEL_NONE ? 0 : 1));
    EXPECT_EQ(host::Products().size(), 1u);
  }
  std::filesystem::copy_file(Narrow(Package("schedule.msi").c_str()), folder + "/source.msi");
  EXPECT_EQ(MsiConfigureProductExW(u"{5E7A0C11-0001-4000-8000-0000000000F3}", INSTALLLEVEL_DEFAULT,
                                   INSTALLSTATE_ABSENT, u"REMOVE=ALL"),
            ERROR_SUCCESS_REBOOT_INITIATED);
  EXPECT_EQ(host::Restarts().size(), 1u);
  EXPECT_EQ(MsiConfigureProductExW(u"{5E7A0C11-0001-4000-8000-0000000000F3}", INSTALLLEVEL_DEFAULT,
                                   INSTALLSTATE_ABSENT, u"REMOVE=ALL"),
            ERROR_UNKNOWN_PRODUCT);

  // A per-machine product removed by a process that is not elevated: 1603,
  // error 1730 in the log, nothing removed.
  host::ResetMsi();
  host::SetPackageCacheFolder(folder);
  host::SetProcessElevated(true);
  ASSERT_EQ(MsiInstallProductW(Package("machine.msi").c_str(), u""), ERROR_SUCCESS);
  host::SetProcessElevated(false);
  MsiEnableLogW(INSTALLLOGMODE_VERBOSE, log.c_str(), 0);
  EXPECT_EQ(MsiConfigureProductExW(u"{5E7A0C11-0001-4000-8000-0000000000F5}", INSTALLLEVEL_DEFAULT,
                                   INSTALLSTATE_ABSENT, u"REMOVE=ALL"),
            1603u);
  EXPECT_NE(FileText(folder + "/a.log").find("Error 1730."), std::string::npos);
  EXPECT_EQ(host::Products().size(), 1u);

  // DisableUserInstalls=1 hides a per-user product from every function; a
  // per-machine one stays.
  ASSERT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), ERROR_SUCCESS);
  host::SetInstallerPolicy(0, 1);
  EXPECT_EQ(MsiQueryProductStateW(kProductV), INSTALLSTATE_UNKNOWN);
  EXPECT_EQ(MsiConfigureProductExW(kProductV, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, u""),
            ERROR_UNKNOWN_PRODUCT);
  WCHAR related[39];
  EXPECT_EQ(MsiEnumRelatedProductsW(kUpgrade, 0, 0, related), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(MsiQueryProductStateW(u"{5E7A0C11-0001-4000-8000-0000000000F5}"), INSTALLSTATE_DEFAULT);
  host::SetInstallerPolicy(0, 0);
  EXPECT_EQ(MsiQueryProductStateW(kProductV), INSTALLSTATE_DEFAULT);

  // The log setting: a path needs a non-zero mode; null turns logging off
  // whatever the mode.
  EXPECT_EQ(MsiEnableLogW(0, log.c_str(), 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MsiEnableLogW(INSTALLLOGMODE_VERBOSE, u"", 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MsiEnableLogW(0, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(MsiEnableLogW(INSTALLLOGMODE_VERBOSE, log.c_str(), 0), ERROR_SUCCESS);
}

TEST_F(InstallerFakeTest, ConfigureAbsentRemovesTheProductAndItsCachedPackage) {
  ASSERT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), ERROR_SUCCESS);
  std::filesystem::path cached(Narrow(host::Products()[0].local_package.c_str()));
  // Product codes compare without regard to the case of their letters.
  std::u16string lower(kProductV);
  for (char16_t& c : lower) c = (c >= u'A' && c <= u'F') ? c - u'A' + u'a' : c;
  EXPECT_EQ(MsiConfigureProductExW(lower.c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT,
                                   u"REMOVE=ALL"),
            ERROR_SUCCESS);
  EXPECT_TRUE(host::Products().empty());
  EXPECT_FALSE(std::filesystem::exists(cached));
  EXPECT_EQ(MsiQueryProductStateW(kProductV), INSTALLSTATE_UNKNOWN);
  EXPECT_EQ(MsiConfigureProductExW(kProductV, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, u""),
            ERROR_UNKNOWN_PRODUCT);
  EXPECT_EQ(MsiConfigureProductExW(u"not a code", INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, u""),
            ERROR_INVALID_PARAMETER);
  // After the removal the other version installs.
  EXPECT_EQ(MsiInstallProductW(Package("v2.msi").c_str(), u""), ERROR_SUCCESS);
}

TEST_F(InstallerFakeTest, QueryProductState) {
  host::FakeProduct advertised = Product(kProductOther, u"1.0", u"x.msi");
  advertised.state = INSTALLSTATE_ADVERTISED;
  host::AddProduct(Product(kProductV, u"1.0", u"x.msi"));
  host::AddProduct(advertised);
  struct Row {
    const char16_t* code;
    INSTALLSTATE expected;
  };
  const Row rows[] = {
      {kProductV, INSTALLSTATE_DEFAULT},
      {u"{5e7a0c11-0001-4000-8000-0000000000f1}", INSTALLSTATE_DEFAULT},
      {kProductOther, INSTALLSTATE_ADVERTISED},
      {u"{5E7A0C11-0001-4000-8000-0000000000F3}", INSTALLSTATE_UNKNOWN},
      {u"", INSTALLSTATE_INVALIDARG},
      {u"5E7A0C11-0001-4000-8000-0000000000F1", INSTALLSTATE_INVALIDARG},
      {u"{5E7A0C11-0001-4000-8000-0000000000G1}", INSTALLSTATE_INVALIDARG},
      {nullptr, INSTALLSTATE_INVALIDARG},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.code));
    EXPECT_EQ(MsiQueryProductStateW(row.code), row.expected);
  }
}

TEST_F(InstallerFakeTest, EnumRelatedProductsInRegistrationOrder) {
  host::AddProduct(Product(kProductV, u"1.0", u"a.msi"));
  host::FakeProduct unrelated =
      Product(u"{5E7A0C11-0001-4000-8000-0000000000F3}", u"1.0", u"b.msi");
  unrelated.upgrade_code = u"{5E7A0C11-0001-4000-8000-0000000000FB}";
  host::AddProduct(unrelated);
  host::AddProduct(Product(kProductOther, u"1.0", u"c.msi"));

  const char16_t lower_upgrade[] = u"{5e7a0c11-0001-4000-8000-0000000000fa}";
  std::vector<std::string> codes;
  WCHAR buffer[39];
  UINT result;
  DWORD index = 0;
  while ((result = MsiEnumRelatedProductsW(lower_upgrade, 0, index, buffer)) == ERROR_SUCCESS) {
    codes.push_back(Narrow(buffer));
    ++index;
  }
  EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(codes, (std::vector<std::string>{Narrow(kProductV), Narrow(kProductOther)}));
  EXPECT_EQ(MsiEnumRelatedProductsW(kUpgrade, 1, 0, buffer), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MsiEnumRelatedProductsW(u"", 0, 0, buffer), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MsiEnumRelatedProductsW(u"{5E7A0C11-0001-4000-8000-0000000000FF}", 0, 0, buffer),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(InstallerFakeTest, GetProductInfoBufferRules) {
  host::AddProduct(Product(kProductV, u"1.2.3", u"C:\\cache\\p.msi"));
  struct Row {
    const char* name;
    const char16_t* property;
    bool with_buffer;
    bool with_count;
    DWORD capacity;
    UINT expected;
    DWORD count_after;
    std::string text_after;  // the buffer, preset to "#########"
  };
  const Row rows[] = {
      {"fits", u"VersionString", true, true, 100, ERROR_SUCCESS, 5, "1.2.3"},
      {"fits exactly with terminator", u"VersionString", true, true, 6, ERROR_SUCCESS, 5, "1.2.3"},
      {"no room for the terminator", u"VersionString", true, true, 5, ERROR_MORE_DATA, 5, "1.2."},
      {"one unit", u"VersionString", true, true, 1, ERROR_MORE_DATA, 5, ""},
      {"capacity 0 writes nothing", u"VersionString", true, true, 0, ERROR_MORE_DATA, 5,
       "#########"},
      {"length only", u"VersionString", false, true, 0, ERROR_SUCCESS, 5, "#########"},
      {"local package", u"LocalPackage", true, true, 100, ERROR_SUCCESS, 14, "C:\\cache\\p.msi"},
      {"unknown property", u"ProductName", true, true, 100, ERROR_UNKNOWN_PROPERTY, 100,
       "#########"},
      {"buffer without count", u"VersionString", true, false, 0, ERROR_INVALID_PARAMETER, 0,
       "#########"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WCHAR buffer[128];
    std::u16string preset(u"#########");
    preset.copy(buffer, preset.size());
    buffer[preset.size()] = 0;
    DWORD count = row.capacity;
    UINT result = MsiGetProductInfoW(kProductV, row.property, row.with_buffer ? buffer : nullptr,
                                     row.with_count ? &count : nullptr);
    EXPECT_EQ(result, row.expected);
    if (row.with_count) {
      EXPECT_EQ(count, row.count_after);
    }
    EXPECT_EQ(Narrow(buffer), row.text_after);
  }
  DWORD count = 10;
  WCHAR buffer[10];
  EXPECT_EQ(MsiGetProductInfoW(u"{5E7A0C11-0001-4000-8000-0000000000F9}", u"VersionString", buffer,
                               &count),
            ERROR_UNKNOWN_PRODUCT);
  EXPECT_EQ(MsiGetProductInfoW(u"bad", u"VersionString", buffer, &count), ERROR_INVALID_PARAMETER);
}

TEST_F(InstallerFakeTest, SetInternalUiAnswersThePreviousLevel) {
  EXPECT_EQ(MsiSetInternalUI(static_cast<INSTALLUILEVEL>(258), nullptr), INSTALLUILEVEL_DEFAULT);
  EXPECT_EQ(MsiSetInternalUI(INSTALLUILEVEL_FULL, nullptr), static_cast<INSTALLUILEVEL>(258));
  // An unknown level changes nothing.
  EXPECT_EQ(MsiSetInternalUI(static_cast<INSTALLUILEVEL>(9), nullptr), INSTALLUILEVEL_NOCHANGE);
  EXPECT_EQ(MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr), INSTALLUILEVEL_FULL);
  EXPECT_EQ(MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr), INSTALLUILEVEL_FULL);
}

TEST_F(InstallerFakeTest, CallsAreRecordedWithTheirArgumentsAndResults) {
  std::u16string log = OnDriveZ((cache_ / "x.log").string());
  MsiEnableLogW(INSTALLLOGMODE_VERBOSE, log.c_str(), 0);
  MsiInstallProductW(Package("v1.msi").c_str(), u"");
  MsiConfigureProductExW(kProductV, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, u"REMOVE=ALL");
  const std::vector<host::MsiCall>& calls = host::MsiCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].function, "MsiEnableLogW");
  EXPECT_EQ(calls[0].args, (std::vector<std::u16string>{u"4096", log, u"0"}));
  EXPECT_EQ(calls[1].function, "MsiInstallProductW");
  EXPECT_EQ(calls[1].args, (std::vector<std::u16string>{Package("v1.msi"), u""}));
  EXPECT_EQ(calls[1].result, ERROR_SUCCESS);
  EXPECT_EQ(calls[2].function, "MsiConfigureProductExW");
  EXPECT_EQ(calls[2].args, (std::vector<std::u16string>{kProductV, u"0", u"2", u"REMOVE=ALL"}));
}

TEST_F(InstallerFakeTest, InjectedFaultsReturnTheirCodeWithoutEffect) {
  host::FailCall("MsiInstallProductW", 1, 1603);
  host::FailCall("MsiQueryProductStateW", 1, static_cast<UINT>(INSTALLSTATE_ABSENT));
  EXPECT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), 1603u);
  EXPECT_TRUE(host::Products().empty());
  EXPECT_EQ(MsiInstallProductW(Package("v1.msi").c_str(), u""), ERROR_SUCCESS);
  EXPECT_EQ(MsiQueryProductStateW(kProductV), INSTALLSTATE_ABSENT);
  EXPECT_EQ(MsiQueryProductStateW(kProductV), INSTALLSTATE_DEFAULT);

  host::FailCall("MsiConfigureProductExW", 1, 1603);
  EXPECT_EQ(MsiConfigureProductExW(kProductV, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, u""),
            1603u);
  EXPECT_EQ(host::Products().size(), 1u);
}

TEST_F(InstallerFakeTest, ResetForgetsProductsCallsAndFaults) {
  host::AddProduct(Product(kProductV, u"1.0", u"a.msi"));
  host::FailCall("MsiQueryProductStateW", 2, 1);
  MsiQueryProductStateW(kProductV);
  host::ResetMsi();
  EXPECT_TRUE(host::Products().empty());
  EXPECT_TRUE(host::MsiCalls().empty());
  host::AddProduct(Product(kProductV, u"1.0", u"a.msi"));
  MsiQueryProductStateW(kProductV);
  EXPECT_EQ(MsiQueryProductStateW(kProductV), INSTALLSTATE_DEFAULT);
}

}  // namespace
