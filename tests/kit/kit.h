// The Windows test kit, mivo-e2e.exe: the parts its scenarios share. The kit
// runs mivoboot.exe natively against the Windows Installer of the machine it
// runs on and checks the outcome through the installer's own functions, the
// package logs and the run record. A test tool: it uses the standard library
// and exceptions freely.
#ifndef TESTS_KIT_KIT_H
#define TESTS_KIT_KIT_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
// The installer headers need the Windows types first. They only declare: the
// kit binds msi.dll at run time (installer.cc).
#include <msi.h>
#include <msiquery.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/module_path.h"
#include "tests/support/windows_text.h"

namespace kit {

// --- Text --------------------------------------------------------------------

using testing_support::FromUtf8;
using testing_support::Utf8;
bool EqualsIgnoreCase(const std::wstring& left, const std::wstring& right);
bool ContainsIgnoreCase(const std::string& text, const std::string& fragment);

// --- Check lines -------------------------------------------------------------

// One "PASS: ...", "FAIL: ..." or "SKIP: ... (reason)" line per check, on
// standard output in UTF-8, each prefixed with the current scenario's name.
class Report {
 public:
  void Begin(const std::string& scenario) { scenario_ = scenario; }
  void Pass(const std::string& text);
  void Fail(const std::string& text);
  void Skip(const std::string& text, const std::string& reason);
  void Info(const std::string& text);
  // PASS text, or FAIL text with the detail in parentheses. Returns `ok`.
  bool Check(bool ok, const std::string& text, const std::string& detail = std::string());

  int passed() const { return passed_; }
  int failed() const { return failed_; }
  int skipped() const { return skipped_; }

 private:
  void Line(const char* kind, const std::string& text);
  std::string scenario_;
  int passed_ = 0;
  int failed_ = 0;
  int skipped_ = 0;
};

// Thrown when a scenario cannot build the state its checks need; the runner
// reports it as a failed check and goes on with the next scenario.
class PreparationError : public std::runtime_error {
 public:
  explicit PreparationError(const std::string& what) : std::runtime_error(what) {}
};

// --- Files and folders ---------------------------------------------------------

// The path with the \\?\ prefix, so that file functions accept it at any
// length. Relative paths and paths that already have a prefix are returned as
// they are.
std::wstring LongPath(const std::wstring& path);
// The folder of a path, and the path of a module of the kit's process.
using testing_support::FolderOf;
using testing_support::ModulePath;
// The temporary folder of the kit's own process, long names, no trailing
// backslash.
std::wstring TempFolder();
// The Windows folder (for its Installer folder, the installer's cache).
std::wstring WindowsFolder();

void MakeFolders(const std::wstring& path);                           // throws PreparationError
void CopyOneFile(const std::wstring& from, const std::wstring& to);   // throws PreparationError
void WriteBytes(const std::wstring& path, const std::string& bytes);  // throws PreparationError
bool ReadBytes(const std::wstring& path, std::string& bytes);
bool FileExists(const std::wstring& path);
void DeleteTree(const std::wstring& path);
// The names (not paths) of the files in `folder` matching `pattern`.
std::vector<std::wstring> FilesIn(const std::wstring& folder, const std::wstring& pattern);

// --- Environment blocks --------------------------------------------------------

// The entries "NAME=VALUE" of a block of the CreateProcessW kind (entries ended
// by NUL, the block by an empty entry).
std::vector<std::wstring> ParseEnvironmentBlock(const wchar_t* block);
std::vector<std::wstring> CurrentEnvironment();

// One change of an environment: set NAME to the value, or remove NAME when
// there is no value. Names compare without regard to case, as Windows does.
typedef std::pair<std::wstring, std::optional<std::wstring>> EnvironmentChange;

// The block for CREATE_UNICODE_ENVIRONMENT: `entries` with the changes made
// (of several changes of one name the last), sorted by name without regard to
// case, as Windows keeps its blocks.
std::wstring MakeEnvironmentBlock(const std::vector<std::wstring>& entries,
                                  const std::vector<EnvironmentChange>& changes);

// --- Processes -----------------------------------------------------------------

// Closes a kernel handle once, when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE value) : value_(value) {}
  Handle(Handle&& other) noexcept : value_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }
  HANDLE Get() const { return value_; }
  HANDLE Release();
  void Reset();

 private:
  HANDLE value_ = nullptr;
};

struct Process {
  Handle process;
  Handle thread;
  DWORD id = 0;
};

// Starts `exe` with the command line "\"exe\"" followed by a blank and
// `arguments` (nothing when empty), in `folder` (empty: the kit's current
// folder). An empty `environment` passes the kit's own. Throws
// PreparationError when the process cannot be started.
Process StartProcess(const std::wstring& exe, const std::wstring& arguments,
                     const std::wstring& environment, const std::wstring& folder = std::wstring());

struct ProcessEnd {
  bool finished = false;  // false: the time limit passed and the process was terminated
  DWORD exit_code = 0;
};
ProcessEnd WaitForProcess(Process& process, DWORD limit_ms);

// The exit code as the report shows it: decimal, and hexadecimal with a word
// for the exception codes a crash leaves.
std::string DescribeExitCode(DWORD code);

// The current time as UTC file time (100 ns units).
ULONGLONG UtcNow();

