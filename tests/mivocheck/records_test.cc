// The reader of run records: every kind of line that the writer writes parses
// as that kind; hostile texts through every quoted field come back unit for
// unit; malformed lines are rejected; runs are assembled from interleaved, cut
// and unfinished records; the summary, the CSV and the exit codes of
// mivocheck --records.
#include "mivocheck/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "setup/record.h"
#include "setup/temp_folder.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using mivocheck::Outcome;
using mivocheck::ParseRecordLine;
using mivocheck::RecordLine;
using RecordRun = mivocheck::Run;
using testing_support::Narrow;
using testing_support::Widen;
using testing_support::WString;

WString Units(std::initializer_list<unsigned> units) {
  WString text;
  for (unsigned unit : units) text += static_cast<WCHAR>(unit);
  return text;
}

// A field's value as text: a text's UTF-8, a number's digits.
std::string FieldText(const mivocheck::RecordField& field) {
  if (field.conversion == 'u' || field.conversion == 'd' || field.conversion == 'r') {
    return std::to_string(field.number);
  }
  return Narrow(field.text.c_str());
}

// A folder of the test's own, for records written by the writer.
class RecordFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ::testing::TempDir() + "records_test_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string RecordPath() const { return folder_ + "/MIVOSetup.log"; }

  // A record of the lines that `write` makes, written afresh; `entry` names
  // the package whose facts follow.
  void Write(const std::function<void(RunRecord&)>& write, LPCWSTR entry = nullptr) {
    fs::remove(RecordPath());
    RunRecord record;
    record.Open(Widen(folder_).c_str());
    record.SetEntry(entry);
    write(record);
  }

  std::string Bytes() const {
    std::ifstream file(RecordPath(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
  }

  std::string folder_;
};

// Every kind of line, as the writer writes it, parses as that kind, with or
// without a package name as the kind has it, and gives back the values that
// were written.
TEST_F(RecordFolderTest, EveryKindTheWriterWritesParsesAsThatKind) {
  struct Row {
    RecordKind kind;
    std::function<void(RunRecord&)> write;
    std::vector<std::string> fields;
  };
  const std::vector<Row> rows = {
      {kRecordStart,
       [](RunRecord& r) {
         r.Start(WTEXT("C:\\s\\mivoboot.exe"), WTEXT("1036"), 1031, WTEXT("C:\\t"));
       },
       {MIVO_VERSION_TEXT, "C:\\s\\mivoboot.exe", "1036", "1031", "C:\\t"}},
      {kRecordUser, [](RunRecord& r) { r.User(WTEXT("EU\\ana")); }, {"EU\\ana"}},
      {kRecordLockWaited, [](RunRecord& r) { r.LockWaited(90000); }, {"90000"}},
      {kRecordLockGoingOn, [](RunRecord& r) { r.LockGoingOn(300000); }, {"300000"}},
      {kRecordNoFolder, [](RunRecord& r) { r.NoFolder(); }, {}},
      {kRecordPlan,
       [](RunRecord& r) {
         r.Plan(kPlanUserLocale, WTEXT("C:\\s\\mivo_1031.msi"), WTEXT("KELDINTL.DLL"),
                WTEXT("C:\\t\\MIVO_1031Install.log"));
       },
       {"language of the user's default locale", "C:\\s\\mivo_1031.msi", "KELDINTL.DLL",
        "C:\\t\\MIVO_1031Install.log"}},
      {kRecordPathTooLong, [](RunRecord& r) { r.PathTooLong(WTEXT("C:\\dd\\")); }, {"C:\\dd\\"}},
      {kRecordPackageOpened, [](RunRecord& r) { r.PackageOpened(); }, {}},
      {kRecordPackageNotOpened, [](RunRecord& r) { r.PackageNotOpened(1627); }, {"1627"}},
      {kRecordProductCode, [](RunRecord& r) { r.ProductCode(WTEXT("{C0DE}")); }, {"{C0DE}"}},
      {kRecordUpgradeCode, [](RunRecord& r) { r.UpgradeCode(WTEXT("{0B6E}")); }, {"{0B6E}"}},
      {kRecordProductVersion, [](RunRecord& r) { r.ProductVersion(WTEXT("7.1")); }, {"7.1"}},
      {kRecordPackageKeyFile,
       [](RunRecord& r) { r.PackageKeyFile(WTEXT("KELD.DLL"), WTEXT("2.0.0.0")); },
       {"KELD.DLL", "2.0.0.0"}},
      {kRecordInstalledState,
       [](RunRecord& r) { r.InstalledState(INSTALLSTATE_UNKNOWN); },
       {"-1", "not installed"}},
      {kRecordInstalledProduct,
       [](RunRecord& r) { r.InstalledProduct(WTEXT("{C0DE}"), WTEXT("7.0")); },
       {"{C0DE}", "7.0"}},
      {kRecordCachedPackage,
       [](RunRecord& r) { r.CachedPackage(WTEXT("C:\\Windows\\Installer\\1.msi")); },
       {"C:\\Windows\\Installer\\1.msi"}},
      {kRecordCachedPackageUnnamed, [](RunRecord& r) { r.CachedPackageUnnamed(1605); }, {"1605"}},
      {kRecordCachedKeyFile,
       [](RunRecord& r) { r.CachedKeyFile(WTEXT("KELD.DLL"), WTEXT("1.9")); },
       {"KELD.DLL", "1.9"}},
      {kRecordCachedKeyFileUnreadable,
       [](RunRecord& r) { r.CachedKeyFileUnreadable(WTEXT("KELD.DLL")); },
       {"KELD.DLL"}},
      {kRecordDecisionNotOpened, [](RunRecord& r) { r.DecisionNotOpened(); }, {}},
      {kRecordDecisionNotInstalled, [](RunRecord& r) { r.DecisionNotInstalled(); }, {}},
      {kRecordDecisionVersionDiffers,
       [](RunRecord& r) { r.DecisionVersionDiffers(WTEXT("7.2"), WTEXT("7.1")); },
       {"7.2", "7.1"}},
      {kRecordDecisionCacheUnreadable, [](RunRecord& r) { r.DecisionCacheUnreadable(); }, {}},
      {kRecordDecisionNotRelated, [](RunRecord& r) { r.DecisionNotRelated(); }, {}},
      {kRecordDecisionRemoveFirst,
       [](RunRecord& r) { r.DecisionRemoveFirst(WTEXT("1.9"), WTEXT("2.0")); },
       {"1.9", "2.0"}},
      {kRecordDecisionCurrent, [](RunRecord& r) { r.DecisionCurrent(); }, {}},
      {kRecordWait, [](RunRecord& r) { r.Wait(2000, true); }, {"2000", "removal"}},
      {kRecordLeft, [](RunRecord& r) { r.Left(false); }, {"installation"}},
      {kRecordRemoval,
       [](RunRecord& r) { r.Removal(WTEXT("{C0DE}"), WTEXT("C:\\t\\MIVORemove.log"), 1603); },
       {"{C0DE}", "C:\\t\\MIVORemove.log", "1603"}},
      {kRecordInstallation,
       [](RunRecord& r) {
         r.Installation(WTEXT("C:\\s\\mivo.msi"), WTEXT("C:\\t\\MIVOInstall.log"), 3010);
       },
       {"C:\\s\\mivo.msi", "C:\\t\\MIVOInstall.log", "3010"}},
      {kRecordEnd, [](RunRecord& r) { r.End(1, 2, 3, 0, 0, 45); }, {"1", "2", "3", "45"}},
      {kRecordEndWithFailures,
       [](RunRecord& r) { r.End(1, 0, 0, 0, 2, 45); },
       {"1", "0", "0", "2", "45"}},
      {kRecordEndWithRestarts,
       [](RunRecord& r) { r.End(2, 0, 0, 1, 0, 45); },
       {"2", "0", "0", "1", "45"}},
      {kRecordEndWithRestartsAndFailures,
       [](RunRecord& r) { r.End(2, 0, 0, 1, 1, 45); },
       {"2", "0", "0", "1", "1", "45"}},
      {kRecordTempElsewhere,
       [](RunRecord& r) {
         TempChoice choice;
         choice.folder = WTEXT("C:\\u\\Temp");
         choice.source = kTempFromTemp;
         choice.tmp_folder = WTEXT("tmp");
         choice.tmp_refusal = kTempNotFullPath;
         r.TempNotTmp(choice.tmp_folder, TempRefusalText(choice.tmp_refusal),
                      TempSourceText(choice.source));
       },
       {"tmp", "is not a full path", "%TEMP%"}},
      {kRecordWithoutLog, [](RunRecord& r) { r.WithoutLog(true); }, {"removal"}},
  };
  std::set<int> kinds;
  for (const Row& row : rows) {
    SCOPED_TRACE(RecordTemplate(row.kind));
    kinds.insert(row.kind);
    const bool named = mivocheck::RecordKindHasPackage(row.kind);
    Write(row.write, named ? WTEXT("mivo_1031.msi") : nullptr);
    std::vector<RecordLine> lines = testing_support::ParsedRecord(RecordPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].kind, row.kind);
    EXPECT_EQ(lines[0].has_package, named);
    EXPECT_EQ(Narrow(lines[0].package.c_str()), named ? "mivo_1031.msi" : "");
    std::vector<std::string> fields;
    for (int i = 0; i < lines[0].field_count; ++i) fields.push_back(FieldText(lines[0].fields[i]));
    EXPECT_EQ(fields, row.fields);
  }
  EXPECT_EQ(kinds.size(), static_cast<size_t>(kRecordKindCount)) << "a kind without a row";
}

