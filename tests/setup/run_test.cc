// The setup run on the host, against the installer-service fake: the order of
// the installer calls, the decisions carried out, failures that do not stop the
// run, the executable's folder, the log paths and the run record.
#include "setup/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "mivocheck/result.h"
#include "platform/host/host_control.h"
#include "platform/host/msi_calls.h"
#include "platform/host/msi_control.h"
#include "setup/product_version.h"
#include "setup/temp_folder.h"
#include "tests/support/fake_products.h"
#include "tests/support/setup_run.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::CountOf;
using testing_support::DriverCalls;
using testing_support::InstallCoreWithOlderCachedKeyFile;
using testing_support::kCoreCode;
using testing_support::kCoreUpgrade;
using testing_support::kInstallProperties;
using testing_support::kRemoveProperties;
using testing_support::kSilent;
using testing_support::Narrow;
using testing_support::RunSetupTest;
using testing_support::Widen;

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

// A current product gets no log call, so the log of its last installation
// stays as it was.
TEST_F(RunSetupTest, CurrentProductsAreLeftAloneWithoutALogCall) {
  RunSetup(u"1036");
  ASSERT_EQ(host::Products().size(), 3u);
  host::ResetMsiCalls();
  RunSetup(u"1036");
  EXPECT_EQ(DriverCalls(), (std::vector<std::string>{kSilent}));
  EXPECT_EQ(host::OpenHandleCount(), 0);
}

// An installed core product of the same version whose cached key file is
// older: removed by the package's product code into a log of its own, then
// installed; the next entry starts afresh.
TEST_F(RunSetupTest, RemoveFirstAppliesToItsOwnEntryOnly) {
  InstallCoreWithOlderCachedKeyFile();
  RunSetup(u"");
  EXPECT_EQ(DriverCalls(),
            (std::vector<std::string>{
                kSilent, Log("MIVORemove.log"),
                std::string("MsiConfigureProductExW ") + kCoreCode + "|0|2|" + kRemoveProperties,
                Log("MIVOInstall.log"), Install("mivo.msi"), Log("MIVO_1031Install.log"),
                Install("mivo_1031.msi")}));
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
                kSilent, Log("MIVORemove.log"),
                std::string("MsiConfigureProductExW ") + kCoreCode + "|0|2|" + kRemoveProperties,
                Log("MIVOInstall.log"), Install("mivo.msi"), Log("MIVO_1036Install.log"),
                Install("mivo_1036.msi"), Log("MIVO_1031Install.log"), Install("mivo_1031.msi")}));
  EXPECT_TRUE(host::Sleeps().empty()) << "a failure other than a busy installer was waited for";
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
  EXPECT_EQ(
      DriverCalls(),
      (std::vector<std::string>{
          kSilent, Log("MIVOInstall.log"),
          std::string("MsiInstallProductW C:\\Nowhere\\mivo.msi|") + kInstallProperties,
          Log("MIVO_2052Install.log"),
          std::string("MsiInstallProductW C:\\Nowhere\\mivo_2052.msi|") + kInstallProperties,
          Log("MIVO_1031Install.log"),
          std::string("MsiInstallProductW C:\\Nowhere\\mivo_1031.msi|") + kInstallProperties}));
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

// The value of TMP is copied, never read as format text.
TEST_F(RunSetupTest, LogPathsHoldTheValueOfTmpUnchanged) {
  for (const char* name : {"%s%n\\%d", "100%", "%USERNAME%"}) {
    SCOPED_TRACE(name);
    host::ResetMsi();
    std::string native_name = name;
    std::replace(native_name.begin(), native_name.end(), '\\', '/');
    std::filesystem::create_directories(scratch_ / "tmp" / native_name);
    std::string folder = tmp_ + "\\" + name;
    host::SetEnvironmentVariable(u"USERNAME", u"oops");
    host::SetEnvironmentVariable(u"TMP", Widen(folder).c_str());
    RunSetup(u"");
    std::vector<host::MsiCall> logs = host::MsiCallsOf("MsiEnableLogW");
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(Narrow(logs[0].args[1].c_str()), folder + "\\MIVOInstall.log");
    EXPECT_EQ(Narrow(logs[1].args[1].c_str()), folder + "\\MIVO_1031Install.log");
  }
}

