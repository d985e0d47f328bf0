// The kit's own reading of what it checks: a record reader that accepted a
// malformed line, an environment block that kept a second TMP or an expected
// plan that followed the setup's fault would let a broken build pass.
#include <gtest/gtest.h>

#include "tests/kit/kit.h"

namespace {

struct RecordCase {
  const char* name;
  std::string bytes;
  bool bom, utf8, crlf;
  std::vector<bool> well_formed;
};

TEST(KitRecordTest, ReadsFormAndLines) {
  const std::string good = "2026-12-08 13:53:20Z [4242] start: mivoboot 1.0.0.0\r\n";
  const std::vector<RecordCase> cases = {
      {"two good lines",
       good + "2026-12-08 13:53:21Z [4242] end: 0 installed\r\n",
       false,
       true,
       true,
       {true, true}},
      {"byte order mark", "\xEF\xBB\xBF" + good, true, true, true, {true}},
      {"LF only", "2026-12-08 13:53:20Z [1] a\n", false, true, false, {true}},
      {"no line end at the end",
       good + "2026-12-08 13:53:20Z [1] a",
       false,
       true,
       false,
       {true, true}},
      {"a CR inside", "2026-12-08 13:53:20Z [1] a\rb\r\n", false, true, false, {true}},
      {"not UTF-8", "2026-12-08 13:53:20Z [1] caf\xE9\r\n", false, false, true, {true}},
      {"local time, no Z", "2026-12-08 13:53:20 [1] a\r\n", false, true, true, {false}},
      {"no such day", "2026-02-30 13:53:20Z [1] a\r\n", false, true, true, {false}},
      {"hour 24", "2026-12-08 24:00:00Z [1] a\r\n", false, true, true, {false}},
      {"empty PID", "2026-12-08 13:53:20Z [] a\r\n", false, true, true, {false}},
      {"PID not decimal", "2026-12-08 13:53:20Z [0x1F] a\r\n", false, true, true, {false}},
      {"no message", "2026-12-08 13:53:20Z [1] \r\n", false, true, true, {false}},
      {"empty line", good + "\r\n", false, true, true, {true, false}},
  };
  for (const RecordCase& c : cases) {
    kit::Record record = kit::ParseRecord(c.bytes);
    EXPECT_EQ(record.bom, c.bom) << c.name;
    EXPECT_EQ(record.utf8, c.utf8) << c.name;
    EXPECT_EQ(record.crlf, c.crlf) << c.name;
    ASSERT_EQ(record.lines.size(), c.well_formed.size()) << c.name;
    for (size_t i = 0; i < record.lines.size(); ++i) {
      EXPECT_EQ(record.lines[i].well_formed, c.well_formed[i]) << c.name << ", line " << i;
    }
  }
  kit::RecordLine line = kit::ParseRecord(good).lines.at(0);
  EXPECT_EQ(line.pid, 4242u);
  EXPECT_EQ(line.message, "start: mivoboot 1.0.0.0");
  EXPECT_EQ(line.time.wHour, 13);
  EXPECT_EQ(line.time.wSecond, 20);
}

TEST(KitEnvironmentTest, ReplacesWithoutRegardToCaseAndKeepsTheBlockSorted) {
  const std::vector<std::wstring> entries = {L"=C:=C:\\work", L"tmp=C:\\old", L"Path=C:\\bin",
                                             L"TEMP=C:\\temp", L"Tmp=C:\\older"};
  std::wstring block = kit::MakeEnvironmentBlock(entries, {{L"TMP", std::wstring(L"C:\\new %s")}});
  EXPECT_EQ(kit::ParseEnvironmentBlock(block.c_str()),
            (std::vector<std::wstring>{L"=C:=C:\\work", L"Path=C:\\bin", L"TEMP=C:\\temp",
                                       L"TMP=C:\\new %s"}));
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block.substr(block.size() - 2), std::wstring(2, L'\0'));

  block = kit::MakeEnvironmentBlock(
      entries, {{L"TMP", std::wstring(L"C:\\x")}, {L"TMP", std::nullopt}, {L"path", std::nullopt}});
  EXPECT_EQ(kit::ParseEnvironmentBlock(block.c_str()),
            (std::vector<std::wstring>{L"=C:=C:\\work", L"TEMP=C:\\temp"}));
}

TEST(KitPlanTest, ExpectedPacksFollowTheCommandLineAndTheUser) {
  struct Case {
    const wchar_t* command_line;
    LCID user;
    std::vector<LCID> packs;
  };
  const std::vector<Case> cases = {
      {L"", 1031, {1031}},      {L"", 1049, {1033}},      {L"1036", 1031, {1036, 1031}},
      {L"1031", 1031, {1031}},  {L"1036", 1049, {1036}},  {L"1049", 1049, {1033}},
      {L"01036", 1031, {1031}}, {L"1036 ", 1031, {1031}}, {L"French", 3082, {3082}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kit::ExpectedPacks(c.command_line, c.user), c.packs)
        << kit::Utf8(c.command_line) << " / " << c.user;
  }
}

TEST(KitLogTest, TellsInstallationsFromRemovalsInBothEncodings) {
  const std::string installation = "Action start 2:04:32: InstallFiles.\r\n";
  const std::string removal = installation + "Property(S): REMOVE = ALL\r\n";
  const std::string removal_change =
      "MSI (c) (1C:20) [10:00:00:000]: PROPERTY CHANGE: Adding REMOVE property. Its value is "
      "'ALL'.\r\nDoing action: InstallFiles\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : removal) utf16 += std::string(1, c) + '\0';

  EXPECT_TRUE(kit::LogShowsInstallation(kit::LogText(installation)));
  EXPECT_FALSE(kit::LogShowsRemoval(kit::LogText(installation)));
  for (const std::string& log : {removal, removal_change, utf16}) {
    EXPECT_TRUE(kit::LogShowsRemoval(kit::LogText(log))) << kit::LogText(log);
    EXPECT_FALSE(kit::LogShowsInstallation(kit::LogText(log))) << kit::LogText(log);
  }
  EXPECT_FALSE(kit::LogShowsInstallation(kit::LogText("Action start 2:04:32: CostFinalize.")));
}

}  // namespace