// Texts from outside, through every field that takes one: each record holds
// exactly one line, ended by CRLF with no other line break, which the reader
// reads back to the original text unit for unit. The texts around the edges
// of the escaped set pass as UTF-8: the reader rejects an escape that is not
// needed, so writer and reader must agree on every unit of the set.
TEST_F(RecordFolderTest, HostileTextsComeBackUnitForUnit) {
  WString long_text;
  while (long_text.size() < 1023) {
    long_text += Units({'a', 0x0D, 0x0A, '"', '<', 0xE9, 0x202E, 0xD800, 0xD83D, 0xDE00, 0x85});
  }
  long_text.resize(1023);
  const std::vector<std::pair<const char*, WString>> texts = {
      {"a forged line after CR LF",
       Widen("1036\r\n2026-01-01 00:00:00Z [999999] mivo.msi: decision: current, so leave alone")},
      {"a quote that would end the text", Widen("1036\" user default LCID 1049 \"x")},
      {"lone CR", Widen("a\rb")},
      {"lone LF", Widen("a\nb")},
      {"C0 controls", Units({1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31})},
      {"DEL and C1 controls", Units({0x7F, 0x80, 0x85, 0x9F})},
      {"NEL", Units({'a', 0x85, 'b'})},
      {"line and paragraph separators", Units({'a', 0x2028, 'b', 0x2029})},
      {"right-to-left override", Units({'x', 0x202E, 'y', 'z'})},
      {"bidirectional controls", Units({0x061C, 0x200E, 0x200F, 0x202A, 0x202B, 0x202C, 0x202D,
                                        0x2066, 0x2067, 0x2068, 0x2069})},
      {"unpaired high surrogate", Units({'a', 0xD800, 'b'})},
      {"unpaired high surrogate at the end", Units({'a', 0xDBFF})},
      {"unpaired low surrogate", Units({0xDC00, 'b'})},
      {"low before high", Units({0xDFFF, 0xD800})},
      {"unpaired high before a pair", Units({0xD800, 0xD83D, 0xDE00})},
      {"a pair", Units({0xD83D, 0xDE00})},
      {"'<' and a text that looks like an escape", Widen("<<U+0041><U+000D>")},
      {"beside the escaped set",
       Units({0x20, 0x7E, 0xA0, 0x061B, 0x061D, 0x200D, 0x2010, 0x2027, 0x202F, 0x2065, 0x206A,
              0xD7FF, 0xE000, 0xFEFF, 0xFFFD, 0xFFFF})},
      {"text outside ASCII", Widen("C:\\Users\\Jos\xC3\xA9\\\xCF\x89 \xE6\x97\xA5")},
      {"1023 units", long_text},
      {"empty", WString()},
  };
  struct Field {
    const char* name;
    RecordKind kind;
    int index;
    std::function<void(RunRecord&, LPCWSTR)> write;
  };
  const LPCWSTR kPath = WTEXT("C:\\s\\mivo.msi");
  const std::vector<Field> fields = {
      {"executable", kRecordStart, 1,
       [](RunRecord& r, LPCWSTR t) { r.Start(t, WTEXT(""), 1033, WTEXT("C:\\t")); }},
      {"argument text", kRecordStart, 2,
       [](RunRecord& r, LPCWSTR t) { r.Start(WTEXT("C:\\s\\mivoboot.exe"), t, 1033, WTEXT("")); }},
      {"temporary folder", kRecordStart, 4,
       [](RunRecord& r, LPCWSTR t) { r.Start(WTEXT(""), WTEXT(""), 1033, t); }},
      {"package path", kRecordPlan, 1,
       [](RunRecord& r, LPCWSTR t) { r.Plan(kPlanCore, t, WTEXT("KELD.DLL"), WTEXT("l")); }},
      {"log path", kRecordPlan, 3,
       [&](RunRecord& r, LPCWSTR t) { r.Plan(kPlanFallback, kPath, WTEXT("KELD.DLL"), t); }},
      {"folder too long", kRecordPathTooLong, 0, [](RunRecord& r, LPCWSTR t) { r.PathTooLong(t); }},
      {"ProductCode", kRecordProductCode, 0, [](RunRecord& r, LPCWSTR t) { r.ProductCode(t); }},
      {"UpgradeCode", kRecordUpgradeCode, 0, [](RunRecord& r, LPCWSTR t) { r.UpgradeCode(t); }},
      {"ProductVersion", kRecordProductVersion, 0,
       [](RunRecord& r, LPCWSTR t) { r.ProductVersion(t); }},
      {"key file version in the package", kRecordPackageKeyFile, 1,
       [](RunRecord& r, LPCWSTR t) { r.PackageKeyFile(WTEXT("KELD.DLL"), t); }},
      {"installed product code", kRecordInstalledProduct, 0,
       [](RunRecord& r, LPCWSTR t) { r.InstalledProduct(t, WTEXT("7.1")); }},
      {"VersionString", kRecordInstalledProduct, 1,
       [](RunRecord& r, LPCWSTR t) { r.InstalledProduct(WTEXT("{C0DE}"), t); }},
      {"LocalPackage", kRecordCachedPackage, 0,
       [](RunRecord& r, LPCWSTR t) { r.CachedPackage(t); }},
      {"key file version in the cached package", kRecordCachedKeyFile, 1,
       [](RunRecord& r, LPCWSTR t) { r.CachedKeyFile(WTEXT("KELD.DLL"), t); }},
      {"installed version that differs", kRecordDecisionVersionDiffers, 0,
       [](RunRecord& r, LPCWSTR t) { r.DecisionVersionDiffers(t, WTEXT("7.1")); }},
      {"package version that differs", kRecordDecisionVersionDiffers, 1,
       [](RunRecord& r, LPCWSTR t) { r.DecisionVersionDiffers(WTEXT("7.2"), t); }},
      {"older cached key file version", kRecordDecisionRemoveFirst, 0,
       [](RunRecord& r, LPCWSTR t) { r.DecisionRemoveFirst(t, WTEXT("2.0")); }},
      {"newer package key file version", kRecordDecisionRemoveFirst, 1,
       [](RunRecord& r, LPCWSTR t) { r.DecisionRemoveFirst(WTEXT("1.9"), t); }},
      {"removed product code", kRecordRemoval, 0,
       [](RunRecord& r, LPCWSTR t) { r.Removal(t, WTEXT("C:\\t\\r.log"), 0); }},
      {"removal log", kRecordRemoval, 1,
       [](RunRecord& r, LPCWSTR t) { r.Removal(WTEXT("{C0DE}"), t, 1603); }},
      {"installed package path", kRecordInstallation, 0,
       [](RunRecord& r, LPCWSTR t) { r.Installation(t, WTEXT("C:\\t\\i.log"), 1641); }},
      {"installation log", kRecordInstallation, 1,
       [&](RunRecord& r, LPCWSTR t) { r.Installation(kPath, t, 1618); }},
  };
  for (const Field& field : fields) {
    for (const auto& text : texts) {
      SCOPED_TRACE(std::string(field.name) + ", " + text.first);
      Write([&](RunRecord& r) { field.write(r, text.second.c_str()); },
            mivocheck::RecordKindHasPackage(field.kind) ? WTEXT("mivo.msi") : nullptr);
      const std::string bytes = Bytes();
      ASSERT_GE(bytes.size(), 2u);
      EXPECT_EQ(bytes.find_first_of("\r\n"), bytes.size() - 2) << bytes;
      EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
      std::vector<RecordLine> lines = testing_support::ParsedRecord(RecordPath());
      ASSERT_EQ(lines.size(), 1u) << bytes;
      EXPECT_EQ(lines[0].kind, field.kind);
      ASSERT_GT(lines[0].field_count, field.index);
      EXPECT_TRUE(lines[0].fields[field.index].text == text.second) << bytes;
    }
  }
}

