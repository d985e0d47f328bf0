// The Windows text services that the string type relies on. The host build
// checks its replacements; the Windows build runs the same expectations against
// the real services under Wine, so every row is a promise checked twice.
#include <stdarg.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

#ifndef _WIN32
#include "platform/host/host_control.h"
#endif

namespace {

using testing_support::Narrow;
using testing_support::SetEnv;
using testing_support::WString;

int Sprintf(LPWSTR buffer, LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = wvsprintfW(buffer, format, arguments);
  va_end(arguments);
  return result;
}

int Nsprintf(LPWSTR buffer, int capacity, LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = wvnsprintfW(buffer, capacity, format, arguments);
  va_end(arguments);
  return result;
}

WString Repeat(WCHAR unit, size_t count) { return WString(count, unit); }

// --- wvsprintfW -------------------------------------------------------------

struct FormatRow {
  const char* name;
  int (*format)(LPWSTR buffer);
  LPCWSTR expected;
};

TEST(WvsprintfTest, ConversionsTheStringsUse) {
  const FormatRow rows[] = {
      {"percent", [](LPWSTR b) { return Sprintf(b, WTEXT("100%%")); }, WTEXT("100%")},
      {"d", [](LPWSTR b) { return Sprintf(b, WTEXT("x=%d"), 5); }, WTEXT("x=5")},
      {"d negative", [](LPWSTR b) { return Sprintf(b, WTEXT("%d"), -2147483647 - 1); },
       WTEXT("-2147483648")},
      {"u", [](LPWSTR b) { return Sprintf(b, WTEXT("%u"), 4294967295u); }, WTEXT("4294967295")},
      {"x", [](LPWSTR b) { return Sprintf(b, WTEXT("%x"), 0xBEEFu); }, WTEXT("beef")},
      {"X", [](LPWSTR b) { return Sprintf(b, WTEXT("%X"), 0xBEEFu); }, WTEXT("BEEF")},
      {"#x", [](LPWSTR b) { return Sprintf(b, WTEXT("%#x"), 255u); }, WTEXT("0xff")},
      {"I64d", [](LPWSTR b) { return Sprintf(b, WTEXT("%I64d"), 1234567890123LL); },
       WTEXT("1234567890123")},
      {"I64d then d", [](LPWSTR b) { return Sprintf(b, WTEXT("%I64d/%d"), -5000000000LL, 3); },
       WTEXT("-5000000000/3")},
      {"width", [](LPWSTR b) { return Sprintf(b, WTEXT("[%5d]"), 42); }, WTEXT("[   42]")},
      {"left", [](LPWSTR b) { return Sprintf(b, WTEXT("[%-5d]"), 42); }, WTEXT("[42   ]")},
      {"zero pad", [](LPWSTR b) { return Sprintf(b, WTEXT("[%05d]"), 42); }, WTEXT("[00042]")},
      {"zero pad negative", [](LPWSTR b) { return Sprintf(b, WTEXT("[%05d]"), -42); },
       WTEXT("[-0042]")},
      {"precision d", [](LPWSTR b) { return Sprintf(b, WTEXT("[%.4d]"), 42); }, WTEXT("[0042]")},
      {"c", [](LPWSTR b) { return Sprintf(b, WTEXT("%c%c"), 'a', 'b'); }, WTEXT("ab")},
      {"s", [](LPWSTR b) { return Sprintf(b, WTEXT("<%s>"), WTEXT("txt")); }, WTEXT("<txt>")},
      {"s null", [](LPWSTR b) { return Sprintf(b, WTEXT("<%s>"), static_cast<LPCWSTR>(nullptr)); },
       WTEXT("<(null)>")},
      {"ls", [](LPWSTR b) { return Sprintf(b, WTEXT("%ls"), WTEXT("wide")); }, WTEXT("wide")},
      {"S narrow", [](LPWSTR b) { return Sprintf(b, WTEXT("%S"), "narrow"); }, WTEXT("narrow")},
      {"s width", [](LPWSTR b) { return Sprintf(b, WTEXT("[%5s]"), WTEXT("ab")); },
       WTEXT("[   ab]")},
      {"s precision", [](LPWSTR b) { return Sprintf(b, WTEXT("[%.2s]"), WTEXT("abcdef")); },
       WTEXT("[ab]")},
      {"s width precision", [](LPWSTR b) { return Sprintf(b, WTEXT("[%5.2s]"), WTEXT("abcdef")); },
       WTEXT("[   ab]")},
      {"unknown type is text", [](LPWSTR b) { return Sprintf(b, WTEXT("a%yb")); }, WTEXT("ayb")},
      {"unknown type takes no argument", [](LPWSTR b) { return Sprintf(b, WTEXT("%y%d"), 7); },
       WTEXT("y7")},
      {"log path",
       [](LPWSTR b) {
         return Sprintf(b, WTEXT("%s\\MIVO%s%sInstall.log"), WTEXT("C:\\Temp"), WTEXT("_"),
                        WTEXT("1033"));
       },
       WTEXT("C:\\Temp\\MIVO_1033Install.log")},
  };
  for (const FormatRow& row : rows) {
    SCOPED_TRACE(row.name);
    WCHAR buffer[1100];
    int result = row.format(buffer);
    EXPECT_EQ(Narrow(row.expected), Narrow(buffer));
    EXPECT_EQ(static_cast<int>(WString(row.expected).size()), result);
  }
}

TEST(WvsprintfTest, OutputStopsAt1024Units) {
  WString long_text = Repeat('a', 2000);
  std::vector<WCHAR> buffer(4096, 'Z');
  int result = Sprintf(buffer.data(), WTEXT("%s"), long_text.c_str());
  WString written(buffer.data());
  EXPECT_EQ(1024, result) << "Windows reports the full 1024 units";
  EXPECT_EQ(1023u, written.size());
  EXPECT_EQ('Z', buffer[1024]) << "wrote past 1024 units";
}

TEST(WvnsprintfTest, CutsAtTheCapacityAndSaysSo) {
  struct Row {
    const char* name;
    int capacity;
    LPCWSTR format;
    LPCWSTR argument;
    LPCWSTR expected;
    bool cut;
  };
  const Row rows[] = {
      {"fits with room", 10, WTEXT("ab%s"), WTEXT("cd"), WTEXT("abcd"), false},
      {"exact fit", 5, WTEXT("ab%s"), WTEXT("cd"), WTEXT("abcd"), true},
      {"literal cut", 4, WTEXT("abcdef%s"), WTEXT(""), WTEXT("abc"), true},
      {"conversion cut", 4, WTEXT("a%s"), WTEXT("bcdef"), WTEXT("abc"), true},
      {"width cut to the room", 3, WTEXT("%5s"), WTEXT("x"), WTEXT(" x"), true},
      {"precision and width cut", 4, WTEXT("%5.2s"), WTEXT("abcdef"), WTEXT(" ab"), true},
      {"one unit", 1, WTEXT("abc%s"), WTEXT(""), WTEXT(""), true},
      {"long text, no 1024 limit", 3000, WTEXT("%s"), nullptr, nullptr, false},
  };
  WString long_text = Repeat('q', 2000);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<WCHAR> buffer(static_cast<size_t>(row.capacity) + 8, 'Z');
    LPCWSTR argument = row.argument ? row.argument : long_text.c_str();
    LPCWSTR expected = row.expected ? row.expected : long_text.c_str();
    int result = Nsprintf(buffer.data(), row.capacity, row.format, argument);
    EXPECT_EQ(Narrow(expected), Narrow(buffer.data()));
    EXPECT_EQ('Z', buffer[static_cast<size_t>(row.capacity)]) << "wrote past the capacity";
    if (row.cut) {
      EXPECT_LT(result, 0);
    } else {
      EXPECT_EQ(static_cast<int>(WString(expected).size()), result);
    }
  }
}

