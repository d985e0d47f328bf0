// mivo-e2e.exe: proves a build of mivoboot.exe on the Windows machine it runs
// on, against that machine's Windows Installer, without administrator rights.
//
//   mivo-e2e.exe [--exe PATH] [--only NAME] [--keep]
//
// prints one PASS, FAIL or SKIP line per check and then the line
// "N passed, M failed, K skipped"; the exit code is 1 when a check failed.
// The kit runs these helper modes of itself:
//
//   --hold FILE            writes FILE.started, then waits until FILE is
//                          deleted or 120 s pass (the busy package's custom
//                          action)
//   --load-by-name FOLDER  loads msi.dll by its bare name with FOLDER as the
//                          DLL search path (the control of the planted DLL);
//                          exit code 0 when a library was loaded
#include <algorithm>
#include <cstdio>

#include "tests/kit/kit.h"
// Needs the Windows types of kit.h.
#include <shellapi.h>

namespace {

int Hold(const std::wstring& file) {
  HANDLE started = CreateFileW((file + L".started").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (started != INVALID_HANDLE_VALUE) CloseHandle(started);
  for (int waited = 0; waited < 120000 && kit::FileExists(file); waited += 100) Sleep(100);
  return 0;
}

int LoadByName(const std::wstring& folder) {
  SetDllDirectoryW(folder.c_str());
  return LoadLibraryW(L"msi.dll") ? 0 : 1;
}

std::wstring FullPath(const std::wstring& path) {
  std::vector<wchar_t> buffer(32768);
  DWORD length =
      GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  return length > 0 && length < buffer.size() ? std::wstring(buffer.data(), length) : path;
}

int Usage() {
  std::string names;
  for (const std::string& name : kit::ScenarioNames()) names += "  " + name + "\n";
  std::fprintf(stderr,
               "usage: mivo-e2e.exe [--exe PATH] [--only NAME] [--keep]\n"
               "  --exe PATH   test this mivoboot.exe (default: the one beside mivo-e2e.exe)\n"
               "  --only NAME  run one scenario\n"
               "  --keep       leave the scratch folders in %%TEMP%%\n"
               "scenarios:\n%s",
               names.c_str());
  return 2;
}

}  // namespace

int main() {
  SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> arguments(argv + 1, argv + count);
  LocalFree(argv);

  if (arguments.size() == 2 && arguments[0] == L"--hold") return Hold(arguments[1]);
  if (arguments.size() == 2 && arguments[0] == L"--load-by-name") return LoadByName(arguments[1]);

  kit::Options options;
  options.kit_folder = kit::FolderOf(kit::ModulePath(nullptr));
  options.exe = options.kit_folder + L"\\mivoboot.exe";
  options.check = options.kit_folder + L"\\mivocheck.exe";
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    bool has_value = i + 1 < arguments.size();
    if (argument == L"--exe" && has_value) {
      options.exe = FullPath(arguments[++i]);
    } else if (argument == L"--only" && has_value) {
      options.only = arguments[++i];
    } else if (argument == L"--keep") {
      options.keep = true;
    } else {
      return Usage();
    }
  }

  if (!options.only.empty()) {
    std::vector<std::string> names = kit::ScenarioNames();
    if (std::find(names.begin(), names.end(), kit::Utf8(options.only)) == names.end()) {
      return Usage();
    }
  }

  kit::Report report;
  report.Info("testing " + kit::Utf8(options.exe));
  std::string error;
  kit::Installer installer;
  bool ready = report.Check(kit::FileExists(options.exe), "mivoboot.exe present");
  ready =
      report.Check(installer.Bind(error), "msi.dll bound from the system folder", error) && ready;
  if (ready) kit::RunScenarios(options, installer, report);
  std::printf("%d passed, %d failed, %d skipped\n", report.passed(), report.failed(),
              report.skipped());
  return report.failed() == 0 && ready ? 0 : 1;
}