const char kTime[] = "2026-12-08 14:16:35Z [256] ";

// Lines that are one byte or one rule away from a line of the grammar: each
// is rejected. The first rows are lines that parse, the ground for the rest.
TEST(ParseRecordLineTest, RejectsEveryMalformedVariant) {
  struct Row {
    const char* name;
    std::string line;
    bool parses;
  };
  const std::string t = kTime;
  const std::string code = "mivo.msi: ProductCode: ";
  const std::string install = "mivo.msi: installation: \"C:\\s\\mivo.msi\" (log \"l\"): ";
  const std::string state = "mivo.msi: installed state: ";
  const std::string end = "end: 1 installed, 0 removed, 0 left alone, ";
  const std::vector<Row> rows = {
      {"a package's fact", t + code + "\"{C0DE}\"", true},
      {"an empty text", t + code + "\"\"", true},
      {"an escape", t + code + "\"a<U+000D><U+000A>b<U+003C><U+0022>\"", true},
      {"an escaped unpaired surrogate before a pair",
       t + code + "\"<U+D800>\xF0\x9F\x98\x80<U+DC00>\"", true},
      {"UTF-8 of 2, 3 and 4 bytes", t + code + "\"\xC3\xA9\xE6\x97\xA5\xF4\x8F\xBF\xBF\"", true},
      {"a leap day, the largest process id", "2028-02-29 23:59:59Z [4294967295] " + code + "\"x\"",
       true},
      {"the smallest state", t + state + "-2 (not a valid product code)", true},
      {"a result of no known name", t + install + "1234", true},
      {"a success that asks for a reboot", t + install + "1641 (success, reboot started)", true},
      {"a known failure", t + install + "1603 (ERROR_INSTALL_FAILURE)", true},
      {"an end without failures", t + end + "95 ms", true},

      {"no time stamp", code + "\"{C0DE}\"", false},
      {"month 13", "2026-13-08 14:16:35Z [256] " + code + "\"x\"", false},
      {"February 29 of a common year", "2026-02-29 14:16:35Z [256] " + code + "\"x\"", false},
      {"day 0", "2026-12-00 14:16:35Z [256] " + code + "\"x\"", false},
      {"hour 24", "2026-12-08 24:00:00Z [256] " + code + "\"x\"", false},
      {"second 60", "2026-12-08 14:16:60Z [256] " + code + "\"x\"", false},
      {"no Z", "2026-12-08 14:16:35 [256] " + code + "\"x\"", false},
      {"a one-digit month", "2026-1-08 14:16:35Z [256] " + code + "\"x\"", false},
      {"a T between date and time", "2026-12-08T14:16:35Z [256] " + code + "\"x\"", false},
      {"a process id with a leading zero", "2026-12-08 14:16:35Z [0256] " + code + "\"x\"", false},
      {"an empty process id", "2026-12-08 14:16:35Z [] " + code + "\"x\"", false},
      {"a negative process id", "2026-12-08 14:16:35Z [-1] " + code + "\"x\"", false},
      {"a process id beyond 32 bits", "2026-12-08 14:16:35Z [4294967296] " + code + "\"x\"", false},
      {"two blanks after the process id", "2026-12-08 14:16:35Z [256]  " + code + "\"x\"", false},

      {"a package's fact without its package", t + "ProductCode: \"{C0DE}\"", false},
      {"an empty package name", t + ": ProductCode: \"{C0DE}\"", false},
      {"a start line with a package",
       t + "mivo.msi: start: mivoboot 1.0.0.0, executable \"e\", "
           "arguments \"\", user default LCID 1033, temporary "
           "folder \"t\"",
       false},
      {"an end line with a package", t + "mivo.msi: " + end + "95 ms", false},
      {"a keyword in another case", t + "mivo.msi: productcode: \"{C0DE}\"", false},
      {"two blanks after the keyword", t + "mivo.msi: ProductCode:  \"{C0DE}\"", false},
      {"a blank at the end", t + code + "\"{C0DE}\" ", false},
      {"text after the template", t + code + "\"{C0DE}\" and more", false},
      {"the old wording", t + "mivo.msi: ProductCode {C0DE}", false},
      {"no keyword known", t + "mivo.msi: version: \"7\"", false},

      {"a text without quotes", t + code + "{C0DE}", false},
      {"an unterminated text", t + code + "\"{C0DE}", false},
      {"a raw quote inside", t + code + "\"a\"b\"", false},
      {"a '<' that begins no escape", t + code + "\"a<b\"", false},
      {"an escape in lower case", t + code + "\"<U+000d>\"", false},
      {"an escape with a lower-case u", t + code + "\"<u+000D>\"", false},
      {"an escape of three digits", t + code + "\"<U+00D>\"", false},
      {"an escape of five digits", t + code + "\"<U+0000D>\"", false},
      {"an escape without its '>'", t + code + "\"<U+000D\"", false},
      {"an escape of a unit never escaped", t + code + "\"<U+0041>\"", false},
      {"an escape of an ordinary non-ASCII unit", t + code + "\"<U+00E9>\"", false},
      {"an escaped NUL, which no text of the run holds", t + code + "\"<U+0000>\"", false},
      {"a pair written as two escapes", t + code + "\"<U+D83D><U+DE00>\"", false},
      {"a raw CR", t + code + "\"a\rb\"", false},
      {"a raw tab", t + code + "\"a\tb\"", false},
      {"a raw NUL", t + code + std::string("\"a\0b\"", 5), false},
      {"a raw DEL",
       t + code +
           "\"a\x7F"
           "b\"",
       false},
      {"a raw NEL",
       t + code +
           "\"a\xC2\x85"
           "b\"",
       false},
      {"a raw U+2028",
       t + code +
           "\"a\xE2\x80\xA8"
           "b\"",
       false},
      {"a raw right-to-left override",
       t + code +
           "\"a\xE2\x80\xAE"
           "b\"",
       false},
      {"a raw ALM (U+061C)",
       t + code +
           "\"a\xD8\x9C"
           "b\"",
       false},
      {"a continuation byte alone", t + code + "\"a\x80\"", false},
      {"an overlong '/'", t + code + "\"\xC0\xAF\"", false},
      {"an overlong three-byte form", t + code + "\"\xE0\x80\xAF\"", false},
      {"a surrogate in UTF-8", t + code + "\"\xED\xA0\x80\"", false},
      {"beyond U+10FFFF", t + code + "\"\xF4\x90\x80\x80\"", false},
      {"a cut sequence", t + code + "\"\xE2\x80\"", false},
      {"a byte that UTF-8 never uses", t + code + "\"\xFF\"", false},
      {"invalid UTF-8 in a package name", t + "mivo\xFF.msi: ProductCode: \"x\"", false},
      {"an escape in a package name that needs none", t + "<U+006D>ivo.msi: package: opened",
       false},

      {"a number with a leading zero", t + end + "095 ms", false},
      {"a number with a sign", t + end + "+95 ms", false},
      {"a negative count", t + end + "-1 ms", false},
      {"a count beyond 32 bits", t + end + "4294967296 ms", false},
      {"an end that counts no failures as failed", t + end + "0 failed, 95 ms", false},
      {"a state of -0", t + state + "-0 (not installed)", false},
      {"a state beyond int", t + state + "2147483648 (not installed)", false},
      {"a state with other words", t + state + "5 (absent)", false},
      {"a known failure without its name", t + install + "1603", false},
      {"a known failure with another name", t + install + "1603 (ERROR_FUNCTION_FAILED)", false},
      {"success written as an error name", t + install + "0 (ERROR_SUCCESS)", false},
      {"success without its word", t + install + "0", false},
      {"an unknown result with a name", t + install + "1234 (ERROR_X)", false},
      {"a result with a blank after it", t + install + "0 (success) ", false},
      {"a plan rule of no plan",
       t + "mivo.msi: plan: any language, package \"p\", key file KELD.DLL, log \"l\"", false},
      {"a wait before another call",
       t + "mivo.msi: wait: the installer is busy with another installation (1618); waiting 2000 "
           "ms before the upgrade is tried again",
       false},
      {"a key file name that is empty", t + "mivo.msi: key file:  has version \"1\" in the package",
       false},
  };
  RecordLine line;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ParseRecordLine(row.line, line), row.parses) << row.line;
  }
}