// --- ExpandEnvironmentStringsW -----------------------------------------------

class ExpandEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnv(WTEXT("MIVOTEST_DIR"), WTEXT("C:\\Temp"));
    SetEnv(WTEXT("MIVOTEST_B"), WTEXT("bee"));
    SetEnv(WTEXT("MIVOTEST_NONE"), nullptr);
  }
  void TearDown() override {
    SetEnv(WTEXT("MIVOTEST_DIR"), nullptr);
    SetEnv(WTEXT("MIVOTEST_B"), nullptr);
  }
};

TEST_F(ExpandEnvironmentTest, References) {
  struct Row {
    LPCWSTR source;
    LPCWSTR expected;
  };
  const Row rows[] = {
      {WTEXT(""), WTEXT("")},
      {WTEXT("no references"), WTEXT("no references")},
      {WTEXT("%MIVOTEST_DIR%\\x.log"), WTEXT("C:\\Temp\\x.log")},
      {WTEXT("%mivotest_dir%"), WTEXT("C:\\Temp")},
      {WTEXT("%MivoTest_Dir%%MIVOTEST_B%"), WTEXT("C:\\Tempbee")},
      {WTEXT("%MIVOTEST_NONE%"), WTEXT("%MIVOTEST_NONE%")},
      {WTEXT("%MIVOTEST_NONE%MIVOTEST_B%"), WTEXT("%MIVOTEST_NONE%MIVOTEST_B%")},
      {WTEXT("%MIVOTEST_NONE%%MIVOTEST_B%"), WTEXT("%MIVOTEST_NONE%bee")},
      {WTEXT("50%"), WTEXT("50%")},
      {WTEXT("%%"), WTEXT("%%")},
      {WTEXT("a%MIVOTEST_B"), WTEXT("a%MIVOTEST_B")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.source));
    WCHAR buffer[300];
    DWORD size = ExpandEnvironmentStringsW(row.source, buffer, 300);
    EXPECT_EQ(Narrow(row.expected), Narrow(buffer));
    EXPECT_EQ(WString(row.expected).size() + 1, size) << "the size counts the terminator";
  }
}

