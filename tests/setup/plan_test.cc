// The package plan: which languages are chosen, the order of the entries, and
// the names of packages, key files and logs. The plan from plain values runs
// on both builds; the plan from the process state needs the host to set the
// user's locale.
#include "setup/plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

#ifndef _WIN32
#include "platform/host/host_control.h"
#endif

namespace {

using testing_support::Narrow;
using testing_support::SetEnv;
using testing_support::WString;

struct ExpectedEntry {
  WString package_path;
  WString key_file_name;
  WString log_file_path;
};

// The removal log lies beside the installation log, the package's name is
// the last element of its path.
WString RemoveLogOf(const WString& log) {
  return log.substr(0, log.size() - 11) + WTEXT("Remove.log");
}
WString NameOf(const WString& path) { return path.substr(path.rfind(WTEXT('\\')) + 1); }

std::vector<ExpectedEntry> ExpectedPlan(const WString& folder, const WString& temp,
                                        const std::vector<WString>& languages) {
  std::vector<ExpectedEntry> entries;
  entries.push_back(
      {folder + WTEXT("mivo.msi"), WTEXT("KELD.DLL"), temp + WTEXT("\\MIVOInstall.log")});
  for (const WString& language : languages) {
    entries.push_back({folder + WTEXT("mivo_") + language + WTEXT(".msi"), WTEXT("KELDINTL.DLL"),
                       temp + WTEXT("\\MIVO_") + language + WTEXT("Install.log")});
  }
  return entries;
}

void ExpectPlan(const PackagePlan& plan, const std::vector<ExpectedEntry>& expected) {
  ASSERT_EQ(plan.Count(), static_cast<int>(expected.size()));
  for (int i = 0; i < plan.Count(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const ExpectedEntry& want = expected[static_cast<size_t>(i)];
    EXPECT_EQ(Narrow(plan[i].package_path), Narrow(want.package_path.c_str()));
    EXPECT_EQ(Narrow(plan[i].key_file_name), Narrow(want.key_file_name.c_str()));
    EXPECT_EQ(Narrow(plan[i].log_file_path), Narrow(want.log_file_path.c_str()));
    EXPECT_EQ(Narrow(plan[i].remove_log_path), Narrow(RemoveLogOf(want.log_file_path).c_str()));
    EXPECT_EQ(Narrow(plan[i].package_name), Narrow(NameOf(want.package_path).c_str()));
  }
}

TEST(IsSupportedLanguageTest, AcceptsExactlyTheTwelveTexts) {
  struct Row {
    LPCWSTR candidate;
    bool supported;
  };
  const Row rows[] = {
      {WTEXT("1028"), true},   {WTEXT("1031"), true},    {WTEXT("1033"), true},
      {WTEXT("1036"), true},   {WTEXT("1040"), true},    {WTEXT("1041"), true},
      {WTEXT("1042"), true},   {WTEXT("1043"), true},    {WTEXT("1046"), true},
      {WTEXT("1053"), true},   {WTEXT("2052"), true},    {WTEXT("3082"), true},
      {WTEXT(""), false},      {WTEXT("1049"), false},   {WTEXT("1034"), false},
      {WTEXT(" 1031"), false}, {WTEXT("1031 "), false},  {WTEXT("01031"), false},
      {WTEXT("+1031"), false}, {WTEXT("103"), false},    {WTEXT("10310"), false},
      {WTEXT("0x407"), false}, {WTEXT("1031\t"), false}, {WTEXT("1031 1036"), false},
      {WTEXT("66567"), false},  // 0x10407: German with a sort order
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("candidate \"" + Narrow(row.candidate) + "\"");
    EXPECT_EQ(IsSupportedLanguage(CString(row.candidate)), row.supported);
  }
}

TEST(BuildPackagePlanTest, ChoosesLanguagesFromCommandLineLocaleAndFallback) {
  struct Row {
    const char* name;
    LPCWSTR command_line;
    LCID user_locale;
    std::vector<WString> languages;
  };
  const Row rows[] = {
      {"empty command line, supported locale", WTEXT(""), 1031, {WTEXT("1031")}},
      {"command line equal to locale", WTEXT("1033"), 1033, {WTEXT("1033")}},
      {"command line, then a different locale",
       WTEXT("1028"),
       3082,
       {WTEXT("1028"), WTEXT("3082")}},
      {"command line never suppresses the locale",
       WTEXT("1041"),
       1031,
       {WTEXT("1041"), WTEXT("1031")}},
      {"locale 1033 is the user's, not the fallback",
       WTEXT("1036"),
       1033,
       {WTEXT("1036"), WTEXT("1033")}},
      {"supported command line, unsupported locale", WTEXT("2052"), 1049, {WTEXT("2052")}},
      {"neither supported: fallback", WTEXT("1049"), 1049, {WTEXT("1033")}},
      {"blank before the command line", WTEXT(" 1031"), 1049, {WTEXT("1033")}},
      {"blank after the command line", WTEXT("1031 "), 1049, {WTEXT("1033")}},
      {"leading zero", WTEXT("01031"), 1049, {WTEXT("1033")}},
      {"two words", WTEXT("1031 1036"), 1049, {WTEXT("1033")}},
      {"arbitrary text", WTEXT("/quiet"), 1053, {WTEXT("1053")}},
      {"locale with sort-order bits", WTEXT(""), 0x10407, {WTEXT("1033")}},
      {"Spanish other than 3082", WTEXT(""), 0x040A, {WTEXT("1033")}},
      {"Spanish 3082", WTEXT(""), 0x0C0A, {WTEXT("3082")}},
      {"locale 0", WTEXT(""), 0, {WTEXT("1033")}},
  };
  const WString folder = WTEXT("C:\\Setup\\");
  const WString temp = WTEXT("C:\\Temp");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PackagePlan plan;
    BuildPackagePlanFrom(CString(row.command_line), CString(folder.c_str()), row.user_locale,
                         CString(temp.c_str()), plan);
    ExpectPlan(plan, ExpectedPlan(folder, temp, row.languages));
  }
}

// Each entry names the rule that planned it.
TEST(BuildPackagePlanTest, EachEntryNamesItsRule) {
  struct Row {
    LPCWSTR command_line;
    LCID user_locale;
    std::vector<PlanRule> rules;
  };
  const Row rows[] = {
      {WTEXT("1036"), 1031, {kPlanCore, kPlanCommandLine, kPlanUserLocale}},
      {WTEXT("1033"), 1033, {kPlanCore, kPlanCommandLine}},
      {WTEXT(""), 1031, {kPlanCore, kPlanUserLocale}},
      {WTEXT("1049"), 1049, {kPlanCore, kPlanFallback}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("command line \"" + Narrow(row.command_line) + "\", locale " +
                 std::to_string(row.user_locale));
    PackagePlan plan;
    BuildPackagePlanFrom(CString(row.command_line), CString(WTEXT("C:\\S\\")), row.user_locale,
                         CString(WTEXT("C:\\T")), plan);
    std::vector<PlanRule> rules;
    for (const PackageEntry& entry : plan) rules.push_back(entry.rule);
    EXPECT_EQ(rules, row.rules);
  }
}

TEST(BuildPackagePlanTest, ExampleOfThreeEntries) {
  PackagePlan plan;
  BuildPackagePlanFrom(CString(WTEXT("1036")), CString(WTEXT("C:\\Setup\\")), 1031,
                       CString(WTEXT("C:\\Temp")), plan);
  ExpectPlan(plan,
             {{WTEXT("C:\\Setup\\mivo.msi"), WTEXT("KELD.DLL"), WTEXT("C:\\Temp\\MIVOInstall.log")},
              {WTEXT("C:\\Setup\\mivo_1036.msi"), WTEXT("KELDINTL.DLL"),
               WTEXT("C:\\Temp\\MIVO_1036Install.log")},
              {WTEXT("C:\\Setup\\mivo_1031.msi"), WTEXT("KELDINTL.DLL"),
               WTEXT("C:\\Temp\\MIVO_1031Install.log")}});
}

// Folders and temporary folders with "%" are copied as they stand: neither is
// ever used as format text.
TEST(BuildPackagePlanTest, PercentSignsInFoldersStayUnchanged) {
  struct Row {
    LPCWSTR folder;
    LPCWSTR temp;
  };
  const Row rows[] = {
      {WTEXT("C:\\100%\\"), WTEXT("C:\\100%")},
      {WTEXT("C:\\%s\\"), WTEXT("C:\\%s")},
      {WTEXT("C:\\%d %n\\"), WTEXT("C:\\%d%n")},
      {WTEXT("C:\\%s%s%s%s%s\\"), WTEXT("C:\\%s%s%s%s%s%s%s")},
      {WTEXT("C:\\%%\\"), WTEXT("%tmp%")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("folder " + Narrow(row.folder) + ", temp " + Narrow(row.temp));
    PackagePlan plan;
    BuildPackagePlanFrom(CString(WTEXT("1036")), CString(row.folder), 1031, CString(row.temp),
                         plan);
    ExpectPlan(plan, ExpectedPlan(row.folder, row.temp, {WTEXT("1036"), WTEXT("1031")}));
  }
}

// Restores TMP (and the variable S) after a test that changes them. The
// temporary folder must exist and hold the record, so a test names folders of
// its own, made under the system's temporary folder.
class TempVariableTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetEnv(WTEXT("TMP"), saved_.empty() ? nullptr : saved_.c_str());
    SetEnv(WTEXT("TEMP"), saved_temp_.empty() ? nullptr : saved_temp_.c_str());
    SetEnv(WTEXT("S"), nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  void SetUp() override {
    saved_ = Saved(WTEXT("%TMP%"));
    saved_temp_ = Saved(WTEXT("%TEMP%"));
    base_ = std::filesystem::temp_directory_path() /
            ("mivo-plan-" + std::to_string(GetCurrentProcessId()));
  }

  // Makes the folder `name` (which may hold "%" and backslashes) and answers
  // its full path as Windows names it.
  WString Folder(const std::string& name) const {
    std::string native = name;
    std::replace(native.begin(), native.end(), '\\', '/');
    std::filesystem::path path = base_ / native;
    std::filesystem::create_directories(path);
#ifdef _WIN32
    std::wstring wide = path.wstring();
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return WString(wide.begin(), wide.end());
#else
    std::string windows = "Z:" + base_.string() + "/" + name;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return testing_support::Widen(windows);
#endif
  }

 private:
  static WString Saved(LPCWSTR reference) {
    CString value(reference);
    ExpandEnvironment(value);
    return TextEquals(value, reference) ? WString() : WString(value.GetString());
  }
  WString saved_;
  WString saved_temp_;
  std::filesystem::path base_;
};

// The log of the core package is the first entry's on every machine; the
// language packs depend on the user's locale, which only the host can set.
TEST_F(TempVariableTest, TheValueOfTmpIsNeverFormatText) {
  const char* const names[] = {"Temp", "100%", "%s", "%d%n", "%s%s%s%s%s%s", "%%%", "%USERNAME%"};
  for (const char* name : names) {
    SCOPED_TRACE(std::string("TMP ...\\") + name);
    const WString value = Folder(name);
    SetEnv(WTEXT("TMP"), value.c_str());
    PackagePlan plan;
    BuildPackagePlan(CString(WTEXT("1036")), CString(WTEXT("C:\\Setup\\")), plan);
    ASSERT_GE(plan.Count(), 2);
    EXPECT_EQ(Narrow(plan[0].log_file_path), Narrow(value.c_str()) + "\\MIVOInstall.log");
    EXPECT_EQ(Narrow(plan[1].log_file_path), Narrow(value.c_str()) + "\\MIVO_1036Install.log");
  }
}

// Without a TMP, or with an empty one, the logs go to TEMP's folder, never to
// a relative "%tmp%".
TEST_F(TempVariableTest, WithoutTmpTheSystemsTemporaryFolderIsUsed) {
  const LPCWSTR values[] = {nullptr, WTEXT("")};
  const WString temp = Folder("u 1\\Temp");
  SetEnv(WTEXT("TEMP"), temp.c_str());
  for (LPCWSTR value : values) {
    SCOPED_TRACE(value ? "TMP empty" : "TMP not set");
    SetEnv(WTEXT("TMP"), value);
    PackagePlan plan;
    BuildPackagePlan(CString(WTEXT("1031")), CString(WTEXT("C:\\Setup\\")), plan);
    ASSERT_GE(plan.Count(), 2);
    EXPECT_EQ(Narrow(plan[0].log_file_path), Narrow(temp.c_str()) + "\\MIVOInstall.log");
    EXPECT_EQ(Narrow(plan[1].remove_log_path), Narrow(temp.c_str()) + "\\MIVO_1031Remove.log");
  }
}

// Only %tmp% is expanded: the separator and locale places of the log name are
// never taken for a reference to a variable named S.
TEST_F(TempVariableTest, OnlyTheTmpReferenceIsExpanded) {
  const WString temp = Folder("Temp");
  SetEnv(WTEXT("TMP"), temp.c_str());
  SetEnv(WTEXT("S"), WTEXT("oops"));
  PackagePlan plan;
  BuildPackagePlan(CString(WTEXT("1036")), CString(WTEXT("C:\\Setup\\")), plan);
  ASSERT_GE(plan.Count(), 2);
  EXPECT_EQ(Narrow(plan[0].log_file_path), Narrow(temp.c_str()) + "\\MIVOInstall.log");
  EXPECT_EQ(Narrow(plan[1].log_file_path), Narrow(temp.c_str()) + "\\MIVO_1036Install.log");
}

#ifndef _WIN32
// The whole plan from the process state: command line, user locale and TMP.
TEST_F(TempVariableTest, PlanFromTheProcessState) {
  struct Row {
    LPCWSTR command_line;
    LCID user_locale;
    std::vector<WString> languages;
  };
  const Row rows[] = {
      {WTEXT(""), 1031, {WTEXT("1031")}},
      {WTEXT("1028"), 3082, {WTEXT("1028"), WTEXT("3082")}},
      {WTEXT("1049"), 1049, {WTEXT("1033")}},
      {WTEXT("1033"), 1033, {WTEXT("1033")}},
  };
  const WString temp = Folder("%s tmp");
  SetEnv(WTEXT("TMP"), temp.c_str());
  for (const Row& row : rows) {
    SCOPED_TRACE("command line \"" + Narrow(row.command_line) + "\", locale " +
                 std::to_string(row.user_locale));
    host::SetUserDefaultLCID(row.user_locale);
    PackagePlan plan;
    BuildPackagePlan(CString(row.command_line), CString(WTEXT("C:\\Setup\\")), plan);
    ExpectPlan(plan, ExpectedPlan(WTEXT("C:\\Setup\\"), temp, row.languages));
  }
  host::SetUserDefaultLCID(1033);
}
#endif

}  // namespace