// What the reader hands on: each run as it is complete, each line that does
// not parse.
class Collect : public mivocheck::RecordSink {
 public:
  void RunDone(const RecordRun& run) override { runs.push_back(run); }
  void LineNotParsed(const std::string& file, unsigned long long line_number) override {
    bad.push_back(file + ":" + std::to_string(line_number));
  }
  std::vector<RecordRun> runs;
  std::vector<std::string> bad;
};

// One line of process `pid` at second `second`.
std::string L(int pid, const std::string& text, int second = 0) {
  char time[32];
  snprintf(time, sizeof time, "2026-12-08 10:00:%02dZ [%d] ", second, pid);
  return time + text + "\r\n";
}

std::string Start(int pid, const std::string& arguments = "") {
  return L(pid, "start: mivoboot 1.0.0.0, executable \"C:\\s\\mivoboot.exe\", arguments \"" +
                    arguments + "\", user default LCID 1031, temporary folder \"C:\\t\"");
}
std::string Plan(int pid, const std::string& package, const char* rule = "core package") {
  return L(pid, package + ": plan: " + rule + ", package \"C:\\s\\" + package +
                    "\", key file KELD.DLL, log \"C:\\t\\l.log\"");
}
std::string Fact(int pid, const std::string& package, const std::string& fact) {
  return L(pid, package + ": " + fact);
}
std::string Installation(int pid, const std::string& package, const std::string& result) {
  return Fact(pid, package,
              "installation: \"C:\\s\\" + package + "\" (log \"C:\\t\\l.log\"): " + result);
}
std::string End(int pid, const std::string& counts = "1 installed, 0 removed, 0 left alone") {
  return L(pid, "end: " + counts + ", 7 ms", 9);
}