// The run's temporary folder: TMP's when it is a full path of an existing
// folder that can hold the record, else TEMP's, else the user's own under
// LOCALAPPDATA, without trailing backslashes. It holds the record and every
// log and becomes the process's TMP and TEMP. The start line names it; a line
// says why TMP's was not used. Without any, the installations run without a
// log. Finding the folder alone leaves no file behind.
TEST_F(RunSetupTest, TheTemporaryFolderIsTheFirstThatCanHoldTheRecord) {
  std::filesystem::create_directories(scratch_ / "temp");
  std::filesystem::create_directories(scratch_ / "local" / "Temp");
  const std::string temp = WindowsPathOf(scratch_ / "temp");
  const std::string local = WindowsPathOf(scratch_ / "local");
  const std::string gone = tmp_ + "\\gone";
  std::string forward = tmp_;
  std::replace(forward.begin(), forward.end(), '\\', '/');
  struct Row {
    const char* name;
    std::string tmp, temp, local;  // "-": not set
    bool tmp_denies_writes;
    std::string used;  // "": none
    std::string why;   // the line after the start line that explains, "": none
  };
  const std::string uses_temp = "; the run uses %TEMP% instead";
  const Row rows[] = {
      {"TMP usable", tmp_, temp, local, false, tmp_, ""},
      {"TMP with trailing backslashes", tmp_ + "\\\\", temp, local, false, tmp_, ""},
      {"TMP with forward slashes", forward + "/", temp, local, false, forward, ""},
      {"TMP names no folder", gone, temp, local, false, temp,
       "temporary folder: TMP names \"" + gone + "\", which is not an existing folder" + uses_temp},
      {"TMP names a file", tmp_ + "\\..\\run\\mivo.msi", temp, "-", false, temp,
       "temporary folder: TMP names \"" + tmp_ +
           "\\..\\run\\mivo.msi\", which is not an "
           "existing folder" +
           uses_temp},
      {"TMP relative", "tmp", temp, local, false, temp,
       "temporary folder: TMP names \"tmp\", which is not a full path" + uses_temp},
      {"TMP on a drive without a backslash", "Z:tmp", temp, local, false, temp,
       "temporary folder: TMP names \"Z:tmp\", which is not a full path" + uses_temp},
      {"TMP a server without a share", "\\\\server\\", temp, local, false, temp,
       "temporary folder: TMP names \"\\\\server\\\", which is not a full path" + uses_temp},
      {"TMP a share that is not there", "\\\\server\\share\\", temp, local, false, temp,
       "temporary folder: TMP names \"\\\\server\\share\", which is not an existing folder" +
           uses_temp},
      {"TMP cannot be written", tmp_, temp, local, true, temp,
       "temporary folder: TMP names \"" + tmp_ + "\", which cannot hold the record" + uses_temp},
      {"neither TMP nor TEMP", "-", "-", local, false, local + "\\Temp",
       "temporary folder: TMP names \"\", which is not set; the run uses "
       "%LOCALAPPDATA%\\Temp instead"},
      {"TMP empty, TEMP unusable", "", gone, local, false, local + "\\Temp",
       "temporary folder: TMP names \"\", which is not set; the run uses "
       "%LOCALAPPDATA%\\Temp instead"},
      {"none usable", gone, "-", gone, false, "", ""},
  };
  auto set = [](const char16_t* name, const std::string& value) {
    host::SetEnvironmentVariable(name, value == "-" ? nullptr : Widen(value).c_str());
  };
  auto native_record = [](const std::string& windows_folder) {
    std::string path = windows_folder.substr(2) + "\\MIVOSetup.log";
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StartAfresh();
    for (const std::string& folder : {tmp_, temp, local + "\\Temp"}) {
      std::filesystem::remove(native_record(folder));
    }
    set(u"TMP", row.tmp);
    set(u"TEMP", row.temp);
    set(u"LOCALAPPDATA", row.local);
    if (row.tmp_denies_writes) host::DenyWritesIn(Widen(tmp_), true);

    EXPECT_EQ(Narrow(TempFolder()), row.used);
    for (const std::string& folder : {tmp_, temp, local + "\\Temp"}) {
      EXPECT_FALSE(std::filesystem::exists(native_record(folder))) << "left behind in " << folder;
    }

    RunSetup(u"");
    std::vector<std::string> logs;
    for (const host::MsiCall& call : host::MsiCallsOf("MsiEnableLogW")) {
      logs.push_back(Narrow(call.args[1].c_str()));
    }
    std::vector<std::string> installs;
    for (const host::MsiCall& call : host::MsiCallsOf("MsiInstallProductW")) {
      installs.push_back(Narrow(call.args[0].c_str()) + " -> " + std::to_string(call.result));
    }
    EXPECT_EQ(installs, (std::vector<std::string>{PackagePath("mivo.msi") + " -> 0",
                                                  PackagePath("mivo_1031.msi") + " -> 0"}));
    if (row.used.empty()) {
      // No log, no record, and TMP and TEMP as they were.
      EXPECT_EQ(logs, (std::vector<std::string>{"(null)", "(null)"}));
      EXPECT_EQ(CountOf("MsiEnableLogW"), 2);
      EXPECT_EQ(host::MsiCallsOf("MsiEnableLogW").at(0).args[0], u"0");
      for (const std::string& folder : {tmp_, temp, local + "\\Temp"}) {
        EXPECT_FALSE(std::filesystem::exists(native_record(folder))) << folder;
      }
      CString tmp(WTEXT("%TMP%"));
      ExpandEnvironment(tmp);
      EXPECT_EQ(Narrow(tmp), row.tmp);
      continue;
    }
    EXPECT_EQ(logs, (std::vector<std::string>{row.used + "\\MIVOInstall.log",
                                              row.used + "\\MIVO_1031Install.log"}));
    std::vector<std::string> lines = testing_support::RecordLines(native_record(row.used));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(lines[0].find(", temporary folder ")),
              ", temporary folder \"" + row.used + "\"");
    if (row.why.empty()) {
      EXPECT_EQ(lines[1].rfind("mivo.msi: plan: ", 0), 0u) << lines[1];
    } else {
      EXPECT_EQ(lines[1], row.why);
    }
    EXPECT_EQ(lines.back(), "end: 2 installed, 0 removed, 0 left alone, 0 ms");
    for (const char16_t* name : {u"%TMP%", u"%TEMP%"}) {
      CString value(name);
      ExpandEnvironment(value);
      EXPECT_EQ(Narrow(value), row.used) << Narrow(name);
    }
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

// Lines of `lines` that begin with `prefix`.
std::vector<std::string> Starting(const std::vector<std::string>& lines,
                                  const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

// Lines of `lines` that hold `text`.
std::vector<std::string> Containing(const std::vector<std::string>& lines,
                                    const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) out.push_back(line);
  }
  return out;
}