TEST_F(ExpandEnvironmentTest, TooSmallGivesTheNeededSize) {
  WCHAR buffer[6];
  DWORD size = ExpandEnvironmentStringsW(WTEXT("%MIVOTEST_DIR%\\x.log"), buffer, 6);
  EXPECT_EQ(WString(WTEXT("C:\\Temp\\x.log")).size() + 1, size);
}

TEST_F(ExpandEnvironmentTest, LongValueComesBackWhole) {
  WString value = Repeat('v', 3000);
  SetEnv(WTEXT("MIVOTEST_LONG"), value.c_str());
  std::vector<WCHAR> buffer(3100);
  DWORD size = ExpandEnvironmentStringsW(WTEXT("<%MIVOTEST_LONG%>"), buffer.data(), 3100);
  SetEnv(WTEXT("MIVOTEST_LONG"), nullptr);
  EXPECT_EQ(3003u, size);
  EXPECT_EQ(WTEXT('<') + value + WTEXT('>'), WString(buffer.data()));
}

// --- Path utilities ------------------------------------------------------------

struct PathRow {
  LPCWSTR path;
  LPCWSTR expected;
  bool result;
};

TEST(PathTest, AddBackslash) {
  const PathRow rows[] = {
      {WTEXT("C:\\dir"), WTEXT("C:\\dir\\"), true},
      {WTEXT("C:\\dir\\"), WTEXT("C:\\dir\\"), true},
      {WTEXT("C:"), WTEXT("C:\\"), true},
      {WTEXT(""), WTEXT(""), true},
  };
  for (const PathRow& row : rows) {
    SCOPED_TRACE(Narrow(row.path));
    WCHAR buffer[260];
    WString(row.path).copy(buffer, 259);
    buffer[WString(row.path).size()] = 0;
    LPWSTR end = PathAddBackslashW(buffer);
    EXPECT_EQ(Narrow(row.expected), Narrow(buffer));
    ASSERT_NE(nullptr, end);
    EXPECT_EQ(0, *end) << "points at the terminator";
  }
}