std::vector<RecordRun> Assemble(const std::string& file, const std::string& bytes, Collect& sink) {
  mivocheck::RecordFileReader reader(file, sink);
  reader.Feed(bytes.data(), bytes.size());
  reader.Finish();
  return sink.runs;
}

std::string Describe(const RecordRun& run) {
  std::string text = run.file + " [" + std::to_string(run.pid) + "] " +
                     (run.Finished() ? "finished" : "unfinished") + ":";
  for (const mivocheck::PackageRun& package : run.packages) {
    text += " " + Narrow(package.name.c_str()) + " " + mivocheck::OutcomeText(run, package) + ";";
  }
  return text;
}

std::vector<std::string> Describe(const std::vector<RecordRun>& runs) {
  std::vector<std::string> out;
  for (const RecordRun& run : runs) out.push_back(Describe(run));
  return out;
}

TEST(RecordFileReaderTest, AssemblesRunsByProcessFromStartToEnd) {
  struct Row {
    const char* name;
    std::string bytes;
    std::vector<std::string> runs;  // in the order they are complete
    std::vector<std::string> bad;
  };
  const std::string core = "mivo.msi", pack = "mivo_1031.msi";
  const std::vector<Row> rows = {
      {"two runs at once, their lines interleaved",
       Start(10) + Start(11) + Plan(10, core) + Plan(11, core) +
           Fact(11, core, "decision: current, so leave alone") +
           Fact(10, core, "decision: not installed, so install") +
           Installation(10, core, "0 (success)") + End(11, "0 installed, 0 removed, 1 left alone") +
           End(10),
       {"a.log [11] finished: mivo.msi left alone;", "a.log [10] finished: mivo.msi installed;"},
       {}},
      {"a record cut by the size cap starts at the first whole run",
       Fact(10, core, "decision: not installed, so install") +
           Installation(10, core, "1603 (ERROR_INSTALL_FAILURE)") +
           End(10, "0 installed, 0 removed, 0 left alone, 1 failed") + Start(10) + Plan(10, pack) +
           Installation(10, pack, "0 (success)") + End(10),
       {"a.log [10] finished: mivo_1031.msi installed;"},
       {}},
      {"a run without its end line did not finish",
       Start(12) + Plan(12, core) + Plan(12, pack, "fallback language") +
           Fact(12, core, "decision: current, so leave alone") +
           Fact(12, pack, "decision: not installed, so install"),
       {"a.log [12] unfinished: mivo.msi left alone; mivo_1031.msi did not finish;"},
       {}},
      {"a process id that starts again ends the earlier run unfinished",
       Start(13) + Plan(13, core) + Start(13) + Plan(13, core) +
           Fact(13, core,
                "decision: cached key file \"1\" older than \"2\", so remove first and "
                "install") +
           Fact(13, core, "removal: \"{C0DE}\" (log \"C:\\t\\r.log\"): 0 (success)") +
           Installation(13, core, "3010 (success, reboot needed)") +
           End(13, "1 installed, 1 removed, 0 left alone"),
       {"a.log [13] unfinished: mivo.msi did not finish;",
        "a.log [13] finished: mivo.msi removed and installed;"},
       {}},
      {"lines after a run's end belong to no run",
       Start(14) + Plan(14, core) + Installation(14, core, "0 (success)") + End(14) +
           Installation(14, core, "1603 (ERROR_INSTALL_FAILURE)"),
       {"a.log [14] finished: mivo.msi installed;"},
       {}},
      {"lines that do not parse are named, and reading goes on",
       Start(15) + "garbage\r\n" + Plan(15, core) +
           "2026-12-08 10:00:00Z [15] mivo.msi: "
           "package: opened\n" +
           "\r\n" + Installation(15, core, "0 (success)") + End(15) + "2026-12-08 10:00:09Z [15]",
       {"a.log [15] finished: mivo.msi installed;"},
       {"a.log:2", "a.log:4", "a.log:5", "a.log:8"}},
      {"failures, given up and an unreadable cache",
       Start(16) + Plan(16, core) + Plan(16, pack) +
           Fact(16, core,
                "removal: \"{C0DE}\" (log \"C:\\t\\r.log\"): 1605 "
                "(ERROR_UNKNOWN_PRODUCT)") +
           Installation(16, core, "0 (success)") +
           Fact(16, pack,
                "left: the installer is still busy and the run's waiting time is "
                "spent; the installation is left for the next run") +
           Installation(16, pack, "1618 (ERROR_INSTALL_ALREADY_RUNNING)") +
           End(16, "1 installed, 0 removed, 0 left alone, 2 failed"),
       {"a.log [16] finished: mivo.msi removal failed with result 1605 (ERROR_UNKNOWN_PRODUCT); "
        "mivo_1031.msi waited out and gave up on the installation;"},
       {}},
      {"a package path too long installs nothing",
       Start(17) + Plan(17, core) +
           Fact(17, core,
                "plan: the package's path cannot be formed in the folder \"C:\\d\\\" "
                "(too long); nothing is installed") +
           End(17, "0 installed, 0 removed, 0 left alone"),
       {"a.log [17] finished: mivo.msi not installed: a package's path is too long;"},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Collect whole;
    EXPECT_EQ(Describe(Assemble("a.log", row.bytes, whole)), row.runs);
    EXPECT_EQ(whole.bad, row.bad);
    // The same bytes handed over one at a time give the same runs.
    Collect pieces;
    mivocheck::RecordFileReader reader("a.log", pieces);
    for (char c : row.bytes) reader.Feed(&c, 1);
    reader.Finish();
    EXPECT_EQ(Describe(pieces.runs), row.runs);
    EXPECT_EQ(pieces.bad, row.bad);
  }
}

// A run is rebuilt with what its lines say: the start's texts unescaped, and
// per package the plan's rule, the codes, the versions and the decision.
TEST(RecordFileReaderTest, RebuildsARunsFacts) {
  const std::string core = "mivo.msi";
  Collect sink;
  std::vector<RecordRun> runs = Assemble(
      "pc1/MIVOSetup.log",
      Start(20, "1036<U+000D><U+000A>x") + Plan(20, core) + Fact(20, core, "package: opened") +
          Fact(20, core, "ProductCode: \"{C0DE}\"") + Fact(20, core, "ProductVersion: \"7.1\"") +
          Fact(20, core, "installed state: 5 (installed)") +
          Fact(20, core, "installed product: \"{C0DE}\" has version \"7.0\"") +
          Fact(20, core, "decision: installed version \"7.0\" differs from \"7.1\", so install") +
          Installation(20, core, "0 (success)") + End(20),
      sink);
  ASSERT_EQ(runs.size(), 1u);
  const RecordRun& run = runs[0];
  EXPECT_EQ(run.file, "pc1/MIVOSetup.log");
  EXPECT_EQ(run.pid, 20u);
  EXPECT_EQ(run.start_time, "2026-12-08 10:00:00Z");
  EXPECT_EQ(run.end_time, "2026-12-08 10:00:09Z");
  EXPECT_EQ(Narrow(run.executable.c_str()), "C:\\s\\mivoboot.exe");
  EXPECT_EQ(Narrow(run.arguments.c_str()), "1036\r\nx");
  EXPECT_EQ(run.user_lcid, 1031u);
  EXPECT_EQ(Narrow(run.temp_folder.c_str()), "C:\\t");
  ASSERT_EQ(run.packages.size(), 1u);
  const mivocheck::PackageRun& package = run.packages[0];
  EXPECT_EQ(Narrow(package.rule.c_str()), "core package");
  EXPECT_EQ(Narrow(package.product_code.c_str()), "{C0DE}");
  EXPECT_EQ(Narrow(package.package_version.c_str()), "7.1");
  EXPECT_EQ(Narrow(package.installed_version.c_str()), "7.0");
  EXPECT_EQ(package.decision, kRecordDecisionVersionDiffers);
  EXPECT_TRUE(package.installed);
  EXPECT_EQ(package.installation_result, 0u);
  EXPECT_FALSE(package.removed);
  EXPECT_FALSE(mivocheck::RunFailed(run));
}

// Two small records of a fleet: the summary and the CSV, whole.
class FleetTest : public RecordFolderTest {
 protected:
  void SetUp() override {
    RecordFolderTest::SetUp();
    const std::string core = "mivo.msi", pack = "mivo_1031.msi", other = "mivo_1036.msi";
    files_ = {folder_ + "/pc1.log", folder_ + "/pc2.log", folder_ + "/pc3.log"};
    // pc1: a run that installs everything, then one whose pack fails.
    Put(files_[0],
        Start(100, "1036") + Plan(100, core) + Plan(100, other, "language from the command line") +
            Plan(100, pack, "language of the user's default locale") +
            Fact(100, core, "ProductCode: \"{C0DE}\"") +
            Fact(100, core, "decision: not installed, so install") +
            Installation(100, core, "0 (success)") +
            Fact(100, other,
                 "decision: cached key file \"1\" older than \"2\", so remove first "
                 "and install") +
            Fact(100, other, "removal: \"{C0DE-1036}\" (log \"C:\\t\\r.log\"): 0 (success)") +
            Installation(100, other, "0 (success)") +
            Fact(100, pack, "decision: current, so leave alone") +
            End(100, "2 installed, 1 removed, 1 left alone") + Start(101) + Plan(101, core) +
            Plan(101, pack, "language of the user's default locale") +
            Fact(101, core, "decision: current, so leave alone") +
            Fact(101, pack, "decision: not installed, so install") +
            Installation(101, pack, "1603 (ERROR_INSTALL_FAILURE)") +
            End(101, "0 installed, 0 removed, 1 left alone, 1 failed"));
    // pc2: a run whose arguments need quoting in CSV and hold an unpaired
    // surrogate, and which gave up; then a run that did not finish.
    Put(files_[1], Start(200, "a,<U+0022>b<U+0022><U+000D><U+000A><U+D800>") + Plan(200, core) +
                       Fact(200, core, "decision: not installed, so install") +
                       Fact(200, core,
                            "left: the installer is still busy and the run's waiting time is "
                            "spent; the installation is left for the next run") +
                       Installation(200, core, "1618 (ERROR_INSTALL_ALREADY_RUNNING)") +
                       End(200, "0 installed, 0 removed, 0 left alone, 1 failed") + Start(201) +
                       Plan(201, core));
    // pc3: the same pack failure as on pc1, and a line that does not parse.
    Put(files_[2], Start(300) + Plan(300, pack, "fallback language") + "junk\r\n" +
                       Installation(300, pack, "1603 (ERROR_INSTALL_FAILURE)") +
                       End(300, "0 installed, 0 removed, 0 left alone, 1 failed"));
  }

  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // mivocheck --records with `arguments`: its exit code, output and messages.
  int Records(std::vector<std::string> arguments) {
    out_.clear();
    err_.clear();
    // As the system hands them over.
    std::vector<fs::path::string_type> natives;
    for (const std::string& argument : arguments) natives.push_back(fs::u8path(argument).native());
    std::vector<mivocheck::RecordArgument> pointers;
    for (const fs::path::string_type& native : natives) pointers.push_back(native.c_str());
    return mivocheck::ReadRecords(
        pointers, "usage\n", [&](const std::string& text) { out_ += text; },
        [&](const std::string& text) { err_ += text; });
  }

  std::vector<std::string> files_;
  std::string out_, err_;
};

TEST_F(FleetTest, SummaryHasARowPerPackageAndOutcomeAndTheFilesOfEachFailure) {
  EXPECT_EQ(Records({files_[0], files_[1], files_[2]}), 1);
  const std::string& f = folder_;
  EXPECT_EQ(out_,
            "PACKAGE        OUTCOME                                                       RUNS\n"
            "mivo.msi       installed                                                        1\n"
            "mivo.msi       left alone                                                       1\n"
            "mivo.msi       waited out and gave up on the installation                       1\n"
            "mivo.msi       did not finish                                                   1\n"
            "mivo_1031.msi  left alone                                                       1\n"
            "mivo_1031.msi  installation failed with result 1603 (ERROR_INSTALL_FAILURE)     2\n"
            "mivo_1036.msi  removed and installed                                            1\n"
            "\n"
            "5 runs: 1 ended with every call successful, 3 ended with a failed call, 1 did not "
            "finish\n"
            "\n"
            "mivo.msi, waited out and gave up on the installation:\n"
            "  " +
                f +
                "/pc2.log\n"
                "\n"
                "mivo.msi, did not finish:\n"
                "  " +
                f +
                "/pc2.log\n"
                "\n"
                "mivo_1031.msi, installation failed with result 1603 (ERROR_INSTALL_FAILURE):\n"
                "  " +
                f +
                "/pc1.log\n"
                "  " +
                f + "/pc3.log\n");
  EXPECT_EQ(err_, f + "/pc3.log:3: does not parse as a line of the record\n"
                      "mivocheck: 1 line does not parse\n");
}

TEST_F(FleetTest, CsvHasARowPerRunAndPackage) {
  EXPECT_EQ(Records({"--csv", files_[0], files_[1]}), 1);
  const std::string a = folder_ + "/pc1.log,", b = folder_ + "/pc2.log,";
  const std::string start = "1.0.0.0,C:\\s\\mivoboot.exe,";
  const std::string t = ",1031,C:\\t,";
  EXPECT_EQ(
      out_,
      "file,pid,start,end,version,executable,arguments,user_lcid,temporary_folder,package,rule,"
      "product_code,package_version,installed_version,decision,removal_result,installation_"
      "result,outcome\r\n" +
          a + "100,2026-12-08 10:00:00Z,2026-12-08 10:00:09Z," + start + "1036" + t +
          "mivo.msi,core package,{C0DE},,,install: not installed,,0,installed\r\n" + a +
          "100,2026-12-08 10:00:00Z,2026-12-08 10:00:09Z," + start + "1036" + t +
          "mivo_1036.msi,language from the command line,,,,remove and install: older key "
          "file,0,0,removed and installed\r\n" +
          a + "100,2026-12-08 10:00:00Z,2026-12-08 10:00:09Z," + start + "1036" + t +
          "mivo_1031.msi,language of the user's default locale,,,,leave alone: current,,,left "
          "alone\r\n" +
          a + "101,2026-12-08 10:00:00Z,2026-12-08 10:00:09Z," + start + t +
          "mivo.msi,core package,,,,leave alone: current,,,left alone\r\n" + a +
          "101,2026-12-08 10:00:00Z,2026-12-08 10:00:09Z," + start + t +
          "mivo_1031.msi,language of the user's default locale,,,,install: not installed,,1603,"
          "installation failed with result 1603 (ERROR_INSTALL_FAILURE)\r\n" +
          b + "200,2026-12-08 10:00:00Z,2026-12-08 10:00:09Z," + start +
          "\"a,\"\"b\"\"<U+000D><U+000A>\xEF\xBF\xBD\"" + t +
          "mivo.msi,core package,,,,install: not installed,,1618,waited out and gave up on the "
          "installation\r\n" +
          b + "201,2026-12-08 10:00:00Z,," + start + t +
          "mivo.msi,core package,,,,,,,did not finish\r\n");
  EXPECT_EQ(err_, "");
}

TEST_F(FleetTest, ExitCodes) {
  const std::string clean = folder_ + "/clean.log";
  Put(clean, Start(1) + Plan(1, "mivo.msi") + Installation(1, "mivo.msi", "0 (success)") + End(1));
  const std::string unfinished = folder_ + "/unfinished.log";
  Put(unfinished, Start(2) + Plan(2, "mivo.msi"));
  const std::string unparsed = folder_ + "/unparsed.log";
  Put(unparsed, "not a record\r\n" + Start(3) + End(3, "0 installed, 0 removed, 0 left alone"));
  const std::string absent = folder_ + "/absent.log";
  const std::string empty = folder_ + "/empty";
  fs::create_directories(empty);
  const std::string random = folder_ + "/random.log";
  std::string bytes;
  for (unsigned n = 1; bytes.size() < 4096; ++n)
    bytes += static_cast<char>((n * 2654435761u) >> 24);
  Put(random, bytes);
  // The clean record re-encoded as UTF-16 with its byte-order mark.
  const std::string utf16 = folder_ + "/utf16.log";
  std::string wide = "\xFF\xFE";
  for (char c : Start(1) + End(1)) wide += std::string(1, c) + '\0';
  Put(utf16, wide);
  // Records as collected from a fleet: a folder per machine.
  const std::string fleet = folder_ + "/fleet";
  for (const char* machine : {"pc-a", "pc-b"}) {
    fs::create_directories(fleet + "/" + machine);
    fs::copy_file(clean, fleet + "/" + machine + "/MIVOSetup.log");
  }
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    int code;
    const char* message;  // a part of what goes to standard error
    const char* output;   // a part of the output
  };
  const std::vector<Row> rows = {
      {"every run ended with no failed call", {clean}, 0, "", "1 run: 1 ended"},
      {"the same as CSV", {"--csv", clean}, 0, "", ",installed\r\n"},
      {"a line that does not parse among good runs",
       {unparsed},
       1,
       "unparsed.log:1: ",
       "nothing planned"},
      {"good runs of several files alone", {clean, fleet}, 0, "", "3 runs: 3 ended"},
      {"an empty folder", {empty}, 2, "no run in the records named", "0 runs"},
      {"random bytes", {random}, 2, "random.log:1: ", "0 runs"},
      {"a record in UTF-16", {utf16}, 2, "utf16.log:1: ", "0 runs"},
      {"random bytes beside a good record", {random, clean}, 1, "random.log:1: ", "1 run: 1"},
      {"a record in UTF-16 as CSV", {"--csv", utf16}, 2, "no run", "file,pid,"},
      {"a run failed", {clean, files_[0]}, 1, "", "3 runs"},
      {"a run did not finish", {clean, unfinished}, 1, "", "1 did not finish"},
      {"a failure as CSV", {"--csv", files_[0]}, 1, "", "1603 (ERROR_INSTALL_FAILURE)\r\n"},
      {"a file that cannot be read; the others are still read",
       {absent, clean},
       2,
       "cannot read ",
       "1 run: 1 ended"},
      {"a folder stands for every file below it", {fleet}, 0, "", "2 runs: 2 ended"},
      {"a folder with a failure", {fleet, files_[0]}, 1, "", "4 runs"},
      {"no file", {}, 2, "usage", ""},
      {"--csv without a file", {"--csv"}, 2, "usage", ""},
      {"an unknown option", {"--json", clean}, 2, "unknown option --json", ""},
      {"-- ends the options", {"--", clean}, 0, "", "1 run: 1 ended"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Records(row.arguments), row.code);
    EXPECT_NE(err_.find(row.message), std::string::npos) << err_;
    EXPECT_NE(out_.find(row.output), std::string::npos) << out_;
    if (row.message[0] == 0) {
      EXPECT_EQ(err_, "");
    }
  }
}