// A removal or installation that cannot create its log (1622) is made once
// more without one, and only once; the record says so.
TEST_F(RunSetupTest, ACallThatCannotCreateItsLogIsMadeOnceMoreWithoutOne) {
  struct Row {
    const char* name;
    bool removal;
    int failing_calls;  // the first N calls of the function answer 1622
    std::vector<std::string> calls;
    std::string end;
  };
  const std::string remove =
      std::string("MsiConfigureProductExW ") + kCoreCode + "|0|2|" + kRemoveProperties;
  const std::string no_log = "MsiEnableLogW 0|(null)|0";
  const Row rows[] = {
      {"installation",
       false,
       1,
       {kSilent, Log("MIVOInstall.log"), Install("mivo.msi"), no_log, Install("mivo.msi"),
        Log("MIVO_1031Install.log"), Install("mivo_1031.msi")},
       "end: 2 installed, 0 removed, 0 left alone, 0 ms"},
      {"removal",
       true,
       1,
       {kSilent, Log("MIVORemove.log"), remove, no_log, remove, Log("MIVOInstall.log"),
        Install("mivo.msi"), Log("MIVO_1031Install.log"), Install("mivo_1031.msi")},
       "end: 2 installed, 1 removed, 0 left alone, 0 ms"},
      {"installation that answers 1622 again",
       false,
       2,
       {kSilent, Log("MIVOInstall.log"), Install("mivo.msi"), no_log, Install("mivo.msi"),
        Log("MIVO_1031Install.log"), Install("mivo_1031.msi")},
       "end: 1 installed, 0 removed, 0 left alone, 1 failed, 0 ms"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StartAfresh();
    if (row.removal) InstallCoreWithOlderCachedKeyFile();
    for (int n = 1; n <= row.failing_calls; ++n) {
      host::FailCall(row.removal ? "MsiConfigureProductExW" : "MsiInstallProductW", n, 1622);
    }
    RunSetup(u"");
    EXPECT_EQ(DriverCalls(), row.calls);
    std::vector<std::string> lines = Record();
    const std::string call = row.removal ? "removal" : "installation";
    EXPECT_EQ(Containing(lines, "mivo.msi: log: "),
              (std::vector<std::string>{"mivo.msi: log: the installer cannot create the log "
                                        "(1622); the " +
                                        call + " is tried once more without a log"}));
    std::vector<std::string> calls = Starting(lines, "mivo.msi: " + call + ": ");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0].find(".log\"): 1622 (ERROR_INSTALL_LOG_FAILURE)"), std::string::npos)
        << calls[0];
    EXPECT_NE(calls[1].find("(log \"\"): " +
                            std::string(row.failing_calls == 2 ? "1622 (ERROR_" : "0 (success)")),
              std::string::npos)
        << calls[1];
    EXPECT_EQ(lines.back(), row.end);
  }
}

// The run record explains a first run, a second run and a run that removes
// first, with failing installer calls among them: the plan and its rules, each
// decision with its reason, each installer call with its result, the counts.
TEST_F(RunSetupTest, RecordExplainsEachRun) {
  const std::string core = "mivo.msi: ";
  const std::string pack = "mivo_1036.msi: ";
  RunSetup(u"1036");
  std::vector<std::string> first = Record();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front(), "start: mivoboot " MIVO_VERSION_TEXT ", executable \"" + folder_ +
                               "mivoboot.exe\", arguments \"1036\", user default LCID 1031, "
                               "temporary folder \"" +
                               tmp_ + "\"");
  EXPECT_EQ(Containing(first, ": plan: "),
            (std::vector<std::string>{
                "mivo.msi: plan: core package, package \"" + PackagePath("mivo.msi") +
                    "\", key file KELD.DLL, log \"" + tmp_ + "\\MIVOInstall.log\"",
                "mivo_1036.msi: plan: language from the command line, package \"" +
                    PackagePath("mivo_1036.msi") + "\", key file KELDINTL.DLL, log \"" + tmp_ +
                    "\\MIVO_1036Install.log\"",
                "mivo_1031.msi: plan: language of the user's default locale, package \"" +
                    PackagePath("mivo_1031.msi") + "\", key file KELDINTL.DLL, log \"" + tmp_ +
                    "\\MIVO_1031Install.log\""}));
  EXPECT_EQ(Starting(first, core + "decision"),
            (std::vector<std::string>{core + "decision: not installed, so install"}));
  EXPECT_EQ(Starting(first, core + "installation"),
            (std::vector<std::string>{core + "installation: \"" + PackagePath("mivo.msi") +
                                      "\" (log \"" + tmp_ + "\\MIVOInstall.log\"): 0 (success)"}));
  EXPECT_EQ(first.back(), "end: 3 installed, 0 removed, 0 left alone, 0 ms");

  // A second run leaves everything alone and appends to the same record.
  RunSetup(u"1036");
  std::vector<std::string> both = Record();
  ASSERT_GT(both.size(), first.size());
  std::vector<std::string> second(both.begin() + static_cast<long>(first.size()), both.end());
  EXPECT_EQ(Starting(second, pack + "decision"),
            (std::vector<std::string>{pack + "decision: current, so leave alone"}));
  EXPECT_TRUE(Starting(second, pack + "installation").empty());
  EXPECT_EQ(second.back(), "end: 0 installed, 0 removed, 3 left alone, 0 ms");
  // A run in which nothing failed reads as such to a log viewer.
  for (const std::string& line : both) {
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(lower.find("error"), std::string::npos) << line;
    EXPECT_EQ(lower.find("fail"), std::string::npos) << line;
  }

  // The core is removed first, the removal fails and the installations fail
  // or are refused: each result with its name, each entry counted once.
  StartAfresh();
  InstallCoreWithOlderCachedKeyFile();
  host::FailCall("MsiConfigureProductExW", 1, 1603);
  host::FailCall("MsiInstallProductW", 2, 1638);
  host::FailCall("MsiInstallProductW", 3, 3010);
  RunSetup(u"1036");
  std::vector<std::string> third = Record();
  EXPECT_EQ(Starting(third, core + "decision"),
            (std::vector<std::string>{
                core + "decision: cached key file \"7.0.0.1\" older than \"7.1.0.3\", so remove "
                       "first and install"}));
  EXPECT_EQ(Starting(third, core + "removal"),
            (std::vector<std::string>{core + "removal: \"" + kCoreCode + "\" (log \"" + tmp_ +
                                      "\\MIVORemove.log\"): 1603 (ERROR_INSTALL_FAILURE)"}));
  EXPECT_EQ(Starting(third, pack + "installation"),
            (std::vector<std::string>{pack + "installation: \"" + PackagePath("mivo_1036.msi") +
                                      "\" (log \"" + tmp_ +
                                      "\\MIVO_1036Install.log\"): 1638 (ERROR_PRODUCT_VERSION)"}));
  EXPECT_EQ(Starting(third, "mivo_1031.msi: installation").size(), 1u);
  EXPECT_NE(
      Starting(third, "mivo_1031.msi: installation")[0].find("): 3010 (success, reboot needed)"),
      std::string::npos);
  // 3010 is a success that a restart completes. The core's removal failed, so
  // its installation finds the core installed from another package and is
  // refused, as Windows refuses it; the core and the refused pack fail.
  EXPECT_EQ(
      Starting(third, core + "installation"),
      (std::vector<std::string>{core + "installation: \"" + PackagePath("mivo.msi") + "\" (log \"" +
                                tmp_ + "\\MIVOInstall.log\"): 1638 (ERROR_PRODUCT_VERSION)"}));
  EXPECT_EQ(third.back(),
            "end: 1 installed, 0 removed, 0 left alone, 1 needing a restart, 2 failed, 0 ms");
  // Exactly the failed calls name an ERROR_ result.
  EXPECT_EQ(Containing(third, "ERROR_"),
            (std::vector<std::string>{Starting(third, core + "removal")[0],
                                      Starting(third, core + "installation")[0],
                                      Starting(third, pack + "installation")[0]}));

  // A run whose only news is a restart to come says so, and nothing of errors.
  StartAfresh();
  host::FailCall("MsiInstallProductW", 2, 3010);
  RunSetup(u"");
  std::vector<std::string> fourth = Record();
  ASSERT_FALSE(fourth.empty());
  EXPECT_EQ(fourth.back(), "end: 2 installed, 0 removed, 0 left alone, 1 needing a restart, 0 ms");
  for (const std::string& line : fourth) {
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(lower.find("error"), std::string::npos) << line;
    EXPECT_EQ(lower.find("fail"), std::string::npos) << line;
  }
}