TEST(PathTest, AddBackslashKeepsToMaxPath) {
  struct Row {
    size_t length;
    bool appended;
  };
  const Row rows[] = {{257, true}, {258, true}, {259, true}, {260, false}, {300, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    std::vector<WCHAR> buffer(400, 0);
    WString path = WTEXT("C:\\") + Repeat('p', row.length - 3);
    path.copy(buffer.data(), path.size());
    LPWSTR end = PathAddBackslashW(buffer.data());
    EXPECT_EQ(row.appended, end != nullptr);
    EXPECT_EQ(row.appended ? row.length + 1 : row.length, WString(buffer.data()).size());
  }
}

TEST(PathTest, RemoveFileSpec) {
  const PathRow rows[] = {
      {WTEXT("C:\\dir\\app.exe"), WTEXT("C:\\dir"), true},
      {WTEXT("C:\\dir\\sub\\"), WTEXT("C:\\dir\\sub"), true},
      {WTEXT("C:\\app.exe"), WTEXT("C:\\"), true},
      {WTEXT("C:\\"), WTEXT("C:\\"), false},
      {WTEXT("app.exe"), WTEXT(""), true},
      {WTEXT("\\app.exe"), WTEXT("\\"), true},
      {WTEXT("\\\\server\\share\\f.msi"), WTEXT("\\\\server\\share"), true},
      {WTEXT(""), WTEXT(""), false},
  };
  for (const PathRow& row : rows) {
    SCOPED_TRACE(Narrow(row.path));
    WCHAR buffer[260];
    WString(row.path).copy(buffer, 259);
    buffer[WString(row.path).size()] = 0;
    BOOL result = PathRemoveFileSpecW(buffer);
    EXPECT_EQ(Narrow(row.expected), Narrow(buffer));
    EXPECT_EQ(row.result, result != 0);
  }
}

TEST(PathTest, UnquoteSpaces) {
  const PathRow rows[] = {
      {WTEXT("\"C:\\a b\\c\""), WTEXT("C:\\a b\\c"), true},
      {WTEXT("\"C:\\a b"), WTEXT("\"C:\\a b"), true},
      {WTEXT("C:\\a\"b\""), WTEXT("C:\\a\"b\""), true},
      {WTEXT("\"\""), WTEXT(""), true},
      {WTEXT("plain"), WTEXT("plain"), true},
  };
  for (const PathRow& row : rows) {
    SCOPED_TRACE(Narrow(row.path));
    WCHAR buffer[260];
    WString(row.path).copy(buffer, 259);
    buffer[WString(row.path).size()] = 0;
    PathUnquoteSpacesW(buffer);
    EXPECT_EQ(Narrow(row.expected), Narrow(buffer));
  }
}

TEST(PathTest, Append) {
  struct Row {
    LPCWSTR path;
    LPCWSTR more;
    LPCWSTR expected;
  };
  const Row rows[] = {
      {WTEXT("C:\\dir\\"), WTEXT("\\mivo.msi"), WTEXT("C:\\dir\\mivo.msi")},
      {WTEXT("C:\\dir"), WTEXT("mivo.msi"), WTEXT("C:\\dir\\mivo.msi")},
      {WTEXT("C:\\dir\\"), WTEXT("mivo_1033.msi"), WTEXT("C:\\dir\\mivo_1033.msi")},
      {WTEXT("C:\\dir"), WTEXT("\\\\sub\\f"), WTEXT("\\\\sub\\f")},
      {WTEXT("C:\\dir"), WTEXT("..\\x.msi"), WTEXT("C:\\x.msi")},
      {WTEXT("C:\\dir"), WTEXT(".\\x.msi"), WTEXT("C:\\dir\\x.msi")},
      {WTEXT("C:\\dir"), WTEXT("D:\\x.msi"), WTEXT("D:\\x.msi")},
      {WTEXT("C:\\dir"), WTEXT(""), WTEXT("C:\\dir")},
      {WTEXT("\\\\server\\share"), WTEXT("f.msi"), WTEXT("\\\\server\\share\\f.msi")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.path) + " + " + Narrow(row.more));
    WCHAR buffer[260];
    WString(row.path).copy(buffer, 259);
    buffer[WString(row.path).size()] = 0;
    EXPECT_NE(0, PathAppendW(buffer, row.more));
    EXPECT_EQ(Narrow(row.expected), Narrow(buffer));
  }
}

// The combined path must fit MAX_PATH with its terminator; a path that does
// not fit is emptied and the result is FALSE.
TEST(PathTest, AppendUpToMaxPath) {
  struct Row {
    size_t combined;  // length of base + backslash + element
    bool fits;
  };
  const Row rows[] = {{258, true}, {259, true}, {260, false}, {300, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.combined);
    std::vector<WCHAR> buffer(600, 0);
    WString base = WTEXT("C:\\") + Repeat('d', 200);
    WString element = Repeat('e', row.combined - base.size() - 1);
    base.copy(buffer.data(), base.size());
    BOOL result = PathAppendW(buffer.data(), element.c_str());
    EXPECT_EQ(row.fits, result != 0);
    EXPECT_EQ(row.fits ? base + WTEXT("\\") + element : WString(), WString(buffer.data()));
  }
}

// --- Numbers, characters, resources, module --------------------------------

TEST(StrToIntTest, SignAndDigits) {
  struct Row {
    LPCWSTR text;
    int expected;
  };
  const Row rows[] = {
      {WTEXT("0"), 0},
      {WTEXT("123"), 123},
      {WTEXT("-45"), -45},
      {WTEXT("12ab"), 12},
      {WTEXT("7.1"), 7},
      {WTEXT("abc"), 0},
      {WTEXT(""), 0},
      {WTEXT("0x10"), 0},
      {WTEXT("007"), 7},
      {WTEXT(" 7"), 0},
      {WTEXT("+7"), 0},
      {WTEXT("-"), 0},
      {WTEXT("2147483647"), 2147483647},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.text));
    EXPECT_EQ(row.expected, StrToIntW(row.text));
  }
}

