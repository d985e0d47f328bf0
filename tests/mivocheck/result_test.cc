// mivocheck --result, on records that the setup run itself writes against
// the host's installer fake.
#include "mivocheck/result.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/setup_run.h"

namespace {

using testing_support::InstallCoreWithOlderCachedKeyFile;
using testing_support::kCoreCode;
using testing_support::Narrow;
using testing_support::Widen;
using ResultTest = testing_support::RunSetupTest;

// mivocheck --result on records that the run itself wrote: the newest run's
// code, and the package and call that its line names. The record is the one
// in the temporary folder of the run (TMP), as mivoboot.exe writes it.
TEST_F(ResultTest, TheResultOfARecordIsTheCodeOfItsNewestRun) {
  const std::string record = RecordFile();
  auto bytes = [&] {
    std::ifstream file(record, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  };
  auto rewrite = [&](const std::string& content) {
    std::ofstream(record, std::ios::binary | std::ios::trunc) << content;
  };
  // Drops the record's last line: the end line of its last run.
  auto drop_last_line = [&] {
    std::string content = bytes();
    ASSERT_GE(content.size(), 2u);
    rewrite(content.substr(0, content.rfind('\n', content.size() - 2) + 1));
  };
  auto run = [](DWORD pid, const char16_t* arguments) {
    host::SetProcessId(pid);
    RunSetup(arguments);
  };
  const char kGarbage[] = "not a line of the record\r\n";
  struct Row {
    const char* name;
    std::function<void()> write;
    UINT code;
    std::string line;  // the whole line, or a part of it
  };
  const Row rows[] = {
      {"a first run installs everything", [&] { run(11, u"1036"); }, 0,
       "mivocheck: 0 (success): the newest run ended and every call succeeded\n"},
      {"a second run finds everything current",
       [&] {
         run(11, u"1036");
         run(12, u"1036");
       },
       0, "mivocheck: 0 (success): the newest run ended and nothing needed a call\n"},
      {"an older run failed, the newest did not",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 1603);
         run(11, u"");
         run(12, u"");
       },
       0, "every call succeeded"},
      {"the newest run failed after an older one that did not",
       [&] {
         run(11, u"");
         host::FailCall("MsiInstallProductW", 3, 1603);
         run(12, u"1036");
       },
       1603, "mivocheck: 1603 (ERROR_INSTALL_FAILURE): mivo_1036.msi installation failed\n"},
      {"the first failing package in plan order decides",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 1638);
         host::FailCall("MsiInstallProductW", 2, 1603);
         run(11, u"1036");
       },
       1638, "mivocheck: 1638 (ERROR_PRODUCT_VERSION): mivo.msi installation failed\n"},
      {"a failed removal",
       [&] {
         InstallCoreWithOlderCachedKeyFile();
         host::FailCall("MsiConfigureProductExW", 1, 1605);
         run(11, u"");
       },
       1605, "mivocheck: 1605 (ERROR_UNKNOWN_PRODUCT): mivo.msi removal failed\n"},
      {"packages left for the next run: the first one",
       [&] {
         for (int n = 1; n <= 1000; ++n) host::FailCall("MsiInstallProductW", n, 1618);
         run(11, u"");
       },
       1618, "1618 (ERROR_INSTALL_ALREADY_RUNNING): mivo.msi installation left for the next run"},
      {"a package left for the next run after a failed one",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 1603);
         for (int n = 2; n <= 1000; ++n) host::FailCall("MsiInstallProductW", n, 1618);
         run(11, u"");
       },
       1603, "mivo.msi installation failed"},
      {"an installation asks for a restart",
       [&] {
         host::FailCall("MsiInstallProductW", 2, 3010);
         run(11, u"1036");
       },
       3010,
       "mivocheck: 3010 (success, reboot needed): mivo_1036.msi installation asked for a "
       "restart\n"},
      {"a started restart outweighs one asked for",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 3010);
         host::FailCall("MsiInstallProductW", 3, 1641);
         run(11, u"1036");
       },
       1641, "1641 (success, reboot started): mivo_1031.msi installation started a restart"},
      {"a suspended installation is finished by a restart",
       [&] {
         host::FailCall("MsiInstallProductW", 2, 1604);
         run(11, u"1036");
       },
       3010,
       "mivocheck: 3010 (success, reboot needed): mivo_1036.msi installation was suspended and "
       "finishes after a restart\n"},
      {"a started restart outweighs a suspended installation",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 1604);
         host::FailCall("MsiInstallProductW", 3, 1641);
         run(11, u"1036");
       },
       1641, "1641 (success, reboot started): mivo_1031.msi installation started a restart"},
      {"a source dialog the user cancelled",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 1602);
         run(11, u"");
       },
       1602, "mivocheck: 1602 (ERROR_INSTALL_USEREXIT): mivo.msi installation failed\n"},
      {"a policy that forbids per-user installations",
       [&] {
         host::SetInstallerPolicy(0, 1);
         run(11, u"");
       },
       1625, "mivocheck: 1625 (ERROR_INSTALL_PACKAGE_REJECTED): mivo.msi installation failed\n"},
      {"the installer cannot write its temporary files",
       [&] {
         host::SetInstallerTempWritable(false);
         run(11, u"");
       },
       1632, "mivocheck: 1632 (ERROR_INSTALL_TEMP_UNWRITABLE): mivo.msi installation failed\n"},
      {"a failure outweighs a restart",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 3010);
         host::FailCall("MsiInstallProductW", 2, 1603);
         run(11, u"1036");
       },
       1603, "mivo_1036.msi installation failed"},
      {"the newest run has no end line",
       [&] {
         run(11, u"1036");
         drop_last_line();
       },
       1603, "the newest run (process 11, started "},
      {"an older run has no end line",
       [&] {
         run(11, u"1036");
         drop_last_line();
         run(12, u"1036");
       },
       0, "nothing needed a call"},
      {"a line that does not parse after the newest start line",
       [&] {
         run(11, u"1036");
         rewrite(bytes() + kGarbage);
       },
       1603, "the record does not parse, so the newest run cannot be read"},
      {"a failure read before a line that does not parse",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 1638);
         run(11, u"1036");
         rewrite(bytes() + kGarbage);
       },
       1638, "mivo.msi installation failed"},
      {"a line that does not parse before the newest run",
       [&] {
         rewrite(kGarbage);
         run(11, u"1036");
       },
       0, "every call succeeded"},
      {"a file that does not parse", [&] { rewrite(std::string(kGarbage) + kGarbage); }, 1622,
       "mivocheck: 1622 (ERROR_INSTALL_LOG_FAILURE): line 1 of the record does not parse, and "
       "no run can be read\n"},
      {"the newest run begins in the older generation",
       [&] {
         host::FailCall("MsiInstallProductW", 1, 1603);
         run(11, u"1036");
         const std::string content = bytes();
         const size_t line_end = content.find('\n', content.find("plan: ")) + 1;
         std::ofstream(RecordFile() + ".1", std::ios::binary) << content.substr(0, line_end);
         rewrite(content.substr(line_end));
       },
       1603, "mivocheck: 1603 (ERROR_INSTALL_FAILURE): mivo.msi installation failed\n"},
      {"in a shared folder, the asking user's own newest run",
       [&] {
         host::SetEnvironmentVariable(u"USERDOMAIN", u"EU");
         host::SetEnvironmentVariable(u"USERNAME", u"ana");
         host::FailCall("MsiInstallProductW", 1, 1603);
         run(11, u"1036");
         host::SetEnvironmentVariable(u"USERNAME", u"bo");
         host::ForgetProduct(Widen(kCoreCode));
         run(12, u"");
         host::SetEnvironmentVariable(u"USERNAME", u"ana");
       },
       1603, "mivocheck: 1603 (ERROR_INSTALL_FAILURE): mivo.msi installation failed\n"},
      {"in a shared folder, only another user's runs",
       [&] {
         host::SetEnvironmentVariable(u"USERDOMAIN", u"EU");
         host::SetEnvironmentVariable(u"USERNAME", u"bo");
         run(11, u"1036");
         host::SetEnvironmentVariable(u"USERNAME", u"ana");
       },
       1622, "no run of \"EU\\ana\" in the record"},
      {"the newest run recorded in TEMP while TMP could not hold the record",
       [&] {
         run(11, u"1036");
         // The run in TMP is a day older.
         std::string content = bytes();
         for (size_t at = 0; at < content.size(); at = content.find('\n', at) + 1) {
           content.replace(at, 10, "2026-01-01");
         }
         rewrite(content);
         std::filesystem::create_directories(scratch_ / "temp");
         host::SetEnvironmentVariable(u"TEMP", Widen(WindowsPathOf(scratch_ / "temp")).c_str());
         host::DenyWritesIn(Widen(tmp_), true);
         host::ForgetProduct(Widen(kCoreCode));
         host::ResetMsiCalls();
         host::FailCall("MsiInstallProductW", 1, 1603);
         run(12, u"");
         host::DenyWritesIn(Widen(tmp_), false);
         // The run set its own TMP and TEMP to the folder it used; the
         // deployment tool's command line has them as they were.
         host::SetEnvironmentVariable(u"TMP", Widen(tmp_).c_str());
         host::SetEnvironmentVariable(u"TEMP", Widen(WindowsPathOf(scratch_ / "temp")).c_str());
       },
       1603, "mivocheck: 1603 (ERROR_INSTALL_FAILURE): mivo.msi installation failed\n"},
      {"a record without a start line",
       [&] {
         run(11, u"1036");
         const std::string content = bytes();
         rewrite(content.substr(content.find('\n') + 1));
       },
       1622, "(ERROR_INSTALL_LOG_FAILURE): no run in the record \""},
      {"an empty record", [&] { rewrite(""); }, 1622, "no run in the record"},
      {"no record", [] {}, 1622, "no record at \""},
      {"the packages' folder is too long to name them",
       [&] {
         host::SetModuleFileName(u"C:\\" + std::u16string(256, u'd') + u"\\mivoboot.exe");
         run(11, u"");
       },
       1603, "could not form a package's path and installed nothing"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StartAfresh();
    host::SetModuleFileName(Widen(folder_ + "mivoboot.exe"));
    row.write();
    const mivocheck::RecordResult result = mivocheck::ResultOfNewestRecord();
    std::filesystem::remove(RecordFile() + ".1");
    std::filesystem::remove_all(scratch_ / "temp");
    host::SetEnvironmentVariable(u"TEMP", nullptr);
    host::SetEnvironmentVariable(u"TMP", Widen(tmp_).c_str());
    host::SetEnvironmentVariable(u"USERDOMAIN", nullptr);
    host::SetEnvironmentVariable(u"USERNAME", nullptr);
    const std::string line = mivocheck::FormatResult(result);
    EXPECT_EQ(result.code, row.code) << line;
    if (row.line.back() == '\n') {
      EXPECT_EQ(line, row.line);
    } else {
      EXPECT_NE(line.find(row.line), std::string::npos) << line;
    }
  }
}