// The core package's removal and installation results as the record gives
// them ("removal 1605 (ERROR_UNKNOWN_PRODUCT)"), in order.
std::vector<std::string> CoreResults(const std::vector<std::string>& record) {
  std::vector<std::string> out;
  for (const std::string& line : record) {
    for (const char* what : {"removal", "installation"}) {
      if (line.rfind(std::string("mivo.msi: ") + what + ": ", 0) != 0) continue;
      size_t at = line.rfind("): ");
      out.push_back(std::string(what) + " " +
                    (at == std::string::npos ? line : line.substr(at + 3)));
    }
  }
  return out;
}

// The installer answers the run as Windows Installer answers it: another
// version or package of an installed product is refused, the same package
// changes nothing, a product removed meanwhile is unknown, a removal without
// its cached package or source cannot run, a log that cannot be created fails
// the call, and a package that asks for a restart never gets one.
TEST_F(RunSetupTest, TheInstallerAnswersAsWindowsDoes) {
  const std::string cache = (scratch_ / "cache").string();
  const std::string packages = SETUP_PACKAGE_DIR;
  // Points the run's core package at `package`.
  auto use_core = [&](const std::string& package) {
    for (const std::string& name : {std::string("run/mivo.msi"), std::string("run\\mivo.msi")}) {
      std::filesystem::remove(scratch_ / name);
      std::filesystem::create_symlink(package, scratch_ / name);
    }
  };
  // The core installed at `version` with `cached` as its cached package.
  auto core_installed = [&](const char16_t* version, const std::string& cached) {
    host::AddProduct(testing_support::InstalledProduct(Widen(kCoreCode), Widen(kCoreUpgrade),
                                                       version, Widen(cached)));
  };
  struct Row {
    const char* name;
    std::function<void()> world;
    std::vector<std::string> core_results;
    const char* core_version_after;  // null: the core is not installed after the run
    size_t source_dialogs = 0;       // shown to the user, each cancelled
    const char* end_says = nullptr;  // a part of the end line
  };
  const Row rows[] = {
      {"another version of the core installed: refused, nothing changes",
       [&] { core_installed(u"7.0.0", packages + "/cached/core_oldkey.msi"); },
       {"installation 1638 (ERROR_PRODUCT_VERSION)"},
       "7.0.0"},
      {"the core at the same version from another package, its cache gone: refused",
       [&] { core_installed(u"7.1.0", cache + "/gone.msi"); },
       {"installation 1638 (ERROR_PRODUCT_VERSION)"},
       "7.1.0"},
      {"the same package, its cache gone: maintenance mode changes nothing",
       [&] {
         RunSetup(u"");
         std::filesystem::remove(Narrow(host::Products().at(0).local_package.c_str()));
         host::ResetMsiCalls();
         std::filesystem::remove(RecordFile());
       },
       {"installation 0 (success)"},
       "7.1.0"},
      {"removed by another process after the inspection: unknown, then installed",
       [&] {
         InstallCoreWithOlderCachedKeyFile();
         host::BeforeCall("MsiConfigureProductExW", 1,
                          [] { host::ForgetProduct(Widen(kCoreCode)); });
       },
       {"removal 1605 (ERROR_UNKNOWN_PRODUCT)", "installation 0 (success)"},
       "7.1.0"},
      {"cached package deleted after the inspection, no source: a source dialog, cancelled",
       [&] {
         std::filesystem::copy_file(packages + "/cached/core_oldkey.msi", cache + "/old.msi");
         core_installed(u"7.1.0", cache + "/old.msi");
         host::BeforeCall("MsiConfigureProductExW", 1,
                          [&] { std::filesystem::remove(cache + "/old.msi"); });
       },
       {"removal 1602 (ERROR_INSTALL_USEREXIT)", "installation 1638 (ERROR_PRODUCT_VERSION)"},
       "7.1.0",
       1,
       "1 failed"},
      {"a package with ForceReboot: suspended, finished by a restart, not a failure",
       [&] { use_core(packages + "/reboot/force/mivo.msi"); },
       {"installation 1604 (suspended, finishes after a restart)"},
       "7.1.0",
       0,
       "2 installed, 0 removed, 0 left alone, 1 needing a restart, "},
      {"DisableMSI=1, not elevated: refused by policy",
       [&] { host::SetInstallerPolicy(1, 0); },
       {"installation 1625 (ERROR_INSTALL_PACKAGE_REJECTED)"},
       nullptr},
      {"DisableUserInstalls=1: refused by policy",
       [&] { host::SetInstallerPolicy(0, 1); },
       {"installation 1625 (ERROR_INSTALL_PACKAGE_REJECTED)"},
       nullptr},
      {"a per-machine core, not elevated: a fatal error",
       [&] { use_core(packages + "/fake/machine.msi"); },
       {"installation 1603 (ERROR_INSTALL_FAILURE)"},
       nullptr},
      {"the installer cannot write its temporary files",
       [&] { host::SetInstallerTempWritable(false); },
       {"installation 1632 (ERROR_INSTALL_TEMP_UNWRITABLE)"},
       nullptr},
      {"a cached package that schedules a restart: removed, restart suppressed",
       [&] { core_installed(u"7.1.0", packages + "/reboot/core_oldkey.msi"); },
       {"removal 3010 (success, reboot needed)", "installation 0 (success)"},
       "7.1.0"},
      {"a package that schedules a restart: installed, restart suppressed",
       [&] { use_core(packages + "/reboot/mivo.msi"); },
       {"installation 3010 (success, reboot needed)"},
       "7.1.0"},
      {"the log cannot be created where it is named",
       [&] { std::filesystem::create_directories(scratch_ / "tmp" / "MIVOInstall.log"); },
       {"installation 1622 (ERROR_INSTALL_LOG_FAILURE)", "installation 0 (success)"},
       "7.1.0"},
      // The record, opened for each line, loses the lines written meanwhile.
      {"the temporary folder cannot be written during the first installation call",
       [&] {
         host::BeforeCall("MsiInstallProductW", 1, [&] { host::DenyWritesIn(Widen(tmp_), true); });
         host::BeforeCall("MsiInstallProductW", 2, [&] { host::DenyWritesIn(Widen(tmp_), false); });
       },
       {"installation 0 (success)"},
       "7.1.0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StartAfresh();
    std::filesystem::remove_all(scratch_ / "tmp" / "MIVOInstall.log");
    use_core(packages + "/run/mivo.msi");
    row.world();
    std::vector<host::FakeProduct> before = host::Products();
    RunSetup(u"");
    EXPECT_EQ(CoreResults(Record()), row.core_results);
    EXPECT_TRUE(host::Restarts().empty()) << host::Restarts().front();
    EXPECT_EQ(host::SourceDialogs().size(), row.source_dialogs);
    if (row.end_says) {
      ASSERT_FALSE(Record().empty());
      EXPECT_NE(Record().back().find(row.end_says), std::string::npos) << Record().back();
    }
    // A suspended installation gives deployment tools the code of a restart.
    if (row.core_results.back().find(" 1604 ") != std::string::npos) {
      EXPECT_EQ(mivocheck::ResultOfNewestRecord().code, 3010u);
    }
    EXPECT_EQ(host::OpenHandleCount(), 0);
    const host::FakeProduct* core = nullptr;
    for (const host::FakeProduct& product : host::Products()) {
      if (Narrow(product.product_code.c_str()) == kCoreCode) core = &product;
    }
    if (!row.core_version_after) {
      EXPECT_EQ(core, nullptr);
      continue;
    }
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(Narrow(core->version_string.c_str()), row.core_version_after);
    // A refused installation or a maintenance run leaves the product as it was.
    for (const host::FakeProduct& old : before) {
      if (Narrow(old.product_code.c_str()) != kCoreCode) continue;
      if (row.core_results.back().find(" 0 (success)") != std::string::npos &&
          row.core_results.size() > 1) {
        continue;  // removed and installed afresh
      }
      EXPECT_EQ(Narrow(core->local_package.c_str()), Narrow(old.local_package.c_str()));
      EXPECT_EQ(Narrow(core->package_code.c_str()), Narrow(old.package_code.c_str()));
    }
  }
}

// A line that would take the record over 1 MiB first makes it the older
// generation (MIVOSetup.log.1) and begins a new one: before the run's first
// line, or in the middle of the run. No byte of the earlier record is lost or
// moved: the older generation begins with it whole, and the two generations,
// older first, hold it and then the run's lines, from start to end.
TEST_F(RunSetupTest, AFullRecordBeginsANewGenerationAndKeepsEveryLine) {
  struct Row {
    size_t old_bytes;
    bool rotated;
  };
  const Row rows[] = {
      {1024 * 1024 - 64 * 1024, false}, {1024 * 1024 - 100, true}, {1536 * 1024, true}};
  const std::string older = RecordFile() + ".1";
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.old_bytes) + " bytes before the run");
    host::ResetMsi();
    host::SetPackageCacheFolder((scratch_ / "cache").string());
    std::filesystem::remove(older);
    // Lines of an earlier run, each one of the record's grammar.
    const std::string earlier = "mivo.msi: ProductVersion: \"earlier ";
    std::string old;
    for (int n = 0; old.size() < row.old_bytes; ++n) {
      old += "2026-01-01 00:00:00Z [7] " + earlier + std::to_string(n) + "\"\r\n";
    }
    {
      std::ofstream file(RecordFile(), std::ios::binary | std::ios::trunc);
      file << old;
    }
    RunSetup(u"");
    EXPECT_EQ(std::filesystem::exists(older), row.rotated);
    EXPECT_LE(std::filesystem::file_size(RecordFile()), kRunRecordLimit);
    std::vector<std::string> lines;
    if (row.rotated) {
      std::ifstream file(older, std::ios::binary);
      const std::string kept((std::istreambuf_iterator<char>(file)), {});
      EXPECT_EQ(kept.compare(0, old.size(), old), 0) << "the earlier record changed";
      lines = testing_support::RecordLines(older);
    }
    for (const std::string& line : Record()) lines.push_back(line);
    size_t start = 0;
    while (start < lines.size() && lines[start].rfind(earlier, 0) == 0) ++start;
    ASSERT_LT(start, lines.size());
    EXPECT_EQ(lines[start].rfind("start: ", 0), 0u) << lines[start];
    EXPECT_EQ(lines.back().rfind("end: 2 installed", 0), 0u) << lines.back();
    for (size_t i = start; i < lines.size(); ++i) EXPECT_NE(lines[i][0], '!') << lines[i];
  }
  std::filesystem::remove(older);
}