#ifndef _WIN32
// A folder is walked to every depth, each file once: a link to a folder is not
// followed, and a file below the folder that cannot be read is named by the
// folder as given and the names below it.
TEST_F(FleetTest, FolderWalkReadsEachFileOnceAndNamesWhatItCannotRead) {
  const std::string fleet = folder_ + "/walk";
  fs::create_directories(fleet + "/site/pc-a");
  Put(fleet + "/site/pc-a/MIVOSetup.log",
      Start(1) + Plan(1, "mivo.msi") + Installation(1, "mivo.msi", "0 (success)") + End(1));
  fs::create_directory_symlink("site", fleet + "/again");
  EXPECT_EQ(Records({fleet}), 0);
  EXPECT_NE(out_.find("1 run: 1 ended"), std::string::npos) << out_;
  EXPECT_EQ(err_, "");

  fs::create_symlink("absent.log", fleet + "/site/gone.log");
  for (const std::string& named : {fleet, fleet + "/"}) {
    SCOPED_TRACE(named);
    EXPECT_EQ(Records({named}), 2);
    EXPECT_NE(out_.find("1 run: 1 ended"), std::string::npos) << out_;
    EXPECT_EQ(err_, "mivocheck: cannot read " + fleet + "/site/gone.log\n");
  }
}
#endif

