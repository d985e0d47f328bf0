// The whole setup run on the host, against the installer-service fake, as the
// run tests and the tests of mivocheck --result drive it (host build only).
// The program that includes this defines SETUP_PACKAGE_DIR, the folder of the
// setup test packages, and SETUP_SCRATCH_DIR, a folder of its own to work in.
#ifndef TESTS_SUPPORT_SETUP_RUN_H
#define TESTS_SUPPORT_SETUP_RUN_H

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/msi_calls.h"
#include "platform/host/msi_control.h"
#include "setup/run.h"
#include "tests/support/fake_products.h"
#include "tests/support/test_support.h"

namespace testing_support {

constexpr char kCoreCode[] = "{5E7A0C11-0001-4000-8000-0000000000C1}";
constexpr char kCoreUpgrade[] = "{5E7A0C11-0001-4000-8000-0000000000A1}";

// The installer calls of the driver and the package openings of the
// inspection, as "function arg1|arg2|...", in call order.
inline std::vector<std::string> DriverCalls(bool with_openings = false) {
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

inline int CountOf(const std::string& function) {
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
    // The logs and the run record go to a folder of the test's own, named as
    // Windows names it: a full path on drive Z:.
    std::filesystem::create_directories(scratch_ / "tmp");
    tmp_ = WindowsPathOf(scratch_ / "tmp");
    host::SetEnvironmentVariable(u"TMP", Widen(tmp_).c_str());
    host::SetPackageCacheFolder((scratch_ / "cache").string());
  }
  void TearDown() override {
    host::ResetMsi();
    host::ResetProcessState();
  }

  // Another run on the same machine: no products, calls, faults, waits or
  // record of an earlier row.
  void StartAfresh() {
    host::ResetMsi();
    host::ResetKernel();
    host::SetPackageCacheFolder((scratch_ / "cache").string());
    std::filesystem::remove(RecordFile());
  }

  // The Windows path of a file or folder of the host: drive Z:, backslashes.
  static std::string WindowsPathOf(const std::filesystem::path& path) {
    std::string windows = "Z:" + path.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
  }
  std::string RecordFile() const { return (scratch_ / "tmp" / "MIVOSetup.log").string(); }
  std::string PackagePath(const char* name) const { return folder_ + name; }
  std::string Log(const char* name) const {
    return "MsiEnableLogW 4096|" + tmp_ + "\\" + name + "|0";
  }
  std::vector<std::string> Record() const { return testing_support::RecordLines(RecordFile()); }
  std::string Install(const char* name) const {
    return "MsiInstallProductW " + PackagePath(name) + "|" + kInstallProperties;
  }

  std::filesystem::path scratch_;
  std::string folder_;
  std::string tmp_;
};

constexpr char kSilent[] = "MsiSetInternalUI 258|(null)";

// The core product, installed at the package's version, with a cached package
// whose key file is older than the package's.
inline void InstallCoreWithOlderCachedKeyFile() {
  host::AddProduct(testing_support::InstalledProduct(
      Widen(kCoreCode), Widen(kCoreUpgrade), u"7.1.0",
      Widen(std::string(SETUP_PACKAGE_DIR) + "/cached/core_oldkey.msi")));
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_SETUP_RUN_H