// The record never changes what the run does: with a record that cannot be
// opened, whose writes all fail, or that another process holds, the installer
// calls are those of a run whose record works, call for call.
TEST_F(RunSetupTest, AFailingRecordChangesNoInstallerCall) {
  auto run = [&](const std::function<void()>& fault) {
    StartAfresh();
    InstallCoreWithOlderCachedKeyFile();
    fault();
    RunSetup(u"1036");
    host::SetFileWriteFailure(false);
    host::HoldFileWithoutSharing(Widen(tmp_ + "\\MIVOSetup.log"), false);
    // Handles are numbered afresh by every run, so calls on handles are
    // compared by their function and result only.
    std::vector<std::string> calls;
    for (const host::MsiCall& call : host::MsiCalls()) {
      std::string line = call.function + " -> " + std::to_string(call.result);
      bool on_handle = call.function != "MsiOpenDatabaseW" && call.function != "MsiSetInternalUI" &&
                       call.function.find("Product") == std::string::npos &&
                       call.function != "MsiEnableLogW";
      if (on_handle) {
        calls.push_back(line);
        continue;
      }
      for (const std::u16string& arg : call.args) line += " |" + Narrow(arg.c_str());
      calls.push_back(line);
    }
    return calls;
  };
  const std::vector<std::string> working = run([] {});
  ASSERT_FALSE(Record().empty());
  ASSERT_GT(working.size(), 10u);
  struct Row {
    const char* name;
    std::function<void()> fault;
  };
  const Row rows[] = {
      {"every write fails", [] { host::SetFileWriteFailure(true); }},
      {"held without sharing",
       [&] { host::HoldFileWithoutSharing(Widen(tmp_ + "\\MIVOSetup.log"), true); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(run(row.fault), working);
    EXPECT_TRUE(Record().empty()) << "the record was written";
    EXPECT_EQ(host::OpenKernelHandleCount(), 0);
  }
}

// A run of the earlier release holds the record open without sharing delete,
// and its lock (one byte at 2^62) too, and never lets go (hung, or a file
// system that keeps it): the run waits for nothing, writes every line and
// makes the same installer calls as a run whose record is free.
TEST_F(RunSetupTest, ARecordHeldByAnEarlierReleaseDelaysNoLineAndChangesNoCall) {
  auto run = [&](bool held) {
    StartAfresh();
    InstallCoreWithOlderCachedKeyFile();
    HANDLE other = INVALID_HANDLE_VALUE;
    OVERLAPPED at = {};
    at.OffsetHigh = 0x40000000;
    if (held) {
      other = CreateFileW(Widen(tmp_ + "/MIVOSetup.log").c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
      EXPECT_TRUE(LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at));
    }
    RunSetup(u"1036");
    if (held) CloseHandle(other);
    std::vector<std::string> calls;
    for (const host::MsiCall& call : host::MsiCalls()) {
      calls.push_back(call.function + " -> " + std::to_string(call.result));
    }
    return calls;
  };
  const std::vector<std::string> free_calls = run(false);
  const std::vector<std::string> free_record = Record();
  EXPECT_TRUE(host::Sleeps().empty());
  EXPECT_EQ(run(true), free_calls);
  std::vector<std::string> record = Record();
  ASSERT_EQ(record.size(), free_record.size());
  for (size_t i = 0; i < record.size(); ++i) {
    EXPECT_EQ(record[i].substr(0, 12), free_record[i].substr(0, 12)) << record[i];
  }
  EXPECT_TRUE(host::Sleeps().empty());
}

// A record that the user may append to but not read (an administrator's
// rights on a shared folder) is what a run needs: the folder's check opens it
// as each line does, so TMP is used and every line of the run is written.
TEST_F(RunSetupTest, ARecordThatCanBeAppendedButNotReadHoldsTheRun) {
  const std::string earlier =
      "2026-01-01 00:00:00Z [7] end: 0 installed, 0 removed, 0 left alone, 5 ms\r\n";
  std::ofstream(RecordFile(), std::ios::binary | std::ios::trunc) << earlier;
  host::DenyReadsOf(Widen(tmp_ + "\\MIVOSetup.log"), true);
  EXPECT_EQ(Narrow(TempFolder()), tmp_);
  RunSetup(u"");
  host::DenyReadsOf(Widen(tmp_ + "\\MIVOSetup.log"), false);
  const std::vector<std::string> lines = Record();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind("start: ", 0), 0u) << lines[1];
  EXPECT_EQ(lines.back().rfind("end: 2 installed", 0), 0u) << lines.back();
}

// Without TMP the logs and the record go to TEMP's folder.
TEST_F(RunSetupTest, WithoutTmpTheRecordGoesToTheSystemsTemporaryFolder) {
  std::filesystem::create_directories(scratch_ / "temp");
  std::string temp = WindowsPathOf(scratch_ / "temp");
  host::SetEnvironmentVariable(u"TMP", nullptr);
  host::SetEnvironmentVariable(u"TEMP", Widen(temp).c_str());
  RunSetup(u"");
  std::vector<std::string> lines =
      testing_support::RecordLines((scratch_ / "temp" / "MIVOSetup.log").string());
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.front().find("temporary folder \"" + temp + "\""), std::string::npos);
  EXPECT_EQ(Narrow(host::MsiCallsOf("MsiEnableLogW").at(0).args[1].c_str()),
            temp + "\\MIVOInstall.log");
}

