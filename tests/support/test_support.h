// Helpers shared by the unit tests of both builds.
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H
#define TESTS_SUPPORT_TEST_SUPPORT_H

#include <string>
#include <vector>

#include "mivocheck/records.h"
#include "platform/platform.h"

namespace testing_support {

// The property texts of the program's installer calls, as the installer must
// receive them: a removal's, and an installation's.
constexpr char kRemoveProperties[] = "REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1";
constexpr char kInstallProperties[] = "REBOOT=ReallySuppress";

// A text of the platform's 16-bit code units.
using WString = std::basic_string<WCHAR>;

// Sets (null: removes) an environment variable of this process, as
// ExpandEnvironmentStringsW sees it.
void SetEnv(LPCWSTR name, LPCWSTR value);

// UTF-8 of a UTF-16 text, for test messages; "(null)" for null.
std::string Narrow(LPCWSTR text);
// UTF-16 units of an ASCII or UTF-8 text.
WString Widen(const std::string& text);

// The lines of the run record at `path` (a path of the test program's own
// file system), each without its time stamp and process id. Every line is
// read by the reader of mivocheck --records: a line that does not end in CRLF
// or does not parse fails the running test, naming the file and line, and is
// kept whole with "!" before it. Empty when the file does not exist.
std::vector<std::string> RecordLines(const std::string& path);

// The same lines as the reader gives them; one that does not parse fails the
// running test and is left out.
std::vector<mivocheck::RecordLine> ParsedRecord(const std::string& path);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TEST_SUPPORT_H