// The fields of one CSV row of RFC 4180 (quoted fields may hold anything).
std::vector<std::string> CsvFields(const std::string& row) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < row.size(); ++i) {
    const char c = row[i];
    if (quoted && c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// Every kind of run gives rows of the header's fields, split at CRLF alone
// (no cell holds a raw line break), each field holding what it promises: the
// results are numbers or empty, the outcome is last.
TEST_F(FleetTest, EveryCsvRowHasTheHeadersFields) {
  const std::string p = "mivo.msi";
  struct Row {
    const char* name;
    std::string record;
    const char* outcome;
  };
  const std::vector<Row> rows = {
      {"installed", Start(1) + Plan(1, p) + Installation(1, p, "0 (success)") + End(1),
       "installed"},
      {"the folder cannot be read",
       Start(2) + L(2, "plan: the executable's own folder cannot be read; nothing is installed") +
           End(2, "0 installed, 0 removed, 0 left alone"),
       "nothing planned: the folder cannot be read"},
      {"nothing planned", Start(3) + End(3, "0 installed, 0 removed, 0 left alone"),
       "nothing planned"},
      {"did not finish without packages", Start(4), "did not finish"},
      {"did not finish with a package", Start(5) + Plan(5, p), "did not finish"},
      {"a failed removal",
       Start(6) + Plan(6, p) +
           Fact(6, p, "removal: \"{C}\" (log \"l\"): 1603 (ERROR_INSTALL_FAILURE)") +
           End(6, "0 installed, 0 removed, 0 left alone, 1 failed"),
       "removal failed with result 1603 (ERROR_INSTALL_FAILURE)"},
      {"a path too long",
       Start(7) + Plan(7, p) +
           Fact(7, p,
                "plan: the package's path cannot be formed in the folder \"C:\\s\" (too long); "
                "nothing is installed") +
           End(7, "0 installed, 0 removed, 0 left alone"),
       "not installed: a package's path is too long"},
      {"texts with line breaks and controls",
       Start(8, "a<U+000D><U+000A>b<U+0085>c<U+2028>d<U+001B>[2J") + Plan(8, p) +
           Installation(8, p, "3010 (success, reboot needed)") + End(8),
       "installed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Put(files_[0], row.record);
    ASSERT_NE(Records({"--csv", files_[0]}), 2) << err_;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = out_.find("\r\n", at)) != std::string::npos; at = end + 2) {
      lines.push_back(out_.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), 2u) << out_;
    const std::vector<std::string> header = CsvFields(lines[0]);
    ASSERT_EQ(header.size(), 18u);
    const std::vector<std::string> fields = CsvFields(lines[1]);
    ASSERT_EQ(fields.size(), header.size()) << lines[1];
    for (const char* number : {"removal_result", "installation_result", "pid", "user_lcid"}) {
      const std::string& value =
          fields[std::find(header.begin(), header.end(), number) - header.begin()];
      EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos)
          << number << ": " << value;
    }
    EXPECT_EQ(fields.back(), row.outcome);
    for (unsigned char c : lines[1]) EXPECT_GE(c, 0x20) << "a raw control in " << lines[1];
  }
}