TEST(CharNextTest, StepsOneUnitAndStaysOnTheTerminator) {
  LPCWSTR text = WTEXT("ab");
  EXPECT_EQ(text + 1, CharNextW(text));
  EXPECT_EQ(text + 2, CharNextW(text + 1));
  EXPECT_EQ(text + 2, CharNextW(text + 2));
}

TEST(LengthTest, CountsUnitsAndNullIsZero) {
  EXPECT_EQ(0, lstrlenW(nullptr));
  EXPECT_EQ(0, lstrlenA(nullptr));
  EXPECT_EQ(3, lstrlenW(WTEXT("abc")));
  EXPECT_EQ(4, lstrlenA("abcd"));
}

TEST(LoadStringTest, ThereIsNoStringTable) {
  WCHAR buffer[16] = {'x', 0};
  EXPECT_EQ(0, LoadStringW(GetModuleHandleW(nullptr), 1, buffer, 16));
  EXPECT_EQ(0, LoadStringW(GetModuleHandleW(nullptr), 65535, buffer, 16));
}

// The result equals the capacity when the path does not fit, and nothing is
// written past the capacity; callers grow their buffer on that result. Current
// Windows and the host terminate the cut path at capacity - 1; Wine 8 keeps the
// older rule (capacity units, no terminator), so only the host checks that.
TEST(ModuleFileNameTest, TooSmallBufferGivesTheCapacity) {
  WCHAR full[1024];
  DWORD length = GetModuleFileNameW(nullptr, full, 1024);
  ASSERT_GT(length, 5u);
  ASSERT_LT(length, 1024u);
  EXPECT_EQ(0, full[length]);
  for (DWORD capacity : {DWORD{1}, DWORD{2}, DWORD{5}, length}) {
    SCOPED_TRACE(capacity);
    std::vector<WCHAR> buffer(capacity + 4, 'Z');
    DWORD result = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    EXPECT_EQ(capacity, result);
    EXPECT_EQ(WString(full, capacity - 1), WString(buffer.data(), capacity - 1));
    EXPECT_EQ('Z', buffer[capacity]);
#ifndef _WIN32
    EXPECT_EQ(0, buffer[capacity - 1]);
#endif
  }
}

#ifndef _WIN32
TEST(ModuleFileNameTest, HostPathLongerThanMaxPath) {
  WString path = WTEXT("C:\\") + Repeat('m', 400) + WTEXT("\\setup.exe");
  host::SetModuleFileName(path);
  std::vector<WCHAR> buffer(1024);
  EXPECT_EQ(260u, GetModuleFileNameW(nullptr, buffer.data(), 260));
  EXPECT_EQ(path.substr(0, 259), WString(buffer.data()));
  EXPECT_EQ(path.size(), GetModuleFileNameW(nullptr, buffer.data(), 1024));
  EXPECT_EQ(path, WString(buffer.data()));
  host::ResetProcessState();
}

TEST(ProcessStateTest, SettableAndReset) {
  host::SetCommandLine(WTEXT("setup.exe 1031"));
  host::SetUserDefaultLCID(1031);
  host::SetEnvironmentVariable(WTEXT("Tmp"), WTEXT("T:\\"));
  EXPECT_EQ(WString(WTEXT("setup.exe 1031")), WString(GetCommandLineW()));
  EXPECT_EQ(1031u, GetUserDefaultLCID());
  WCHAR buffer[32];
  ExpandEnvironmentStringsW(WTEXT("%TMP%"), buffer, 32);
  EXPECT_EQ(WString(WTEXT("T:\\")), WString(buffer));
  OutputDebugStringW(WTEXT("note"));
  DebugBreak();
  EXPECT_EQ(WString(WTEXT("note")), host::DebugOutput());
  EXPECT_EQ(1, host::DebugBreakCount());

  host::ResetProcessState();
  EXPECT_EQ(WString(WTEXT("setup.exe")), WString(GetCommandLineW()));
  EXPECT_EQ(1033u, GetUserDefaultLCID());
  ExpandEnvironmentStringsW(WTEXT("%TMP%"), buffer, 32);
  EXPECT_EQ(WString(WTEXT("%TMP%")), WString(buffer));
  EXPECT_TRUE(host::DebugOutput().empty());
  EXPECT_EQ(0, host::DebugBreakCount());
  WCHAR module[64];
  GetModuleFileNameW(nullptr, module, 64);
  EXPECT_EQ(WString(WTEXT("C:\\Setup\\setup.exe")), WString(module));
}
#endif

}  // namespace
