// The inspection of a package against the installed products, on the host:
// real packages read through libmsi, installed products kept by the
// installer-service fake, whose cached packages are real packages too.
#include "setup/inspect.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/msi_control.h"
#include "setup/run.h"
#include "tests/support/fake_products.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::Widen;

const std::u16string kCore = u"{C0DE0001-0000-4000-8000-000000000001}";
const std::u16string kUpgrade = u"{0B6E0001-0000-4000-8000-000000000001}";
const std::u16string kPack = u"{C0DE0002-0000-4000-8000-000000000002}";
const std::u16string kPackUpgrade = u"{0B6E0002-0000-4000-8000-000000000002}";
const std::u16string kOther = u"{07E40001-0000-4000-8000-000000000009}";

std::u16string Package(const char* name) {
  return Widen(std::string(SETUP_INSPECT_PACKAGES) + "/" + name);
}

// The same file as the run names it: a Windows path on drive Z:, which the
// host maps to the root as Wine does.
std::u16string WindowsPath(const char* name) {
  std::u16string path = u"Z:" + Package(name);
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

const auto& Installed = testing_support::InstalledProduct;

struct Decision {
  PackageAction action = kPackageActionInstall;
  std::u16string product_code;
  bool remove_first = false;
  std::vector<std::string> record;  // the lines the inspection wrote, without the package's name
  std::string reason;               // the record's decision, after "decision: "
};

std::string Describe(const Decision& decision) {
  return std::string(decision.action == kPackageActionSkip ? "skip" : "install") +
         (decision.remove_first ? ", remove first" : "") + ", product code \"" +
         Narrow(decision.product_code.c_str()) + "\"";
}

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetProcessState();
    host::ResetMsi();
    record_folder_ = ::testing::TempDir() + "inspect_record_" + std::to_string(getpid());
    std::filesystem::create_directories(record_folder_);
    handles_before_ = host::OpenHandleCount();
    bad_closes_before_ = host::BadCloseCount();
  }

  void TearDown() override {
    std::filesystem::remove_all(record_folder_);
    EXPECT_EQ(handles_before_, host::OpenHandleCount()) << "a handle was left open";
    EXPECT_EQ(bad_closes_before_, host::BadCloseCount())
        << "a handle was closed twice, or 0 closed";
  }

  // Runs the inspection with the presets of the run.
  Decision Inspect(const std::u16string& package, const char16_t* key_file = u"KELD.DLL") {
    CString path(package.c_str());
    CString key(key_file);
    PackageAction action = kPackageActionInstall;
    CString product_code;
    bool remove_first = false;
    std::string record_path = record_folder_ + "/MIVOSetup.log";
    std::filesystem::remove(record_path);
    {
      // The run names the package whose facts follow, as the run does.
      RunRecord record;
      record.Open(Widen(record_folder_).c_str());
      record.SetEntry(u"package.msi");
      InspectPackage(path, key, action, product_code, remove_first, record);
    }
    Decision decision;
    decision.action = action;
    decision.product_code = product_code.GetString();
    decision.remove_first = remove_first;
    const std::string entry = "package.msi: ";
    for (std::string line : testing_support::RecordLines(record_path)) {
      if (line.rfind(entry, 0) == 0) line.erase(0, entry.size());
      decision.record.push_back(line);
    }
    for (const std::string& line : decision.record) {
      if (line.rfind("decision: ", 0) == 0) decision.reason = line.substr(10);
    }
    return decision;
  }

  std::string record_folder_;
  int handles_before_ = 0;
  int bad_closes_before_ = 0;
};

// The decision table: one row per way through the inspection.
struct DecisionRow {
  const char* name;
  const char* package;
  std::vector<host::FakeProduct> installed;
  std::function<void()> faults;
  PackageAction action;
  bool remove_first;
  bool product_code_read;
  const char* reason;  // as the record gives it
};