// Outside texts reach the terminal escaped as the record escapes them: the
// package names of the summary, the files of its failures and of the
// messages, an unknown option. A control, a C1 control, DEL or a
// bidirectional control in any of them shows as its number.
TEST_F(FleetTest, SummaryAndMessagesShowOutsideTextsEscaped) {
  // ESC [2J, CSI (U+009B), DEL, RLO (U+202E), LRI (U+2066), a line break; a
  // file name holds all but the controls below U+0020, which Windows refuses.
  const std::string named = "<U+009B>31m<U+007F><U+202E>gol<U+2066>";
  const std::string hostile = "<U+001B>[2J" + named + "<U+000A>";
  const std::string named_utf8 =
      "\xC2\x9B"
      "31m\x7F\xE2\x80\xAEgol\xE2\x81\xA6";
  const std::string package = "mivo" + hostile + ".msi";
  const std::string file = folder_ + "/pc" + named_utf8 + ".log";
  std::ofstream(fs::u8path(file), std::ios::binary)
      << Start(1) + Plan(1, package) + Installation(1, package, "1603 (ERROR_INSTALL_FAILURE)") +
             "junk\r\n" + End(1, "0 installed, 0 removed, 0 left alone, 1 failed");
  EXPECT_EQ(Records({"--x\x1B[2J" + named_utf8 + "\n", file}), 2);
  EXPECT_NE(err_.find("unknown option --x" + hostile), std::string::npos) << err_;
  EXPECT_EQ(Records({file}), 1);
  EXPECT_NE(out_.find("mivo" + hostile + ".msi  installation failed"), std::string::npos) << out_;
  EXPECT_NE(out_.find("/pc" + named + ".log\n"), std::string::npos) << out_;
  EXPECT_NE(err_.find("/pc" + named + ".log:4: does not parse"), std::string::npos) << err_;
  for (const std::string* text : {&out_, &err_}) {
    for (size_t i = 0; i < text->size(); ++i) {
      const unsigned char c = (*text)[i];
      EXPECT_TRUE(c >= 0x20 || c == '\n') << "raw control " << int(c) << " in " << *text;
      EXPECT_NE(c, 0x7F);
      EXPECT_FALSE(c == 0xC2 && i + 1 < text->size() &&
                   static_cast<unsigned char>((*text)[i + 1]) < 0xA0)
          << "a C1 control in " << *text;
    }
    for (const char* bidi : {"\xE2\x80\xAE", "\xE2\x81\xA6"}) {
      EXPECT_EQ(text->find(bidi), std::string::npos) << *text;
    }
  }
  // The escaping is the record's own: a text written and read back escapes as
  // the record has it.
  EXPECT_EQ(mivocheck::RecordTextEscaped(Units({'a', 0x1B, 0x202E, 0xD800, 0xD83D, 0xDE00, '<'})),
            "a<U+001B><U+202E><U+D800>\xF0\x9F\x98\x80<U+003C>");
}

}  // namespace