// Bad usage is the usage code, 1639, as the README says: more than one FILE,
// or a FILE that is empty (no path at all, where 1622 would blame a record).
TEST_F(ResultTest, BadUsageOfTheResultIsTheUsageCode) {
  const std::vector<std::vector<mivocheck::RecordArgument>> usages = {{""}, {"a", "b"}};
  for (const std::vector<mivocheck::RecordArgument>& arguments : usages) {
    std::string out, err;
    EXPECT_EQ(mivocheck::ReportResult(
                  arguments, "usage\n", [&](const std::string& text) { out += text; },
                  [&](const std::string& text) { err += text; }),
              1639);
    EXPECT_EQ(err, "usage\n");
    EXPECT_EQ(out, "");
  }
}

// The line of a bad record names the line that does not parse, counted in the
// whole file, and texts from outside come escaped as in the record.
TEST_F(ResultTest, TheResultLineNamesTheBadLineAndEscapesTheRecordsPath) {
  RunSetup(u"1036");
  const std::string record = RecordFile();
  std::ifstream in(record, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const long lines = std::count(content.begin(), content.end(), '\n');
  std::ofstream(record, std::ios::binary | std::ios::app) << "\r\n";
  EXPECT_EQ(mivocheck::ResultOfNewestRecord().cause,
            "line " + std::to_string(lines + 1) +
                " of the record does not parse, so the newest run cannot be read");

  const std::u16string missing = Widen(tmp_) + u"\\a\"b<\u202E\\MIVOSetup.log";
  EXPECT_EQ(mivocheck::ResultOfRecord(missing.c_str()).cause,
            "no record at \"" + tmp_ + "\\a<U+0022>b<U+003C><U+202E>\\MIVOSetup.log\"");
}

}  // namespace