// True when the kit runs under Wine (ntdll exports wine_get_version), with
// the version text.
bool UnderWine(std::string& version);

// --- The Windows Installer -------------------------------------------------------

// The installer functions the kit calls, bound at run time from the msi.dll of
// the system folder (never by import, never by a search of other folders).
class Installer {
 public:
  // Binds every function; false with the reason when msi.dll or a function is
  // missing. Switches the installer's UI off for the kit's own calls.
  bool Bind(std::string& error);

  INSTALLSTATE State(const std::wstring& product) const;
  // Product information such as "VersionString" or "LocalPackage"; empty when
  // the installer gives none.
  std::wstring Info(const std::wstring& product, const wchar_t* property) const;
  // A property of a package file, read-only; empty when unreadable.
  std::wstring PackageProperty(const std::wstring& package, const wchar_t* property) const;
  // The Version column of the File row whose long file name is `key_file`;
  // nullopt when the package or the row cannot be read.
  std::optional<std::wstring> KeyFileVersion(const std::wstring& package,
                                             const std::wstring& key_file) const;
  UINT Install(const std::wstring& package, const std::wstring& properties) const;
  // MsiConfigureProductExW(code, 0, INSTALLSTATE_ABSENT, L"").
  UINT Remove(const std::wstring& product) const;
  // The same removal with `properties`, at the UI level `level` (the setup's
  // 258 shows the installer's source dialogs); the kit's calls are silent
  // again afterwards.
  UINT RemoveAtLevel(const std::wstring& product, const std::wstring& properties,
                     INSTALLUILEVEL level) const;
  // The product codes of every product the installer knows for this user.
  std::vector<std::wstring> Products() const;

 private:
  decltype(&::MsiSetInternalUI) set_internal_ui_ = nullptr;
  decltype(&::MsiQueryProductStateW) query_product_state_ = nullptr;
  decltype(&::MsiGetProductInfoW) get_product_info_ = nullptr;
  decltype(&::MsiOpenDatabaseW) open_database_ = nullptr;
  decltype(&::MsiDatabaseOpenViewW) open_view_ = nullptr;
  decltype(&::MsiViewExecute) view_execute_ = nullptr;
  decltype(&::MsiViewFetch) view_fetch_ = nullptr;
  decltype(&::MsiRecordGetStringW) record_get_string_ = nullptr;
  decltype(&::MsiCloseHandle) close_handle_ = nullptr;
  decltype(&::MsiConfigureProductExW) configure_product_ex_ = nullptr;
  decltype(&::MsiInstallProductW) install_product_ = nullptr;
  decltype(&::MsiEnumProductsW) enum_products_ = nullptr;

  std::wstring RecordText(MSIHANDLE record, UINT field) const;
  // Rows of a read-only query on a package, each row's fields as text.
  bool Query(const std::wstring& package, const wchar_t* sql, UINT fields,
             std::vector<std::vector<std::wstring>>& rows) const;
};

// --- The run record and the package logs ----------------------------------------

struct RecordLine {
  std::string text;  // the line without its CRLF
  bool well_formed = false;
  SYSTEMTIME time = {};  // UTC, when well formed
  DWORD pid = 0;
  std::string message;  // UTF-8
};

struct Record {
  bool bom = false;  // starts with a UTF-8 byte order mark
  bool utf8 = true;  // every line is well-formed UTF-8
  bool crlf = true;  // every line ends in CR LF, and no CR or LF stands alone
  std::vector<RecordLine> lines;
};

// Reads the run record's lines "YYYY-MM-DD hh:mm:ssZ [PID] MESSAGE".
Record ParseRecord(const std::string& bytes);

// The text of a package log as single bytes (a UTF-16 log loses its high
// bytes), for matching ASCII fragments.
std::string LogText(const std::string& bytes);
// The log shows a removal: the REMOVE property set to ALL.
bool LogShowsRemoval(const std::string& text);
// The log shows an installation: the file installation action ran, and the
// log shows no removal.
bool LogShowsInstallation(const std::string& text);

// --- The setup's plan ---------------------------------------------------------------

// The locale identifiers the setup supports.
const std::vector<LCID>& SupportedLanguages();
// The decimal text of a supported LCID, exactly (no blanks, signs or zeros).
std::optional<LCID> SupportedLanguageOf(const std::wstring& text);
// The language packs a run installs, in order: the command line's language
// when supported, the user's when supported and not already planned, 1033
// when neither applies.
std::vector<LCID> ExpectedPacks(const std::wstring& command_line, LCID user);

// --- Scenarios ----------------------------------------------------------------------

struct Options {
  std::wstring kit_folder;  // the folder of mivo-e2e.exe
  std::wstring exe;         // the mivoboot.exe under test
  std::wstring check;       // the mivocheck.exe of the kit
  std::wstring only;        // one scenario, or empty for all
  bool keep = false;        // leave the scratch folders
};

// Runs the first step (products left behind by an earlier run) and then every
// scenario, or only `options.only`, one of ScenarioNames().
void RunScenarios(const Options& options, const Installer& installer, Report& report);
// "leftovers" (the first step) and the scenarios, in the order they run.
std::vector<std::string> ScenarioNames();

}  // namespace kit

#endif  // TESTS_KIT_KIT_H
