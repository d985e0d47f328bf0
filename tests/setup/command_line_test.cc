// The argument text of the process command line: the program name passed over
// (double quotes group), then every unit of code 32 and below.
#include "setup/command_line.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::WString;

TEST(ArgumentTextTest, PassesOverTheProgramNameAndTheBlanksAfterIt) {
  struct Row {
    const char* name;
    LPCWSTR command_line;
    LPCWSTR argument_text;
  };
  const Row rows[] = {
      {"program name alone", WTEXT("mivoboot.exe"), WTEXT("")},
      {"one argument", WTEXT("mivoboot.exe 1031"), WTEXT("1031")},
      {"blanks between", WTEXT("mivoboot.exe    1031"), WTEXT("1031")},
      {"trailing blanks stay", WTEXT("mivoboot.exe 1031  "), WTEXT("1031  ")},
      {"blanks after the name only", WTEXT("mivoboot.exe   "), WTEXT("")},
      {"quoted name with blanks", WTEXT("\"C:\\Program Files\\Mivo\\mivoboot.exe\" 1031"),
       WTEXT("1031")},
      {"quoted name followed directly by text", WTEXT("\"C:\\a b\\mivoboot.exe\"1031 1036"),
       WTEXT("1036")},
      {"quotes inside the name", WTEXT("C:\\a\"b c\"d\\mivoboot.exe 1031"), WTEXT("1031")},
      {"unclosed quote takes the rest", WTEXT("\"C:\\a b\\mivoboot.exe 1031"), WTEXT("")},
      {"tab, CR and LF are passed over", WTEXT("mivoboot.exe\t\r\n1031"), WTEXT("1031")},
      {"control units are passed over", WTEXT("mivoboot.exe \x01\x1f 1031"), WTEXT("1031")},
      {"no-break space is part of the name", WTEXT("mivo\u00a0boot.exe 1031"), WTEXT("1031")},
      {"blank before the name ends an empty name", WTEXT(" mivoboot.exe 1031"),
       WTEXT("mivoboot.exe 1031")},
      {"several arguments stay together", WTEXT("mivoboot.exe 1031 1036"), WTEXT("1031 1036")},
      {"quotes in the arguments stay", WTEXT("mivoboot.exe \"1031\""), WTEXT("\"1031\"")},
      {"blanks inside the arguments stay", WTEXT("mivoboot.exe a \t b"), WTEXT("a \t b")},
      {"empty command line", WTEXT(""), WTEXT("")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LPCWSTR result = ArgumentText(row.command_line);
    EXPECT_EQ(Narrow(result), Narrow(row.argument_text));
    // The argument text is the end of the command line itself.
    WString whole(row.command_line);
    WString rest(row.argument_text);
    EXPECT_EQ(result, row.command_line + (whole.size() - rest.size()));
  }
}

TEST(ArgumentTextTest, NullIsTheEmptyText) {
  LPCWSTR result = ArgumentText(nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result[0], 0);
}

}  // namespace