const char16_t kRunMutex[] = u"Local\\MivoSetupRun";

// A busy installer (1618) is waited out in steps of 2 s doubling up to 10 s,
// each wait less a random part of up to half its step, from one budget of 5
// minutes for the whole run; every call starts again at the first step; only
// 1618 is tried again. The process id and the tick count at the start fix the
// random part.
TEST_F(RunSetupTest, ABusyInstallerIsWaitedOutWithinTheBudget) {
  struct Row {
    const char* name;
    std::vector<int> busy_installs;  // the installation calls (from 1) that answer 1618
    int busy_removals;               // the first N removals answer 1618
    DWORD held_ms;                   // another run holds the lock this long first
    std::vector<DWORD> sleeps;
    std::vector<int> steps;  // the step of each wait; empty: 0, 1, 2, ... of one call
    DWORD spent;             // the sum of the waits
    int install_calls;
    int removal_calls;
    std::vector<std::string> left;  // what is left for the next run
  };
  const DWORD kBudget = 5 * 60 * 1000;
  // The waits of process 4242 started at the tick count 1000000.
  const std::vector<DWORD> whole_budget = {
      1944, 3558, 7211, 8271, 5497, 9589, 7780, 6769, 5538, 5890, 7970, 6887, 5153, 7896,
      8384, 8408, 9952, 7475, 8324, 6877, 9564, 7483, 8665, 5242, 6263, 7348, 5856, 7742,
      5296, 8060, 7284, 6764, 7753, 6541, 7731, 8900, 9075, 9799, 9335, 7970, 7956};
  std::vector<DWORD> after_another_run(whole_budget.begin(), whole_budget.begin() + 29);
  after_another_run.push_back(7168);
  std::vector<int> busy_for_good;
  for (int n = 1; n <= 1000; ++n) busy_for_good.push_back(n);
  const Row rows[] = {
      {"busy twice, then free; the next installation starts at the first step again",
       {1, 2, 4},
       0,
       0,
       {1944, 3558, 1803},
       {0, 1, 0},
       0,
       5,
       0,
       {}},
      {"busy for good: the waits stop at 5 minutes, the run goes on",
       busy_for_good,
       0,
       0,
       whole_budget,
       {},
       kBudget,
       41 + 1 + 1,
       0,
       {"mivo.msi: the installation", "mivo_1031.msi: the installation"}},
      {"a busy removal waits from the same budget",
       busy_for_good,
       1000,
       0,
       whole_budget,
       {},
       kBudget,
       1 + 1,
       41 + 1,
       {"mivo.msi: the removal", "mivo.msi: the installation", "mivo_1031.msi: the installation"}},
      {"waiting for another run spends the budget too",
       busy_for_good,
       0,
       90000,
       after_another_run,
       {},
       kBudget - 90000,
       30 + 1 + 1,
       0,
       {"mivo.msi: the installation", "mivo_1031.msi: the installation"}},
  };
  // The bounds of the steps: each wait is at most its step and at least half
  // of it, but for a last wait cut to what is left of the budget.
  const DWORD step_longest[] = {2000, 4000, 8000, 10000};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StartAfresh();
    host::SetProcessId(4242);
    if (row.busy_removals) InstallCoreWithOlderCachedKeyFile();
    for (int n : row.busy_installs) host::FailCall("MsiInstallProductW", n, 1618);
    for (int n = 1; n <= row.busy_removals; ++n) {
      host::FailCall("MsiConfigureProductExW", n, 1618);
    }
    if (row.held_ms) host::HoldMutexElsewhere(kRunMutex, row.held_ms, false);
    RunSetup(u"");
    const std::vector<DWORD>& sleeps = host::Sleeps();
    EXPECT_EQ(sleeps, row.sleeps);
    DWORD sum = 0;
    for (size_t i = 0; i < sleeps.size(); ++i) {
      SCOPED_TRACE("wait " + std::to_string(i));
      int step = row.steps.empty() ? static_cast<int>(i) : row.steps.at(i);
      DWORD longest = step_longest[std::min(step, 3)];
      EXPECT_LE(sleeps[i], longest);
      if (!(row.spent && i + 1 == sleeps.size())) {
        EXPECT_GE(sleeps[i], longest / 2);
      }
      sum += sleeps[i];
    }
    if (row.spent) {
      EXPECT_EQ(sum, row.spent);
    }
    if (!row.steps.empty()) {
      EXPECT_EQ(sleeps.size(), row.steps.size());
    }
    // Every wait is followed by a try again; a call made with the budget
    // spent gets one try.
    EXPECT_EQ(CountOf("MsiInstallProductW"), row.install_calls);
    EXPECT_EQ(CountOf("MsiConfigureProductExW"), row.removal_calls);
    // The record says how long each wait is and why, and what is left.
    std::vector<std::string> waits_recorded = Starting(Record(), "mivo.msi: wait: ");
    ASSERT_FALSE(waits_recorded.empty());
    ASSERT_FALSE(sleeps.empty());
    EXPECT_EQ(waits_recorded[0],
              "mivo.msi: wait: the installer is busy with another installation (1618); "
              "waiting " +
                  std::to_string(sleeps[0]) + " ms before the " +
                  (row.busy_removals ? "removal" : "installation") + " is tried again");
    std::vector<std::string> left;
    for (const std::string& line : Record()) {
      const std::string ending = " is left for the next run";
      if (line.size() > ending.size() &&
          line.compare(line.size() - ending.size(), ending.size(), ending) == 0) {
        std::string what = line.substr(0, line.size() - ending.size());
        const std::string why =
            "left: the installer is still busy and the run's waiting time "
            "is spent; ";
        size_t at = what.find(why);
        if (at != std::string::npos) what.erase(at, why.size());
        left.push_back(what);
      }
    }
    EXPECT_EQ(left, row.left);
  }
  // Any other failure is not tried again.
  for (UINT code : {1603u, 1638u, 1619u, 1602u}) {
    SCOPED_TRACE(code);
    StartAfresh();
    host::FailCall("MsiInstallProductW", 1, code);
    RunSetup(u"");
    EXPECT_TRUE(host::Sleeps().empty());
    EXPECT_EQ(CountOf("MsiInstallProductW"), 2);
  }
}

