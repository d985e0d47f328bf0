// mivocheck FOLDER: checks a release folder before it ships and prints one line
// per finding, then a summary of its packages.
//
// Exit code 0: no finding, or warnings only; 1: at least one error (or no
// Windows Installer to read the packages with); 2: bad usage (no folder, more
// than one argument, a folder that does not exist).
//
// mivocheck --records [--csv] FILE...: reads run records collected from many
// machines and prints a summary of their runs per package and outcome (or,
// with --csv, one CSV row per run and package). Exit code 0: at least one run
// was read, every line parsed and every run ended with no failed call; 1: a
// line does not parse, or some run failed or did not finish; 2: bad usage, a
// file that cannot be read, or no run at all in what was named.
//
// mivocheck --result [FILE]: exits with the installer-style code of the newest
// run in one record (by default the one that mivoboot.exe writes) and prints
// one line naming the code and its cause; see mivocheck/result.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

#include "mivocheck/check.h"
#include "mivocheck/files.h"
#include "mivocheck/records.h"
#include "mivocheck/result.h"
#include "platform/platform.h"
#include "platform/utf8.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "platform/windows/msi_binding.h"
#endif

namespace {

const char kUsage[] =
    "usage: mivocheck FOLDER\n"
    "       mivocheck --records [--csv] FILE...\n"
    "       mivocheck --result [FILE]\n";

#ifdef _WIN32
// UTF-16 to a console (whose code page may not be UTF-8), UTF-8 bytes to a
// file or pipe.
void Print(FILE* stream, const std::string& text) {
  HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    const std::wstring wide = utf8::ToUtf16<wchar_t>(text.c_str());
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
}
#else
void Print(FILE* stream, const std::string& text) { fwrite(text.data(), 1, text.size(), stream); }
#endif

// A folder named in a message, as UTF-8.
#ifdef _WIN32
std::string FolderText(const mivocheck::PathString& folder) {
  return utf8::FromUtf16(folder.c_str());
}
#else
std::string FolderText(const mivocheck::PathString& folder) { return folder; }
#endif

// mivocheck --records: the arguments after it stay as the system gave them,
// however many files they name.
int Records(int count, const mivocheck::RecordArgument* arguments) {
  return mivocheck::ReadRecords(
      std::vector<mivocheck::RecordArgument>(arguments, arguments + count), kUsage,
      [](const std::string& text) { Print(stdout, text); },
      [](const std::string& text) { Print(stderr, text); });
}

// mivocheck --result: the same, for one record.
int Result(int count, const mivocheck::RecordArgument* arguments) {
  return mivocheck::ReportResult(
      std::vector<mivocheck::RecordArgument>(arguments, arguments + count), kUsage,
      [](const std::string& text) { Print(stdout, text); },
      [](const std::string& text) { Print(stderr, text); });
}

int Run(const std::vector<mivocheck::PathString>& arguments) {
  if (arguments.size() != 1) {
    Print(stderr, kUsage);
    return 2;
  }
  const mivocheck::PathString& folder = arguments[0];
  if (!mivocheck::IsFolder(folder)) {
    Print(stderr, "mivocheck: no such folder: " + FolderText(folder) + "\n" + kUsage);
    return 2;
  }
#ifdef _WIN32
  if (!BindWindowsInstaller()) {
    Print(stderr, "mivocheck: the Windows Installer (msi.dll) cannot be loaded\n");
    return 1;
  }
#endif
  mivocheck::FolderReport report;
  if (!mivocheck::CheckFolder(folder, report)) {
    Print(stderr, "mivocheck: cannot list the folder " + FolderText(folder) + "\n");
    return 1;
  }
  Print(stdout, mivocheck::FormatReport(report));
  return report.HasErrors() ? 1 : 0;
}

}  // namespace

#ifdef _WIN32
// What ends the program when an exception is not caught (no memory left): one
// line and an abnormal end. It takes the place of the C++ library's own
// handler, which names the exception's type through a demangler that would be
// a sixth of the program.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  static const char kTerminated[] = "mivocheck: ended by an error it cannot report\n";
  fwrite(kTerminated, 1, sizeof kTerminated - 1, stderr);
  abort();
}
}  // namespace __gnu_cxx

// The same for the errors that the C++ library's containers and strings would
// throw (no memory, a length or position out of range): the library's own
// functions build exception objects whose strings and classes would be a
// fifth of the program. None of them is ever caught here.
namespace std {
namespace {
[[noreturn]] void Unreportable() {
  __gnu_cxx::__verbose_terminate_handler();
  abort();
}
}  // namespace
void __throw_bad_alloc() { Unreportable(); }
void __throw_bad_array_new_length() { Unreportable(); }
void __throw_bad_function_call() { Unreportable(); }
void __throw_length_error(const char*) { Unreportable(); }
void __throw_logic_error(const char*) { Unreportable(); }
void __throw_out_of_range_fmt(const char*, ...) { Unreportable(); }
}  // namespace std

// Wide arguments: a folder name outside the ANSI code page arrives whole.
int wmain(int argc, wchar_t** argv) {
  // Bind before anything else loads a library; only the system folder is
  // searched from then on.
  BindWindowsInstaller();
  // "\n" stays "\n" in files and pipes, as on the host.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  if (argc > 1 && wcscmp(argv[1], L"--records") == 0) return Records(argc - 2, argv + 2);
  if (argc > 1 && wcscmp(argv[1], L"--result") == 0) return Result(argc - 2, argv + 2);
  return Run(std::vector<mivocheck::PathString>(argv + 1, argv + argc));
}
#else
int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--records") == 0) return Records(argc - 2, argv + 2);
  if (argc > 1 && strcmp(argv[1], "--result") == 0) return Result(argc - 2, argv + 2);
  return Run(std::vector<mivocheck::PathString>(argv + 1, argv + argc));
}
#endif