TEST_F(InspectTest, DecisionTable) {
  const std::u16string older = Package("cached_older.msi");
  const std::u16string equal = Package("cached_equal.msi");
  const std::u16string newer = Package("cached_newer.msi");
  const std::vector<DecisionRow> rows = {
      {"package not a database",
       "corrupt.msi",
       {Installed(kCore, kUpgrade, u"7.1", older)},
       nullptr,
       kPackageActionInstall,
       false,
       false,
       "package could not be opened, so install"},
      {"package missing",
       "missing.msi",
       {Installed(kCore, kUpgrade, u"7.1", older)},
       nullptr,
       kPackageActionInstall,
       false,
       false,
       "package could not be opened, so install"},
      {"product not installed",
       "package.msi",
       {},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "not installed, so install"},
      {"product only advertised",
       "package.msi",
       {[&] {
         host::FakeProduct p = Installed(kCore, kUpgrade, u"7.1", equal);
         p.state = INSTALLSTATE_ADVERTISED;
         return p;
       }()},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "not installed, so install"},
      {"installed, but under another upgrade code: no related product equal",
       "package.msi",
       {Installed(kCore, kOther, u"7.1", equal), Installed(kOther, kUpgrade, u"7.1", equal)},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "installed, but not among the related products of its upgrade code, so install"},
      {"installed version newer",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.2", equal)},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "installed version \"7.2\" differs from \"7.1\", so install"},
      {"installed version older",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.0.9", older)},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "installed version \"7.0.9\" differs from \"7.1\", so install"},
      {"installed version with an extra component",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1.0", older)},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "installed version \"7.1.0\" differs from \"7.1\", so install"},
      {"LocalPackage not readable",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1", older)},
       [] { host::FailCall("MsiGetProductInfoW", 2, ERROR_UNKNOWN_PROPERTY); },
       kPackageActionInstall,
       false,
       true,
       "cached package or its key file unreadable, so install"},
      {"LocalPackage of 260 characters does not fit",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1", u"C:\\" + std::u16string(257, u'x'))},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "cached package or its key file unreadable, so install"},
      {"cached package missing",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1", Package("gone.msi"))},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "cached package or its key file unreadable, so install"},
      {"cached package without the key file",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1", Package("cached_other_key.msi"))},
       nullptr,
       kPackageActionInstall,
       false,
       true,
       "cached package or its key file unreadable, so install"},
      {"cached key file older",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1", older)},
       nullptr,
       kPackageActionInstall,
       true,
       true,
       "cached key file \"1.9.9.9\" older than \"2.0.0.0\", so remove first and install"},
      {"cached key file equal",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1", equal)},
       nullptr,
       kPackageActionSkip,
       false,
       true,
       "current, so leave alone"},
      {"cached key file newer",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.1", newer)},
       nullptr,
       kPackageActionSkip,
       false,
       true,
       "current, so leave alone"},
      {"installed 7.01 equals package 7.1",
       "package.msi",
       {Installed(kCore, kUpgrade, u"7.01", equal)},
       nullptr,
       kPackageActionSkip,
       false,
       true,
       "current, so leave alone"},
      {"product code registered in lower case",
       "package.msi",
       {Installed(u"{c0de0001-0000-4000-8000-000000000001}", kUpgrade, u"7.1", older)},
       nullptr,
       kPackageActionInstall,
       true,
       true,
       "cached key file \"1.9.9.9\" older than \"2.0.0.0\", so remove first and install"},
      {"package key file without version: any cached version ranks above",
       "package_no_key_version.msi",
       {Installed(kCore, kUpgrade, u"7.1", older)},
       nullptr,
       kPackageActionSkip,
       false,
       true,
       "current, so leave alone"},
  };
  for (const DecisionRow& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetMsi();
    for (const host::FakeProduct& product : row.installed) host::AddProduct(product);
    if (row.faults) row.faults();
    Decision decision = Inspect(Package(row.package));
    EXPECT_EQ(row.action, decision.action) << Describe(decision);
    EXPECT_EQ(row.remove_first, decision.remove_first) << Describe(decision);
    EXPECT_EQ(row.product_code_read ? kCore : u"", decision.product_code);
    EXPECT_EQ(row.reason, decision.reason);
    EXPECT_EQ(handles_before_, host::OpenHandleCount());
  }
}

// The record holds every fact the inspection saw, in order, up to its decision.
TEST_F(InspectTest, RecordHoldsEachFactBeforeTheDecision) {
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_older.msi")));
  EXPECT_EQ(Inspect(Package("package.msi")).record,
            (std::vector<std::string>{
                "package: opened",
                "ProductCode: \"" + Narrow(kCore.c_str()) + "\"",
                "UpgradeCode: \"" + Narrow(kUpgrade.c_str()) + "\"",
                "ProductVersion: \"7.1\"",
                "key file: KELD.DLL has version \"2.0.0.0\" in the package",
                "installed state: 5 (installed)",
                "installed product: \"" + Narrow(kCore.c_str()) + "\" has version \"7.1\"",
                "cached package: \"" + Narrow(Package("cached_older.msi").c_str()) + "\"",
                "cached key file: KELD.DLL has version \"1.9.9.9\"",
                "decision: cached key file \"1.9.9.9\" older than \"2.0.0.0\", so remove first "
                "and install",
            }));
  EXPECT_EQ(Inspect(Package("corrupt.msi")).record,
            (std::vector<std::string>{"package: could not be opened: 1627 (ERROR_FUNCTION_FAILED)",
                                      "decision: package could not be opened, so install"}));
}

TEST_F(InspectTest, NotInstalledAsksNothingMore) {
  Decision decision = Inspect(Package("package.msi"));
  EXPECT_EQ(kPackageActionInstall, decision.action);
  EXPECT_EQ(1u, host::MsiCallsOf("MsiQueryProductStateW").size());
  EXPECT_TRUE(host::MsiCallsOf("MsiEnumRelatedProductsW").empty());
  EXPECT_TRUE(host::MsiCallsOf("MsiGetProductInfoW").empty());
}

TEST_F(InspectTest, UnopenablePackageAsksTheInstallerNothing) {
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
  Inspect(Package("corrupt.msi"));
  EXPECT_TRUE(host::MsiCallsOf("MsiQueryProductStateW").empty());
  // The one open of the package is read-only (persist mode 0).
  std::vector<host::MsiCall> opens = host::MsiCallsOf("MsiOpenDatabaseW");
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ(u"0", opens[0].args[1]);
}

TEST_F(InspectTest, DifferingVersionDoesNotAskForTheCachedPackage) {
  host::AddProduct(Installed(kCore, kUpgrade, u"7.2", Package("cached_older.msi")));
  Inspect(Package("package.msi"));
  std::vector<host::MsiCall> infos = host::MsiCallsOf("MsiGetProductInfoW");
  ASSERT_EQ(1u, infos.size());
  EXPECT_EQ(u"VersionString", infos[0].args[1]);
}

TEST_F(InspectTest, OnlyTheEqualRelatedProductIsExamined) {
  // Two other products share the upgrade code; each would decide otherwise.
  host::AddProduct(Installed(kOther, kUpgrade, u"7.1", Package("cached_older.msi")));
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
  host::AddProduct(Installed(u"{07E40002-0000-4000-8000-000000000009}", kUpgrade, u"7.1",
                             Package("cached_older.msi")));
  Decision decision = Inspect(Package("package.msi"));
  EXPECT_EQ(kPackageActionSkip, decision.action);
  EXPECT_FALSE(decision.remove_first);
  for (const host::MsiCall& call : host::MsiCallsOf("MsiGetProductInfoW")) {
    EXPECT_EQ(kCore, call.args[0]) << "asked about another product";
  }
  // The decision ends the enumeration: indexes 0 and 1, no third step.
  EXPECT_EQ(2u, host::MsiCallsOf("MsiEnumRelatedProductsW").size());
}

TEST_F(InspectTest, WithoutADecisionEveryRelatedProductIsEnumerated) {
  host::AddProduct(Installed(kCore, kOther, u"7.1", Package("cached_equal.msi")));
  host::AddProduct(Installed(kOther, kUpgrade, u"7.1", Package("cached_equal.msi")));
  host::AddProduct(Installed(u"{07E40002-0000-4000-8000-000000000009}", kUpgrade, u"7.1",
                             Package("cached_equal.msi")));
  Decision decision = Inspect(Package("package.msi"));
  EXPECT_EQ(kPackageActionInstall, decision.action);
  std::vector<host::MsiCall> steps = host::MsiCallsOf("MsiEnumRelatedProductsW");
  ASSERT_EQ(3u, steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(kUpgrade, steps[i].args[0]);
    EXPECT_EQ(testing_support::Widen(std::to_string(i)), steps[i].args[2]);
  }
  EXPECT_EQ(static_cast<UINT>(ERROR_NO_MORE_ITEMS), steps[2].result);
  EXPECT_TRUE(host::MsiCallsOf("MsiGetProductInfoW").empty());
}

TEST_F(InspectTest, EnumerationEndsAtTheFirstFailure) {
  host::AddProduct(Installed(kOther, kUpgrade, u"7.1", Package("cached_equal.msi")));
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
  // The second step fails with something other than "no more items".
  host::FailCall("MsiEnumRelatedProductsW", 2, ERROR_INVALID_PARAMETER);
  Decision decision = Inspect(Package("package.msi"));
  EXPECT_EQ(kPackageActionInstall, decision.action);
  EXPECT_FALSE(decision.remove_first);
  EXPECT_EQ(2u, host::MsiCallsOf("MsiEnumRelatedProductsW").size());
}

TEST_F(InspectTest, BothDatabasesAreOpenedReadOnlyAndClosedOnce) {
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
  Inspect(Package("package.msi"));
  std::vector<host::MsiCall> opens = host::MsiCallsOf("MsiOpenDatabaseW");
  ASSERT_EQ(2u, opens.size());
  EXPECT_EQ(Package("package.msi"), opens[0].args[0]);
  EXPECT_EQ(Package("cached_equal.msi"), opens[1].args[0]);
  for (const host::MsiCall& open : opens) EXPECT_EQ(u"0", open.args[1]);
}

TEST_F(InspectTest, PackageIsClosedBeforeTheStateQuery) {
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
  Inspect(Package("package.msi"));
  // Between the state query and the first open of the package, every handle
  // opened was closed again: count opens and closes up to the query.
  int open = 0;
  for (const host::MsiCall& call : host::MsiCalls()) {
    if (call.function == "MsiQueryProductStateW") break;
    if (call.function == "MsiOpenDatabaseW" || call.function == "MsiDatabaseOpenViewW" ||
        call.function == "MsiViewFetch") {
      if (call.result == ERROR_SUCCESS) ++open;
    }
    if (call.function == "MsiCloseHandle" && call.result == ERROR_SUCCESS) --open;
  }
  EXPECT_EQ(0, open);
}

// Every installer call of a full inspection fails once in turn. Whatever fails,
// no handle stays open, nothing is closed twice, the product code is the
// package's or empty, and a fault never turns "current" into "remove first".
TEST_F(InspectTest, EachFailingCallInTurn) {
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
  Inspect(Package("package.msi"));
  const std::vector<host::MsiCall> sequence = host::MsiCalls();
  ASSERT_GT(sequence.size(), 10u);

  std::vector<std::pair<std::string, int>> occurrences;
  std::map<std::string, int> seen;
  for (const host::MsiCall& call : sequence) {
    if (call.function == "MsiCloseHandle") continue;
    occurrences.push_back({call.function, ++seen[call.function]});
  }
  for (const auto& [function, nth] : occurrences) {
    SCOPED_TRACE(function + " #" + std::to_string(nth));
    host::ResetMsi();
    host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
    UINT code = ERROR_FUNCTION_FAILED;
    if (function == "MsiQueryProductStateW") code = static_cast<UINT>(INSTALLSTATE_UNKNOWN);
    if (function == "MsiCreateRecord") code = 0;
    host::FailCall(function, nth, code);
    Decision decision = Inspect(Package("package.msi"));
    EXPECT_EQ(handles_before_, host::OpenHandleCount());
    EXPECT_EQ(bad_closes_before_, host::BadCloseCount());
    EXPECT_FALSE(decision.remove_first) << Describe(decision);
    EXPECT_TRUE(decision.product_code.empty() || decision.product_code == kCore)
        << Describe(decision);
    if (function == "MsiOpenDatabaseW" && nth == 1) {
      EXPECT_EQ(u"", decision.product_code);
      EXPECT_EQ(kPackageActionInstall, decision.action);
    }
    if (function == "MsiQueryProductStateW" || function == "MsiEnumRelatedProductsW" ||
        (function == "MsiOpenDatabaseW" && nth == 2)) {
      EXPECT_EQ(kPackageActionInstall, decision.action) << Describe(decision);
    }
  }
}

// The run acts on each entry's own decision, and nothing carries over.
class RunWithInspectionTest : public InspectTest {
 protected:
  void SetUp() override {
    InspectTest::SetUp();
    host::SetModuleFileName(WindowsPath("run/mivoboot.exe"));
    host::SetUserDefaultLCID(1033);
    // The logs go to a folder that exists, as the run's temporary folder must.
    std::filesystem::create_directories(TempFolderOfTest());
    host::SetEnvironmentVariable(u"TMP", Widen(TempLog("")).c_str());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(TempFolderOfTest(), ignored);
    InspectTest::TearDown();
  }

  static std::filesystem::path TempFolderOfTest() {
    return std::filesystem::temp_directory_path() /
           ("mivo-inspect-" + std::to_string(GetCurrentProcessId()));
  }
  // A file of that folder as the run names it (the folder itself for "").
  static std::string TempLog(const std::string& name) {
    std::string path = "Z:" + TempFolderOfTest().string() + (name.empty() ? "" : "/" + name);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
  }

  // The calls of the installer service that log or act, in order, as text:
  // "log PATH", "remove PRODUCT LEVEL STATE PROPERTIES", "install PACKAGE PROPERTIES".
  static std::vector<std::string> Actions() {
    std::vector<std::string> actions;
    for (const host::MsiCall& call : host::MsiCalls()) {
      std::string text;
      if (call.function == "MsiEnableLogW") {
        text = "log " + Narrow(call.args.at(1).c_str());
      } else if (call.function == "MsiConfigureProductExW") {
        text = "remove";
      } else if (call.function == "MsiInstallProductW") {
        text = "install";
      } else {
        continue;
      }
      if (call.function != "MsiEnableLogW") {
        for (const std::u16string& arg : call.args) text += " [" + Narrow(arg.c_str()) + "]";
      }
      actions.push_back(text);
    }
    return actions;
  }

  static std::string Remove(const std::u16string& product) {
    return "remove [" + Narrow(product.c_str()) + "] [0] [2] [" +
           testing_support::kRemoveProperties + "]";
  }
  static std::string Install(const char* package) {
    return "install [" + Narrow(WindowsPath(package).c_str()) + "] [" +
           testing_support::kInstallProperties + "]";
  }
};

TEST_F(RunWithInspectionTest, SkippedCoreThenRemoveFirstPack) {
  host::AddProduct(Installed(kCore, kUpgrade, u"7.1", Package("cached_equal.msi")));
  host::AddProduct(Installed(kPack, kPackUpgrade, u"7.1", Package("pack_cached_older.msi")));
  RunSetup(u"");
  // The current core gets no log call; the removal logs apart from the
  // installation.
  const std::vector<std::string> expected = {
      "log " + TempLog("MIVO_1033Remove.log"),
      Remove(kPack),
      "log " + TempLog("MIVO_1033Install.log"),
      Install("run/mivo_1033.msi"),
  };
  EXPECT_EQ(expected, Actions());
}

}  // namespace