// One run at a time: a run waits for another one's lock out of the budget,
// takes an abandoned lock as free, goes on without it once the budget is
// spent, and lets go of it at its end.
TEST_F(RunSetupTest, OneRunAtATime) {
  struct Row {
    const char* name;
    DWORD held_ms;  // 0: free
    bool abandoned;
    const char* wait_line;  // null: none
  };
  const Row rows[] = {
      {"free", 0, false, nullptr},
      {"held by another run for 90 s", 90000, false,
       "lock: waited 90000 ms for another run of the setup to end"},
      {"held by a run that died", 5000, true,
       "lock: waited 5000 ms for another run of the setup to end"},
      {"held for good", INFINITE, false,
       "lock: another run of the setup is still going after 300000 ms; going on without waiting "
       "for it"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StartAfresh();
    if (row.held_ms) host::HoldMutexElsewhere(kRunMutex, row.held_ms, row.abandoned);
    RunSetup(u"");
    std::vector<std::string> lines = Record();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("start: ", 0), 0u);
    if (row.wait_line) {
      EXPECT_EQ(lines[1], row.wait_line);
    } else {
      EXPECT_EQ(lines[1].rfind("mivo.msi: plan: ", 0), 0u) << lines[1];
    }
    // The run still plans and installs, and ends holding nothing.
    EXPECT_EQ(CountOf("MsiInstallProductW"), 2);
    EXPECT_FALSE(host::MutexOwned(kRunMutex));
    EXPECT_EQ(host::OpenKernelHandleCount(), 0);
  }
}

// A folder in which every package path just fits installs as today; one unit
// longer, or at the limit of a path, installs nothing and calls no installer
// function at all.
TEST_F(RunSetupTest, AFolderTooLongForItsPackagesInstallsNothing) {
  struct Row {
    size_t folder_length;  // without the trailing backslash
    int install_calls;
    std::vector<const char*> unnamed;
  };
  // mivo_1031.msi is the longest name: 246 + 1 + 13 units leave no room for
  // the NUL within 260.
  const Row rows[] = {
      {245, 2, {}}, {246, 0, {"mivo_1031.msi"}}, {259, 0, {"mivo.msi", "mivo_1031.msi"}}};
  for (const Row& row : rows) {
    SCOPED_TRACE("folder of " + std::to_string(row.folder_length) + " units");
    host::ResetMsi();
    std::filesystem::remove(RecordFile());
    std::u16string folder = u"C:\\";
    while (folder.size() < row.folder_length) folder += u"d";
    host::SetModuleFileName(folder + u"\\mivoboot.exe");
    RunSetup(u"");
    EXPECT_EQ(CountOf("MsiInstallProductW"), row.install_calls);
    if (row.install_calls == 0) {
      EXPECT_TRUE(host::MsiCalls().empty()) << host::MsiCalls().front().function;
    }
    std::vector<std::string> expected;
    for (const char* name : row.unnamed) {
      expected.push_back(std::string(name) +
                         ": plan: the package's path cannot be formed in the folder \"" +
                         Narrow(folder.c_str()) + "\\\" (too long); nothing is installed");
    }
    EXPECT_EQ(Containing(Record(), "cannot be formed"), expected);
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
