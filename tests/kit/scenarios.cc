// The end-to-end scenarios of the test kit. Each one lays mivoboot.exe and the
// packages it needs in a scratch folder of its own, runs it with an exact
// command line and an environment of its own, and checks what the Windows
// Installer then knows, the package logs and the run record. Whatever a
// scenario installed is removed at its end, passed or failed.
#include <stdlib.h>

#include <algorithm>
#include <functional>

#include "mivocheck/records.h"
#include "tests/kit/kit.h"

namespace kit {

namespace {

// The longest a run of mivoboot.exe may take; a hang fails the scenario.
const DWORD kRunLimitMs = 180000;
// The hold of the busy installer scenario, and how long a run is left waiting.
const DWORD kHoldStartLimitMs = 60000;
const DWORD kHeldRunMs = 6000;
// How long two runs are held at the setup's lock before they are let go.
const DWORD kLockHeldMs = 2000;

// The kit's product codes: this prefix, then a role's twelve digits. Upgrade
// codes have 9A7D in place of 8A7D (tests/kit/make_kit_packages.sh).
const wchar_t kProductPrefix[] = L"{B5E2D1A0-4C3F-4E6B-8A7D-";

std::wstring ProductCode(const std::wstring& id) { return kProductPrefix + id + L"}"; }

// One package role: the core package or the language pack of one LCID.
struct Role {
  LCID lcid;              // 0 for the core package
  std::wstring id;        // the last group of its product code
  std::wstring stem;      // its packages in the kit: <stem>-<variant>.msi
  std::wstring file;      // the name the setup plans: mivo.msi, mivo_<LCID>.msi
  std::wstring key_file;  // KELD.DLL or KELDINTL.DLL
  std::wstring install_log;
  std::wstring remove_log;
  std::string label;
  std::wstring Code() const { return ProductCode(id); }
  std::string Name() const { return Utf8(file); }
};

Role Core() {
  return {0,           L"000000000000",    L"core",           L"mivo.msi",
          L"KELD.DLL", L"MIVOInstall.log", L"MIVORemove.log", "core package"};
}

Role Pack(LCID lcid) {
  std::wstring text = std::to_wstring(lcid);
  return {lcid,
          L"00000000" + text,
          L"pack" + text,
          L"mivo_" + text + L".msi",
          L"KELDINTL.DLL",
          L"MIVO_" + text + L"Install.log",
          L"MIVO_" + text + L"Remove.log",
          "language pack " + Utf8(text)};
}

// The other products of the kit: one under the core's upgrade code, the busy
// package and the package that shows whether the installer is busy.
const wchar_t kRelatedId[] = L"0000000A0001";
const wchar_t kBusyId[] = L"0000000B0001";
const wchar_t kTinyId[] = L"0000000B0002";

// A build of a role's package: <stem>-<name>.msi with this version and key file.
struct Variant {
  const wchar_t* name;
  const wchar_t* version;
  const wchar_t* key;
};
const Variant kV1 = {L"v1", L"1.0.0", L"1.0.0.0"};
const Variant kV1NewKey = {L"v1k", L"1.0.0", L"1.0.0.5"};
const Variant kV1Restart = {L"v1r", L"1.0.0", L"1.0.0.0"};
const Variant kV1Force = {L"v1f", L"1.0.0", L"1.0.0.0"};
const Variant kV701 = {L"v701", L"7.01", L"1.0.0.0"};
const Variant kV71 = {L"v71", L"7.1", L"1.0.0.0"};
const Variant kV71NewKey = {L"v71k", L"7.1", L"1.0.0.7"};

// Every product code of the kit that may be installed, for the cleanup.
std::vector<std::wstring> KnownProducts() {
  std::vector<std::wstring> codes = {Core().Code(), ProductCode(kRelatedId), ProductCode(kBusyId),
                                     ProductCode(kTinyId), Pack(1049).Code()};
  for (LCID lcid : SupportedLanguages()) codes.push_back(Pack(lcid).Code());
  return codes;
}

bool IsKitProduct(const std::wstring& code) {
  const std::wstring prefix = kProductPrefix;
  return code.size() > prefix.size() && EqualsIgnoreCase(code.substr(0, prefix.size()), prefix);
}

ULONGLONG FileTimeOf(const SYSTEMTIME& time) {
  FILETIME file_time;
  SystemTimeToFileTime(&time, &file_time);
  return (static_cast<ULONGLONG>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
}

const ULONGLONG kSecond = 10000000;  // in file time units

// Removes every installed product of the kit; what it removed, and what it
// could not.
struct Sweep {
  std::vector<std::wstring> removed;
  std::vector<std::string> failed;
};

Sweep RemoveKitProducts(const Installer& installer) {
  std::vector<std::wstring> codes = KnownProducts();
  for (const std::wstring& code : installer.Products()) {
    if (IsKitProduct(code) &&
        std::none_of(codes.begin(), codes.end(),
                     [&](const std::wstring& known) { return EqualsIgnoreCase(known, code); })) {
      codes.push_back(code);
    }
  }
  Sweep sweep;
  for (const std::wstring& code : codes) {
    if (installer.State(code) == INSTALLSTATE_UNKNOWN) continue;
    UINT result = installer.Remove(code);
    // Another installation may still be ending (the busy scenario's).
    for (int attempt = 0; result == ERROR_INSTALL_ALREADY_RUNNING && attempt < 30; ++attempt) {
      Sleep(2000);
      result = installer.Remove(code);
    }
    if (result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED) {
      sweep.removed.push_back(code);
    } else {
      sweep.failed.push_back(Utf8(code) + ": " + std::to_string(result));
    }
  }
  return sweep;
}

// What the kit found out about the machine before the scenarios.
struct Machine {
  LCID user = 0;    // GetUserDefaultLCID()
  LCID pack = 0;    // the pack an empty command line installs
  LCID beside = 0;  // a supported language other than the user's
  bool wine = false;
  std::string wine_version;
};

// One run of mivoboot.exe.
struct Run {
  std::wstring exe;
  std::wstring arguments;
  std::wstring record_folder;  // where the run record is expected
  std::string record_before;   // the record's bytes before the run
  Process process;
  ProcessEnd end;
  ULONGLONG begin = 0;
  ULONGLONG finish = 0;
  std::vector<std::string> messages;  // the run's record messages, once checked
};

// One run of the command line that a deployment tool is given.
struct ToolRun {
  std::wstring commands;  // inside cmd /c "..."
  ProcessEnd end;
  std::string output;  // what mivocheck --result printed
};

// The cached package of an installed product, as it was at one moment.
struct Cached {
  std::wstring path;
  std::string bytes;
};

// The scratch folder of one scenario and the checks the scenarios share.
class Scene {
 public:
  Scene(const Options& options, const Installer& installer, Report& report, const Machine& machine,
        const std::wstring& root)
      : options_(options), installer_(installer), report_(report), machine_(machine), root_(root) {
    MakeFolders(root_);
    SetupFolder(L"setup");
    TmpFolder(L"tmp");
  }

  const Machine& machine() const { return machine_; }
  const Installer& installer() const { return installer_; }
  Report& report() { return report_; }
  const std::wstring& root() const { return root_; }
  const std::wstring& setup() const { return setup_; }
  const std::wstring& tmp() const { return tmp_; }

  void SetupFolder(const std::wstring& name) {
    setup_ = root_ + L"\\" + name;
    MakeFolders(setup_);
  }
  void TmpFolder(const std::wstring& name) {
    tmp_ = root_ + L"\\" + name;
    MakeFolders(tmp_);
  }
  // A folder of any length (the long folder scenario).
  void SetupFolderPath(const std::wstring& path) {
    setup_ = path;
    MakeFolders(setup_);
  }

  std::wstring KitPackage(const std::wstring& name) const {
    return options_.kit_folder + L"\\packages\\" + name;
  }
  std::wstring KitPackage(const Role& role, const Variant& variant) const {
    return KitPackage(role.stem + L"-" + variant.name + L".msi");
  }

  // Lays mivoboot.exe, or a package under the name the setup plans, in the
  // setup folder.
  void PlaceExe() { CopyOneFile(options_.exe, Exe()); }
  void Place(const Role& role, const Variant& variant) {
    CopyOneFile(KitPackage(role, variant), setup_ + L"\\" + role.file);
  }
  std::wstring Exe() const { return setup_ + L"\\mivoboot.exe"; }
  void PlaceCheck() { CopyOneFile(options_.check, setup_ + L"\\mivocheck.exe"); }

  // Runs cmd /c "COMMANDS" in the setup folder, as a deployment tool runs its
  // install command line there, with TMP set to the scenario's temporary
  // folder. What the last command prints goes to result.txt beside it.
  ToolRun RunThroughCmd(const std::wstring& commands) {
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) throw PreparationError("no system folder");
    const std::wstring output = setup_ + L"\\result.txt";
    DeleteFileW(output.c_str());
    ToolRun run;
    run.commands = commands;
    Process process = StartProcess(
        std::wstring(system, length) + L"\\cmd.exe", L"/c \"" + commands + L" >result.txt\"",
        MakeEnvironmentBlock(CurrentEnvironment(), {{L"TMP", tmp_}}), setup_);
    run.end = WaitForProcess(process, kRunLimitMs);
    ReadBytes(output, run.output);
    return run;
  }

  // The command line exited with `code` (any failure's code when none is
  // given) and printed the one line of mivocheck --result with `fragment`.
  void ExpectResult(const ToolRun& run, std::optional<DWORD> code, const std::string& fragment) {
    const std::string what = "cmd /c \"" + Utf8(run.commands) + "\"";
    if (!report_.Check(run.end.finished, what + " ended")) return;
    const DWORD exit_code = run.end.exit_code;
    const bool failure = exit_code != 0 && exit_code != 3010 && exit_code != 1641 &&
                         exit_code != 1618 && exit_code != 1622;
    report_.Check(code ? exit_code == *code : failure,
                  what + " exits " + (code ? std::to_string(*code) : "with a failure's code"),
                  "got " + DescribeExitCode(exit_code));
    const std::string start = "mivocheck: " + std::to_string(exit_code) + " ";
    report_.Check(
        run.output.compare(0, start.size(), start) == 0 &&
            run.output.find(fragment) != std::string::npos &&
            run.output.find('\n') == run.output.size() - 1,
        "it prints one line 'mivocheck: " + std::to_string(exit_code) + " ..." + fragment + "'",
        "printed '" + run.output + "'");
  }

  // Installs a package directly, as the state a scenario starts from.
  void Stage(const std::wstring& kit_package) {
    std::wstring stage = root_ + L"\\stage";
    MakeFolders(stage);
    std::wstring copy = stage + L"\\" + kit_package;
    CopyOneFile(KitPackage(kit_package), copy);
    UINT result = installer_.Install(copy, L"");
    if (result != ERROR_SUCCESS) {
      throw PreparationError("installing " + Utf8(kit_package) + " directly failed with " +
                             std::to_string(result));
    }
  }
  void Stage(const Role& role, const Variant& variant) {
    Stage(role.stem + L"-" + variant.name + L".msi");
  }

  // Starts mivoboot.exe with this argument text; the environment is the kit's
  // with TMP set to the scenario's temporary folder, and `changes` on top.
  Run Start(const std::wstring& arguments, const std::vector<EnvironmentChange>& changes = {}) {
    std::vector<EnvironmentChange> all = {{L"TMP", tmp_}};
    all.insert(all.end(), changes.begin(), changes.end());
    Run run;
    run.exe = Exe();
    run.arguments = arguments;
    run.record_folder = tmp_;
    for (const EnvironmentChange& change : all) {
      if (EqualsIgnoreCase(change.first, L"TMP") && !change.second) {
        run.record_folder = std::wstring();  // set by the caller
      }
    }
    ReadBytes(tmp_ + L"\\MIVOSetup.log", run.record_before);
    run.begin = UtcNow();
    run.process = StartProcess(run.exe, arguments, MakeEnvironmentBlock(CurrentEnvironment(), all));
    return run;
  }

  void Finish(Run& run) {
    run.end = WaitForProcess(run.process, kRunLimitMs);
    run.finish = UtcNow();
  }

  Run RunSetup(const std::wstring& arguments, const std::vector<EnvironmentChange>& changes = {}) {
    Run run = Start(arguments, changes);
    Finish(run);
    return run;
  }

  // --- Checks ---------------------------------------------------------------------

  void ExpectExitZero(const Run& run) {
    if (!run.end.finished) {
      report_.Fail("mivoboot.exe ended within " + std::to_string(kRunLimitMs / 1000) +
                   " s (it hung and was terminated)");
      return;
    }
    report_.Check(run.end.exit_code == 0, "mivoboot.exe exit code 0",
                  "got " + DescribeExitCode(run.end.exit_code));
  }

  void ExpectInstalled(const Role& role, const Variant& variant) {
    ExpectInstalledAs(role.Code(), role.key_file, role.label, variant);
  }

  void ExpectInstalledAs(const std::wstring& code, const std::wstring& key_file,
                         const std::string& label, const Variant& variant) {
    INSTALLSTATE state = installer_.State(code);
    std::wstring version = installer_.Info(code, L"VersionString");
    std::wstring package = installer_.Info(code, L"LocalPackage");
    std::optional<std::wstring> key;
    if (!package.empty()) key = installer_.KeyFileVersion(package, key_file);
    report_.Check(
        state == INSTALLSTATE_DEFAULT && version == variant.version && key && *key == variant.key,
        label + " installed: version " + Utf8(variant.version) + ", key file " + Utf8(key_file) +
            " " + Utf8(variant.key) + " in the cached package",
        "state " + std::to_string(state) + ", version '" + Utf8(version) + "', cached package '" +
            Utf8(package) + "', key file " + (key ? "'" + Utf8(*key) + "'" : "unreadable"));
  }

  void ExpectNotInstalled(const Role& role) {
    INSTALLSTATE state = installer_.State(role.Code());
    report_.Check(state != INSTALLSTATE_DEFAULT, role.label + " not installed",
                  "state " + std::to_string(state));
  }

  Cached Remember(const Role& role) { return Remember(role.Code(), role.label); }

  Cached Remember(const std::wstring& code, const std::string& label) {
    Cached cached;
    cached.path = installer_.Info(code, L"LocalPackage");
    if (cached.path.empty() || !ReadBytes(cached.path, cached.bytes)) {
      throw PreparationError(label + " has no readable cached package");
    }
    return cached;
  }

  void ExpectCachedUnchanged(const Role& role, const Cached& before) {
    ExpectCachedUnchanged(role.Code(), role.label, before);
  }

  void ExpectCachedUnchanged(const std::wstring& code, const std::string& label,
                             const Cached& before) {
    Cached now;
    now.path = installer_.Info(code, L"LocalPackage");
    bool read = !now.path.empty() && ReadBytes(now.path, now.bytes);
    report_.Check(read && EqualsIgnoreCase(now.path, before.path) && now.bytes == before.bytes,
                  label + ": cached package unchanged (" + Utf8(before.path) + ")",
                  read
                      ? "now " + Utf8(now.path) + ", " + std::to_string(now.bytes.size()) +
                            " bytes, " + (now.bytes == before.bytes ? "same" : "other") + " content"
                      : "unreadable: '" + Utf8(now.path) + "'");
  }

  std::wstring LogPath(const std::wstring& name) const { return tmp_ + L"\\" + name; }

  void ExpectLogShowsInstallation(const std::wstring& name) {
    std::string bytes;
    bool read = ReadBytes(LogPath(name), bytes);
    report_.Check(read && LogShowsInstallation(LogText(bytes)),
                  Utf8(name) + " in TMP shows an installation",
                  read ? std::to_string(bytes.size()) + " bytes without one" : "no such log");
  }

  void ExpectLogShowsRemoval(const std::wstring& name) {
    std::string bytes;
    bool read = ReadBytes(LogPath(name), bytes);
    report_.Check(read && LogShowsRemoval(LogText(bytes)), Utf8(name) + " in TMP shows a removal",
                  read ? std::to_string(bytes.size()) + " bytes without one" : "no such log");
  }

  void ExpectNoLog(const std::wstring& name) {
    report_.Check(!FileExists(LogPath(name)), "no " + Utf8(name) + " written");
  }

  // Every package log in TMP (MIVO*.log but the record) is one of `names`.
  void ExpectOnlyLogs(const std::vector<std::wstring>& names) {
    std::string unexpected;
    for (const std::wstring& found : FilesIn(tmp_, L"MIVO*.log")) {
      if (EqualsIgnoreCase(found, L"MIVOSetup.log")) continue;
      if (std::none_of(names.begin(), names.end(),
                       [&](const std::wstring& name) { return EqualsIgnoreCase(name, found); })) {
        unexpected += (unexpected.empty() ? "" : ", ") + Utf8(found);
      }
    }
    report_.Check(unexpected.empty(), "no other package log in TMP", unexpected);
  }

  // The run record of one run: its form, and that the run's own lines start
  // and end as they should. Leaves the run's messages in run.messages.
  void ExpectRecord(Run& run) {
    run.messages.clear();
    std::wstring path = run.record_folder + L"\\MIVOSetup.log";
    std::string bytes;
    if (!report_.Check(ReadBytes(path, bytes), "run record written: " + Utf8(path))) return;
    Record record = ParseRecord(bytes);
    std::string form;
    if (record.bom) form += "starts with a byte order mark; ";
    if (!record.utf8) form += "not UTF-8; ";
    if (!record.crlf) form += "a line does not end in CR LF";
    report_.Check(form.empty(), "run record is UTF-8 without BOM, every line ends in CR LF", form);
    std::string malformed;
    for (size_t i = 0; i < record.lines.size() && malformed.empty(); ++i) {
      if (!record.lines[i].well_formed) {
        malformed = "line " + std::to_string(i + 1) + ": '" + record.lines[i].text + "'";
      }
    }
    report_.Check(!record.lines.empty() && malformed.empty(),
                  "every record line reads 'YYYY-MM-DD hh:mm:ssZ [PID] message'",
                  record.lines.empty() ? "no lines" : malformed);
    report_.Check(bytes.size() > run.record_before.size() &&
                      bytes.compare(0, run.record_before.size(), run.record_before) == 0,
                  "run record appended to (" + std::to_string(run.record_before.size()) +
                      " bytes of earlier runs kept)");

    std::vector<RecordLine> own;
    if (bytes.size() >= run.record_before.size()) {
      for (const RecordLine& line : ParseRecord(bytes.substr(run.record_before.size())).lines) {
        if (line.well_formed && line.pid == run.process.id) own.push_back(line);
      }
    }
    const std::string pid = std::to_string(run.process.id);
    if (!report_.Check(!own.empty(), "run record holds lines of the run's process " + pid)) return;
    for (const RecordLine& line : own) run.messages.push_back(line.message);
    // Every line of the run reads by the record's grammar, as mivocheck
    // --records reads it; the start line gives back the argument text exactly.
    std::string unread;
    mivocheck::RecordLine parsed;
    for (const RecordLine& line : own) {
      if (!mivocheck::ParseRecordLine(line.text, parsed) && unread.empty()) {
        unread = "'" + line.text + "'";
      }
    }
    report_.Check(unread.empty(), "every line of the run reads by the record's grammar", unread);
    bool arguments_back =
        mivocheck::ParseRecordLine(own.front().text, parsed) && parsed.kind == kRecordStart &&
        std::wstring(parsed.fields[2].text.begin(), parsed.fields[2].text.end()) == run.arguments;
    report_.Check(arguments_back, "the start line gives back the argument text unit for unit",
                  "it starts '" + own.front().message + "'");

    std::string outside;
    for (const RecordLine& line : own) {
      ULONGLONG stamp = FileTimeOf(line.time);
      if ((stamp + 2 * kSecond < run.begin || stamp > run.finish + 2 * kSecond) &&
          outside.empty()) {
        outside = "'" + line.text + "' outside the run's UTC time";
      }
    }
    report_.Check(outside.empty(), "the run's lines carry the UTC time of the run", outside);

    const std::string& start = own.front().message;
    std::string wanted_exe = "executable \"" + Utf8(run.exe) + "\"";
    std::string wanted_lcid = "user default LCID " + std::to_string(machine_.user) + ",";
    std::string wanted_tmp = "temporary folder \"" + Utf8(run.record_folder);
    bool tmp_ok = false;
    for (const char* end : {"\"", "\\\""}) {
      if (start.size() >= 2 && start.find(wanted_tmp + end) != std::string::npos) tmp_ok = true;
    }
    report_.Check(start.compare(0, 16, "start: mivoboot ") == 0 &&
                      ContainsIgnoreCase(start, wanted_exe) &&
                      start.find(wanted_lcid) != std::string::npos && tmp_ok,
                  "record starts: start: mivoboot ..., " + wanted_exe + ", arguments ..., " +
                      wanted_lcid + " " + wanted_tmp + "\"",
                  "it starts '" + start + "'");
    report_.Check(own.back().message.compare(0, 5, "end: ") == 0,
                  "record of the run ends with its end line",
                  "it ends '" + own.back().message + "'");
  }

  bool HasMessage(const Run& run, const std::vector<std::string>& fragments) const {
    return std::any_of(run.messages.begin(), run.messages.end(), [&](const std::string& message) {
      return std::all_of(fragments.begin(), fragments.end(), [&](const std::string& fragment) {
        return message.find(fragment) != std::string::npos;
      });
    });
  }

  // A message of the run holds every fragment.
  void ExpectMessage(const Run& run, const std::vector<std::string>& fragments) {
    std::string text;
    for (const std::string& fragment : fragments) {
      size_t first = fragment.find_first_not_of(' ');
      size_t last = fragment.find_last_not_of(' ');
      if (!text.empty()) text += " ... ";
      if (first != std::string::npos) text += fragment.substr(first, last - first + 1);
    }
    report_.Check(HasMessage(run, fragments), "record: " + text);
  }

  void ExpectNoMessage(const Run& run, const std::string& fragment) {
    report_.Check(!HasMessage(run, {fragment}), "record has no line with: " + fragment);
  }

  // The plan line of a package: its rule, its package path and its log.
  void ExpectPlan(const Run& run, const Role& role, const std::string& rule) {
    ExpectMessage(run, {role.Name() + ": plan: " + rule + ", package \"" +
                            Utf8(setup_ + L"\\" + role.file) + "\"",
                        "log \"" + Utf8(LogPath(role.install_log)) + "\""});
  }

  void ExpectDecision(const Run& run, const Role& role, const std::string& decision) {
    ExpectMessage(run, {role.Name() + ": decision: " + decision});
  }

  void ExpectInstallationRecorded(const Run& run, const Role& role) {
    ExpectMessage(run, {role.Name() + ": installation: \"" + Utf8(setup_ + L"\\" + role.file) +
                        "\" (log \"" + Utf8(LogPath(role.install_log)) + "\"): 0 (success)"});
  }

  // The end line's counts; a run without failures names none.
  void ExpectEnd(const Run& run, int installed, int removed, int left, int failed) {
    std::string counts = "end: " + std::to_string(installed) + " installed, " +
                         std::to_string(removed) + " removed, " + std::to_string(left) +
                         " left alone, ";
    if (failed == 0) {
      ExpectMessage(run, {counts, " ms"});
      ExpectNoMessage(run, " failed, ");
    } else {
      ExpectMessage(run, {counts + std::to_string(failed) + " failed, "});
    }
  }

  // The rule by which a run with this command line plans a pack.
  std::string RuleOf(LCID pack, const std::wstring& arguments) const {
    if (SupportedLanguageOf(arguments) == pack) return "language from the command line";
    if (pack == machine_.user) return "language of the user's default locale";
    return "fallback language";
  }

 private:
  const Options& options_;
  const Installer& installer_;
  Report& report_;
  const Machine& machine_;
  std::wstring root_;
  std::wstring setup_;
  std::wstring tmp_;
};

std::vector<Role> PacksOf(const std::vector<LCID>& lcids) {
  std::vector<Role> roles;
  for (LCID lcid : lcids) roles.push_back(Pack(lcid));
  return roles;
}

// A run that finds nothing installed: each planned package is installed and
// its log shows it.
void ExpectFreshInstallation(Scene& scene, Run& run, const std::vector<LCID>& packs) {
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  std::vector<Role> roles = {Core()};
  for (const Role& pack : PacksOf(packs)) roles.push_back(pack);
  std::vector<std::wstring> logs;
  for (const Role& role : roles) {
    scene.ExpectInstalled(role, kV1);
    scene.ExpectPlan(run, role,
                     role.lcid == 0 ? "core package" : scene.RuleOf(role.lcid, run.arguments));
    scene.ExpectMessage(run, {role.Name() + ": ProductCode: \"" + Utf8(role.Code()) + "\""});
    scene.ExpectMessage(run, {role.Name() + ": key file: " + Utf8(role.key_file) +
                              " has version \"" + Utf8(kV1.key) + "\" in the package"});
    scene.ExpectDecision(run, role, "not installed, so install");
    scene.ExpectInstallationRecorded(run, role);
    scene.ExpectLogShowsInstallation(role.install_log);
    logs.push_back(role.install_log);
  }
  scene.ExpectOnlyLogs(logs);
  scene.ExpectEnd(run, static_cast<int>(roles.size()), 0, 0, 0);
}

// --- Scenarios ------------------------------------------------------------------------

// An empty command line: the core package and the user's pack (or 1033).
void FirstInstall(Scene& scene) {
  const Machine& machine = scene.machine();
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.pack), kV1);
  scene.Place(Pack(machine.beside), kV1);  // present, but not planned
  Run run = scene.RunSetup(L"");
  ExpectFreshInstallation(scene, run, {machine.pack});
  scene.ExpectNotInstalled(Pack(machine.beside));
  scene.ExpectNoLog(Core().remove_log);
}

// A second run leaves everything alone and opens no package log.
void SecondRun(Scene& scene) {
  const Machine& machine = scene.machine();
  Role core = Core();
  Role pack = Pack(machine.pack);
  scene.PlaceExe();
  scene.Place(core, kV1);
  scene.Place(pack, kV1);
  Run first = scene.RunSetup(L"");
  ExpectFreshInstallation(scene, first, {machine.pack});
  Cached core_cached = scene.Remember(core);
  Cached pack_cached = scene.Remember(pack);
  std::string core_log, pack_log;
  ReadBytes(scene.LogPath(core.install_log), core_log);
  ReadBytes(scene.LogPath(pack.install_log), pack_log);

  scene.report().Info("second run");
  Run second = scene.RunSetup(L"");
  scene.ExpectExitZero(second);
  scene.ExpectRecord(second);
  for (const Role* role : {&core, &pack}) {
    scene.ExpectInstalled(*role, kV1);
    scene.ExpectCachedUnchanged(*role, role == &core ? core_cached : pack_cached);
    scene.ExpectDecision(second, *role, "current, so leave alone");
    std::string now;
    bool read = ReadBytes(scene.LogPath(role->install_log), now);
    const std::string& before = role == &core ? core_log : pack_log;
    scene.report().Check(read && now == before,
                         Utf8(role->install_log) + " keeps the first run's content byte for byte",
                         read ? std::to_string(before.size()) + " bytes before, " +
                                    std::to_string(now.size()) + " now"
                              : "gone");
  }
  scene.ExpectNoMessage(second, ": installation: ");
  scene.ExpectEnd(second, 0, 0, 2, 0);
}

// A pack rebuilt with a newer key file under the same product code and
// version: removed, then installed again. The core, unchanged, is left alone.
void RebuiltPack(Scene& scene) {
  const Machine& machine = scene.machine();
  Role core = Core();
  Role pack = Pack(machine.pack);
  scene.Stage(core, kV1);
  scene.Stage(pack, kV1);
  Cached core_cached = scene.Remember(core);
  scene.PlaceExe();
  scene.Place(core, kV1);
  scene.Place(pack, kV1NewKey);
  Run run = scene.RunSetup(L"");
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  scene.ExpectInstalled(core, kV1);
  scene.ExpectCachedUnchanged(core, core_cached);
  scene.ExpectDecision(run, core, "current, so leave alone");
  scene.ExpectNoLog(core.install_log);
  scene.ExpectNoLog(core.remove_log);
  scene.ExpectInstalled(pack, kV1NewKey);
  scene.ExpectMessage(run, {pack.Name() + ": cached key file: KELDINTL.DLL has version "
                                          "\"1.0.0.0\""});
  scene.ExpectDecision(run, pack,
                       "cached key file \"1.0.0.0\" older than \"1.0.0.5\", so remove first");
  scene.ExpectMessage(run, {pack.Name() + ": removal: \"" + Utf8(pack.Code()) + "\" (log \"" +
                            Utf8(scene.LogPath(pack.remove_log)) + "\"): 0 (success)"});
  scene.ExpectInstallationRecorded(run, pack);
  scene.ExpectLogShowsRemoval(pack.remove_log);
  scene.ExpectLogShowsInstallation(pack.install_log);
  scene.ExpectEnd(run, 1, 1, 1, 0);
}

// Installed version 7.01 against package version 7.1: equal. The core's key
// file is equal (left alone), the pack's cached key file is older (removed
// and installed again).
void Version701(Scene& scene) {
  const Machine& machine = scene.machine();
  Role core = Core();
  Role pack = Pack(machine.pack);
  scene.Stage(core, kV701);
  scene.Stage(pack, kV701);
  Cached core_cached = scene.Remember(core);
  scene.PlaceExe();
  scene.Place(core, kV71);
  scene.Place(pack, kV71NewKey);
  Run run = scene.RunSetup(L"");
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  scene.ExpectInstalled(core, kV701);
  scene.ExpectCachedUnchanged(core, core_cached);
  scene.ExpectMessage(run, {core.Name() + ": installed product: \"" + Utf8(core.Code()) +
                            "\" has version \"7.01\""});
  scene.ExpectDecision(run, core, "current, so leave alone");
  scene.ExpectNoLog(core.install_log);
  scene.ExpectInstalled(pack, kV71NewKey);
  scene.ExpectDecision(run, pack,
                       "cached key file \"1.0.0.0\" older than \"1.0.0.7\", so remove first");
  scene.ExpectLogShowsRemoval(pack.remove_log);
  scene.ExpectLogShowsInstallation(pack.install_log);
  scene.ExpectEnd(run, 1, 1, 1, 0);
}

// A product under another product code and the core's upgrade code, with a
// newer key file than anything: it never counts for the core, which has an
// older cached key file and is removed and installed again, and it stays
// installed and untouched.
void RelatedProduct(Scene& scene) {
  const Machine& machine = scene.machine();
  Role core = Core();
  const std::wstring related = ProductCode(kRelatedId);
  scene.Stage(L"related.msi");
  scene.Stage(core, kV1);
  Cached related_cached = scene.Remember(related, "related product");
  scene.PlaceExe();
  scene.Place(core, kV1NewKey);
  scene.Place(Pack(machine.pack), kV1);
  Run run = scene.RunSetup(L"");
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  scene.ExpectInstalled(core, kV1NewKey);
  scene.ExpectDecision(run, core,
                       "cached key file \"1.0.0.0\" older than \"1.0.0.5\", so remove first");
  scene.ExpectInstalled(Pack(machine.pack), kV1);
  const Variant related_variant = {L"", L"1.0.0", L"9.0.0.0"};
  scene.ExpectInstalledAs(related, L"KELD.DLL", "related product " + Utf8(related),
                          related_variant);
  scene.ExpectCachedUnchanged(related, "related product", related_cached);
  scene.ExpectNoMessage(run, Utf8(related));
  scene.ExpectEnd(run, 2, 1, 0, 0);
}

// A garbage core package and a planned pack that is missing: no crash, and
// every other pack is installed.
void GarbageCore(Scene& scene) {
  const Machine& machine = scene.machine();
  const std::wstring arguments = std::to_wstring(machine.beside);
  std::vector<LCID> packs = ExpectedPacks(arguments, machine.user);
  scene.PlaceExe();
  CopyOneFile(scene.KitPackage(L"garbage.msi"), scene.setup() + L"\\mivo.msi");
  int present = 0;
  for (LCID lcid : packs) {
    if (lcid != machine.beside) {
      scene.Place(Pack(lcid), kV1);
      ++present;
    }
  }
  Run run = scene.RunSetup(arguments);
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  Role core = Core();
  scene.ExpectNotInstalled(core);
  scene.ExpectMessage(run, {core.Name() + ": package: could not be opened: "});
  scene.ExpectDecision(run, core, "package could not be opened, so install");
  Role missing = Pack(machine.beside);
  scene.ExpectNotInstalled(missing);
  scene.ExpectMessage(run, {missing.Name() + ": package: could not be opened: "});
  for (LCID lcid : packs) {
    if (lcid == machine.beside) continue;
    scene.ExpectInstalled(Pack(lcid), kV1);
    scene.ExpectLogShowsInstallation(Pack(lcid).install_log);
  }
  scene.ExpectEnd(run, present, 0, 0, 2);
}

// A supported command-line language beside the user's: both packs, the
// command line's first.
void CommandLineBeside(Scene& scene) {
  const Machine& machine = scene.machine();
  const std::wstring arguments = std::to_wstring(machine.beside);
  std::vector<LCID> packs = ExpectedPacks(arguments, machine.user);
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.beside), kV1);
  scene.Place(Pack(machine.pack), kV1);
  Run run = scene.RunSetup(arguments);
  ExpectFreshInstallation(scene, run, packs);
  if (std::find(packs.begin(), packs.end(), machine.pack) == packs.end()) {
    scene.ExpectNotInstalled(Pack(machine.pack));
  }
}

// An unsupported language (1049) or text on the command line is ignored.
void UnsupportedCommandLine(Scene& scene) {
  const Machine& machine = scene.machine();
  Role pack1049 = Pack(1049);
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.pack), kV1);
  scene.Place(pack1049, kV1);
  Run run = scene.RunSetup(L"1049");
  ExpectFreshInstallation(scene, run, {machine.pack});
  scene.ExpectNotInstalled(pack1049);
  scene.ExpectNoMessage(run, "mivo_1049.msi: plan: ");

  scene.report().Info("a run with text on the command line");
  Run text = scene.RunSetup(L"French");
  scene.ExpectExitZero(text);
  scene.ExpectRecord(text);
  scene.ExpectPlan(text, Pack(machine.pack), scene.RuleOf(machine.pack, L"French"));
  scene.ExpectNotInstalled(pack1049);
  scene.ExpectEnd(text, 0, 0, 2, 0);
}

// "%" signs in TMP: the logs and the record land in that very folder.
void PercentTmp(Scene& scene) {
  scene.TmpFolder(L"t%s%d%%x");
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(scene.machine().pack), kV1);
  Run run = scene.RunSetup(L"");
  ExpectFreshInstallation(scene, run, {scene.machine().pack});
}

// Folders named outside ASCII and with blanks, for the setup and for TMP.
void NonAsciiFolder(Scene& scene) {
  scene.SetupFolder(L"Mivo Setup \u00dc \u65e5\u672c");
  scene.TmpFolder(L"Temp \u00dcn\u00efc\u00f8d\u00e9 \u4e2d\u6587");
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(scene.machine().pack), kV1);
  Run run = scene.RunSetup(L"");
  ExpectFreshInstallation(scene, run, {scene.machine().pack});
}

// A record of 1.5 MiB before the run becomes the older generation,
// MIVOSetup.log.1, byte for byte, and the run's lines begin a new
// MIVOSetup.log, whole. The rename goes through the system's own file
// functions, through the handle that measured the record.
void RecordCap(Scene& scene) {
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(scene.machine().pack), kV1);
  std::string old;
  for (int n = 0; old.size() < 1536 * 1024; ++n) {
    old += "2026-01-01 00:00:00Z [7] line " + std::to_string(n) + " of an earlier run\r\n";
  }
  const std::wstring path = scene.tmp() + L"\\MIVOSetup.log";
  WriteBytes(path, old);
  Run run = scene.RunSetup(L"");
  scene.ExpectExitZero(run);
  std::string older;
  scene.report().Check(ReadBytes(path + L".1", older) && older == old,
                       "the record of 1.5 MiB is the older generation, byte for byte",
                       std::to_string(older.size()) + " bytes");
  std::string bytes;
  bool read = ReadBytes(path, bytes);
  scene.report().Check(read && bytes.size() <= 1024 * 1024, "the new generation is below 1 MiB",
                       std::to_string(bytes.size()) + " bytes");
  Record record = ParseRecord(bytes);
  bool whole = !record.lines.empty() &&
               record.lines.front().message.compare(0, 7, "start: ") == 0 &&
               record.lines.back().message.compare(0, 16, "end: 2 installed") == 0;
  for (const auto& line : record.lines) {
    whole = whole && line.well_formed && line.pid == run.process.id;
  }
  scene.report().Check(whole, "the new generation holds the run's lines, whole, from start to end");
  scene.ExpectInstalled(Core(), kV1);
}

// Another program holds the record open without sharing: the run cannot write
// it and installs every package all the same.
void RecordHeld(Scene& scene) {
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(scene.machine().pack), kV1);
  const std::wstring path = scene.tmp() + L"\\MIVOSetup.log";
  Handle held(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (held.Get() == INVALID_HANDLE_VALUE) {
    throw PreparationError("cannot hold " + Utf8(path) + " open");
  }
  Run run = scene.RunSetup(L"");
  held.Reset();
  scene.ExpectExitZero(run);
  scene.ExpectInstalled(Core(), kV1);
  scene.ExpectInstalled(Pack(scene.machine().pack), kV1);
  scene.ExpectLogShowsInstallation(Core().install_log);
  std::string bytes;
  scene.report().Check(ReadBytes(path, bytes) && bytes.empty(),
                       "nothing was written to the record held without sharing",
                       std::to_string(bytes.size()) + " bytes");
}

// TMP unset: logs and record in the folder GetTempPathW names (TEMP here).
void TmpUnset(Scene& scene) {
  std::wstring temp = scene.root() + L"\\temp";
  MakeFolders(temp);
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(scene.machine().pack), kV1);
  Run run = scene.Start(L"", {{L"TMP", std::nullopt}, {L"TEMP", temp}});
  run.record_folder = temp;
  scene.Finish(run);
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  scene.ExpectInstalled(Core(), kV1);
  scene.ExpectInstalled(Pack(scene.machine().pack), kV1);
  for (const std::wstring& log : {Core().install_log, Pack(scene.machine().pack).install_log}) {
    scene.report().Check(FileExists(temp + L"\\" + log), Utf8(log) + " written in TEMP");
  }
}

// An msi.dll planted beside mivoboot.exe is never loaded. The control shows
// that a load by bare name from such a folder does load it.
void PlantedMsiDll(Scene& scene, const Options& options) {
  const Machine& machine = scene.machine();
  const std::wstring planted = options.kit_folder + L"\\planted\\msi.dll";
  const std::wstring control = scene.root() + L"\\control";
  MakeFolders(control);
  CopyOneFile(planted, control + L"\\msi.dll");
  Process loader =
      StartProcess(ModulePath(nullptr), L"--load-by-name \"" + control + L"\"", std::wstring());
  ProcessEnd loaded = WaitForProcess(loader, 60000);
  if (!scene.report().Check(FileExists(control + L"\\msi.dll.loaded"),
                            "control: a load of msi.dll by bare name with the folder as the DLL "
                            "search path loads the planted DLL, which leaves its marker",
                            "loader exit " + DescribeExitCode(loaded.exit_code) +
                                (machine.wine ? "; Wine loads a DLL that lies beside a program "
                                                "only with msi=n,b in WINEDLLOVERRIDES"
                                              : ""))) {
    return;
  }

  scene.PlaceExe();
  CopyOneFile(planted, scene.setup() + L"\\msi.dll");
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.pack), kV1);
  Run run = scene.RunSetup(L"");
  std::string marker;
  bool loaded_by_setup = ReadBytes(scene.setup() + L"\\msi.dll.loaded", marker);
  scene.report().Check(!loaded_by_setup, "the msi.dll beside mivoboot.exe was never loaded",
                       "marker written by " + marker.substr(0, marker.find('\n')));
  ExpectFreshInstallation(scene, run, {machine.pack});
}

// A folder too long to name the packages in: nothing is installed at all.
void LongFolder(Scene& scene) {
  const Machine& machine = scene.machine();
  // 246 units: "<folder>\mivoboot.exe" has 259 (fits MAX_PATH with its NUL),
  // "<folder>\mivo.msi" 255, "<folder>\mivo_NNNN.msi" 260 (does not fit).
  const size_t length = 246;
  std::wstring base = scene.root();
  if (base.size() + 2 > length) {
    throw PreparationError("the temporary folder's path is too long to make a folder of " +
                           std::to_string(length) + " units");
  }
  std::wstring name = L"long-";
  name.append(length - base.size() - 1 - name.size(), L'x');
  scene.SetupFolderPath(base + L"\\" + name);
  Role core = Core();
  Role pack = Pack(machine.pack);
  scene.report().Check(scene.setup().size() == length && scene.Exe().size() == 259 &&
                           (scene.setup() + L"\\" + pack.file).size() == 260,
                       "the folder has 246 units, mivoboot.exe's path 259, the pack's path 260");
  scene.PlaceExe();
  scene.Place(core, kV1);
  scene.Place(pack, kV1);
  Run run = scene.RunSetup(L"");
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  scene.ExpectNotInstalled(core);
  scene.ExpectNotInstalled(pack);
  scene.ExpectOnlyLogs({});
  scene.ExpectMessage(run,
                      {pack.Name() + ": plan: the package's path cannot be formed in the folder",
                       "(too long); nothing is installed"});
  scene.ExpectNoMessage(run, ": installation: ");
  scene.ExpectNoMessage(run, ": removal: ");
}

// Ends the busy package's installation: deletes the hold file and waits for
// msiexec, on every path out of the scenario.
class Hold {
 public:
  Hold(std::wstring file, Process msiexec) : file_(std::move(file)), msiexec_(std::move(msiexec)) {}
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() { Release(); }
  ProcessEnd Release() {
    if (!released_) {
      released_ = true;
      DeleteFileW(file_.c_str());
      end_ = WaitForProcess(msiexec_, 120000);
    }
    return end_;
  }
  bool Ended() const { return WaitForSingleObject(msiexec_.process.Get(), 0) == WAIT_OBJECT_0; }

 private:
  std::wstring file_;
  Process msiexec_;
  bool released_ = false;
  ProcessEnd end_;
};

// A busy installer, held busy by the kit's own package: the run waits and then
// installs.
void BusyInstaller(Scene& scene) {
  const Machine& machine = scene.machine();
  std::wstring stage = scene.root() + L"\\stage";
  MakeFolders(stage);
  CopyOneFile(scene.KitPackage(L"busy.msi"), stage + L"\\busy.msi");
  CopyOneFile(scene.KitPackage(L"tiny.msi"), stage + L"\\tiny.msi");
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.pack), kV1);

  // The installer starts the program that the property names; a short name
  // keeps a kit folder with blanks in one piece where the volume has them.
  std::wstring kit_exe = ModulePath(nullptr);
  wchar_t short_name[MAX_PATH];
  DWORD short_length = GetShortPathNameW(kit_exe.c_str(), short_name, MAX_PATH);
  if (short_length > 0 && short_length < MAX_PATH) kit_exe.assign(short_name, short_length);
  const std::wstring hold_file = scene.root() + L"\\hold";
  WriteBytes(hold_file, "held until this file is deleted\r\n");
  wchar_t system[MAX_PATH];
  UINT system_length = GetSystemDirectoryW(system, MAX_PATH);
  std::wstring msiexec = std::wstring(system, system_length) + L"\\msiexec.exe";
  Hold hold(hold_file, StartProcess(msiexec,
                                    L"/i \"" + stage + L"\\busy.msi\" /qn KITEXE=\"" + kit_exe +
                                        L"\" HOLDFILE=\"" + hold_file + L"\"",
                                    std::wstring()));
  bool started = false;
  for (DWORD waited = 0; waited < kHoldStartLimitMs && !started && !hold.Ended(); waited += 100) {
    Sleep(100);
    started = FileExists(hold_file + L".started");
  }
  if (!scene.report().Check(started, "the busy package's deferred custom action started the hold",
                            hold.Ended()
                                ? "msiexec ended with " + DescribeExitCode(hold.Release().exit_code)
                                : "not within 60 s")) {
    return;
  }
  UINT direct = scene.installer().Install(stage + L"\\tiny.msi", L"");
  if (direct != ERROR_INSTALL_ALREADY_RUNNING) {
    if (direct == ERROR_SUCCESS) scene.installer().Remove(ProductCode(kTinyId));
    hold.Release();
    const std::string what = "a direct installation returns 1618 while the installer is held";
    if (machine.wine) {
      scene.report().Skip("mivoboot.exe waits for a busy installer",
                          "Wine " + machine.wine_version +
                              ": its msi.dll has no installation lock; a direct installation "
                              "returned " +
                              std::to_string(direct) + " while held");
    } else {
      scene.report().Fail(what + " (it returned " + std::to_string(direct) + ")");
    }
    return;
  }
  scene.report().Pass("a direct installation returns 1618 while the installer is held");

  Run run = scene.Start(L"");
  bool waiting = WaitForSingleObject(run.process.process.Get(), kHeldRunMs) == WAIT_TIMEOUT;
  scene.report().Check(waiting, "mivoboot.exe still runs after 6 s of a held installer");
  ProcessEnd busy_end = hold.Release();
  scene.report().Check(busy_end.finished && busy_end.exit_code == 0,
                       "the busy package's installation ended with 0 once released",
                       DescribeExitCode(busy_end.exit_code));
  scene.Finish(run);
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  scene.ExpectMessage(run, {"the installer is busy", "waiting"});
  // The waits stay short, so that the run tries again soon after the hold
  // ends: none of them is longer than 10 s.
  unsigned long longest = 0;
  for (const std::string& message : run.messages) {
    size_t at = message.find("; waiting ");
    if (message.find("the installer is busy") == std::string::npos || at == std::string::npos) {
      continue;
    }
    longest = std::max(longest, strtoul(message.c_str() + at + 10, nullptr, 10));
  }
  scene.report().Check(longest > 0 && longest <= 10000,
                       "every wait for the busy installer is at most 10 s",
                       "the longest is " + std::to_string(longest) + " ms");
  scene.ExpectInstalled(Core(), kV1);
  scene.ExpectInstalled(Pack(machine.pack), kV1);
  scene.ExpectEnd(run, 2, 0, 0, 0);
}

// The cached packages (file names in the installer's cache) of each product
// code, among `names`.
std::vector<std::wstring> CachedPackagesOf(const Installer& installer, const std::wstring& cache,
                                           const std::vector<std::wstring>& names,
                                           const std::wstring& code) {
  std::vector<std::wstring> found;
  for (const std::wstring& name : names) {
    std::wstring product = installer.PackageProperty(cache + L"\\" + name, L"ProductCode");
    if (!product.empty() && EqualsIgnoreCase(product, code)) found.push_back(name);
  }
  return found;
}

// The setup's own lock, held by the kit as another run of the setup would
// hold it, and let go on every path.
class SetupLock {
 public:
  SetupLock() : mutex_(CreateMutexW(nullptr, TRUE, L"Local\\MivoSetupRun")) {
    owned_ = mutex_.Get() && GetLastError() != ERROR_ALREADY_EXISTS;
    if (!owned_) throw PreparationError("the setup's lock Local\\MivoSetupRun is taken already");
  }
  SetupLock(const SetupLock&) = delete;
  SetupLock& operator=(const SetupLock&) = delete;
  ~SetupLock() { Release(); }
  void Release() {
    if (owned_) ReleaseMutex(mutex_.Get());
    owned_ = false;
  }

 private:
  Handle mutex_;
  bool owned_ = false;
};

// Two runs started together, held at the setup's lock and let go at once:
// each waits, one installs, the other plans afresh after it and finds
// everything current, so each product is installed once.
void TwoAtOnce(Scene& scene) {
  const Machine& machine = scene.machine();
  Role core = Core();
  Role pack = Pack(machine.pack);
  scene.PlaceExe();
  scene.Place(core, kV1);
  scene.Place(pack, kV1);
  const std::wstring cache = WindowsFolder() + L"\\Installer";
  std::vector<std::wstring> before = FilesIn(cache, L"*.msi");

  SetupLock lock;
  Run first = scene.Start(L"");
  Run second = scene.Start(L"");
  Sleep(kLockHeldMs);
  lock.Release();
  scene.Finish(first);
  scene.Finish(second);
  scene.ExpectExitZero(first);
  scene.ExpectExitZero(second);
  scene.ExpectInstalled(core, kV1);
  scene.ExpectInstalled(pack, kV1);

  std::vector<std::wstring> after = FilesIn(cache, L"*.msi");
  std::vector<std::wstring> added;
  for (const std::wstring& name : after) {
    if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
  }
  // A user who may not list the cache sees none of its files, not even the
  // core's cached package.
  const std::wstring local = scene.installer().Info(core.Code(), L"LocalPackage");
  const std::wstring local_name = local.substr(local.find_last_of(L'\\') + 1);
  const bool listed =
      local.empty() || std::any_of(after.begin(), after.end(), [&](const std::wstring& name) {
        return EqualsIgnoreCase(name, local_name);
      });
  if (!listed) {
    scene.report().Skip("one cached package per product in " + Utf8(cache),
                        "this user cannot list the folder: " + Utf8(local) + " is not among the " +
                            std::to_string(after.size()) + " files found there");
  } else {
    for (const Role* role : {&core, &pack}) {
      std::vector<std::wstring> cached =
          CachedPackagesOf(scene.installer(), cache, added, role->Code());
      std::string list;
      for (const std::wstring& name : cached) list += (list.empty() ? "" : ", ") + Utf8(name);
      scene.report().Check(cached.size() == 1,
                           role->label + ": exactly one cached package in " + Utf8(cache),
                           std::to_string(cached.size()) + " new: " + list);
    }
  }

  // Both runs append to one record, each under its own PID.
  for (Run* run : {&first, &second}) {
    scene.ExpectRecord(*run);
    scene.ExpectMessage(*run, {"lock: waited ", " ms for another run of the setup to end"});
  }
  const std::string installed_both = "end: 2 installed, 0 removed, 0 left alone, ";
  bool first_installed = scene.HasMessage(first, {installed_both});
  bool second_installed = scene.HasMessage(second, {installed_both});
  scene.report().Check(first_installed != second_installed,
                       "record: one run installed both packages");
  scene.ExpectEnd(first_installed ? second : first, 0, 0, 2, 0);
}

// Command lines that try to forge or blur a line of the record: CR LF with a
// made-up line, a lone CR, a right-to-left override, an unpaired surrogate,
// and a quote that tries to end the argument text. Each run's lines read by
// the grammar and give back the argument text unit for unit; no line carries
// the made-up process id.
void ForgedCommandLine(Scene& scene) {
  const Machine& machine = scene.machine();
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.pack), kV1);
  const std::wstring forged =
      L"2026-01-01 00:00:00Z [999999] mivo.msi: decision: current, so "
      L"leave alone";
  const std::wstring texts[] = {
      L"1036\r\n" + forged,
      L"1036\r" + forged + L" \x202E" + L"evil",
      std::wstring(L"x") + wchar_t(0xD800) + L"y" + wchar_t(0xDC00) + L"\"z",
      L"1036\" user default LCID 1049 \"x",
  };
  bool first = true;
  for (const std::wstring& text : texts) {
    Run run = scene.RunSetup(text);
    scene.ExpectExitZero(run);
    scene.ExpectRecord(run);
    if (first) {
      scene.ExpectInstalled(Core(), kV1);
      scene.ExpectInstalled(Pack(machine.pack), kV1);
      first = false;
    }
  }
  std::string bytes;
  ReadBytes(scene.tmp() + L"\\MIVOSetup.log", bytes);
  std::string forged_pid;
  for (const RecordLine& line : ParseRecord(bytes).lines) {
    if (line.pid == 999999 && forged_pid.empty()) forged_pid = "'" + line.text + "'";
  }
  scene.report().Check(forged_pid.empty(), "no line of the record carries the made-up process id",
                       forged_pid);
}

// TMP names a folder that does not exist, a relative path, or its folder with
// backslashes after it: every package installs, and the record and the logs
// lie in the folder the start line names (TEMP's for the first two), with one
// separator in every path.
void TmpUnusable(Scene& scene, const std::wstring& tmp, const std::string& why) {
  scene.TmpFolder(L"temp");
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(scene.machine().pack), kV1);
  Run run = scene.Start(L"", {{L"TMP", tmp}, {L"TEMP", scene.tmp()}});
  scene.Finish(run);
  ExpectFreshInstallation(scene, run, {scene.machine().pack});
  scene.ExpectMessage(run, {"temporary folder: TMP names \"" + Utf8(tmp) + "\", which " + why +
                            "; the run uses %TEMP% instead"});
}

void TmpMissing(Scene& scene) {
  TmpUnusable(scene, scene.root() + L"\\gone", "is not an existing folder");
}

void TmpRelative(Scene& scene) { TmpUnusable(scene, L"tmp", "is not a full path"); }

void TmpTrailingBackslash(Scene& scene) {
  scene.PlaceExe();
  scene.Place(Core(), kV1);
  scene.Place(Pack(scene.machine().pack), kV1);
  Run run = scene.Start(L"", {{L"TMP", scene.tmp() + L"\\\\"}});
  scene.Finish(run);
  ExpectFreshInstallation(scene, run, {scene.machine().pack});
  scene.ExpectMessage(run, {"temporary folder \"" + Utf8(scene.tmp()) + "\""});
  scene.ExpectNoMessage(run, "\\\\");
}

// A package that schedules a restart installs with 3010 and the machine goes on
// running: on Windows, that the kit runs on to its end is the proof. The end
// line counts it, and no line speaks of an error.
void RestartScheduled(Scene& scene) {
  const LCID pack = scene.machine().pack;
  scene.PlaceExe();
  scene.Place(Core(), kV1Restart);
  scene.Place(Pack(pack), kV1);
  Run run = scene.RunSetup(L"");
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  scene.ExpectInstalled(Core(), kV1Restart);
  scene.ExpectInstalled(Pack(pack), kV1);
  scene.ExpectMessage(run,
                      {Core().Name() + ": installation: ", "): 3010 (success, reboot needed)"});
  scene.ExpectInstallationRecorded(run, Pack(pack));
  scene.ExpectMessage(run, {"end: 2 installed, 0 removed, 0 left alone, 1 needing a restart, "});
  scene.ExpectNoMessage(run, "ERROR_");
}

// The command line of a deployment tool gives the code of the run that just
// happened: 0 for a clean first run, and 0 for a second run that finds
// everything current (so cmd waited for that run before it read the record).
void ResultFirstAndSecondRun(Scene& scene) {
  const Machine& machine = scene.machine();
  scene.PlaceExe();
  scene.PlaceCheck();
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.pack), kV1);
  ToolRun first = scene.RunThroughCmd(L"mivoboot.exe & mivocheck.exe --result");
  scene.ExpectResult(first, 0, "(success): the newest run ended and every call succeeded");
  scene.ExpectInstalled(Core(), kV1);
  scene.ExpectInstalled(Pack(machine.pack), kV1);
  ToolRun second = scene.RunThroughCmd(L"mivoboot.exe & mivocheck.exe --result");
  scene.ExpectResult(second, 0, "(success): the newest run ended and nothing needed a call");
}

// A garbage language pack named on the command line: the installer's failure
// number for it, and the pack named. The language stands right before "&":
// cmd hands the blank before "&" to the program, and "1036 " is no language.
void ResultGarbagePack(Scene& scene) {
  const Machine& machine = scene.machine();
  const std::wstring language = std::to_wstring(machine.beside);
  const std::vector<LCID> packs = ExpectedPacks(language, machine.user);
  scene.PlaceExe();
  scene.PlaceCheck();
  scene.Place(Core(), kV1);
  scene.Place(Pack(machine.pack), kV1);  // for the run without a language
  for (LCID lcid : packs) {
    if (lcid != machine.beside) scene.Place(Pack(lcid), kV1);
  }
  const Role garbage = Pack(machine.beside);
  CopyOneFile(scene.KitPackage(L"garbage.msi"), scene.setup() + L"\\" + garbage.file);
  // With a blank before "&" the argument text is "1036 ": no language, so the
  // garbage pack is not planned.
  ToolRun blank = scene.RunThroughCmd(L"mivoboot.exe " + language + L" & mivocheck.exe --result");
  scene.ExpectResult(blank, 0, "(success): the newest run ended and every call succeeded");
  ToolRun run = scene.RunThroughCmd(L"mivoboot.exe " + language + L"& mivocheck.exe --result");
  scene.ExpectResult(run, std::nullopt, ": " + garbage.Name() + " installation failed");
  scene.ExpectInstalled(Core(), kV1);
  for (LCID lcid : packs) {
    if (lcid != machine.beside) scene.ExpectInstalled(Pack(lcid), kV1);
  }
}

// A core package that asks for a restart: 3010.
void ResultRestart(Scene& scene) {
  const Machine& machine = scene.machine();
  scene.PlaceExe();
  scene.PlaceCheck();
  scene.Place(Core(), kV1Restart);
  scene.Place(Pack(machine.pack), kV1);
  ToolRun run = scene.RunThroughCmd(L"mivoboot.exe & mivocheck.exe --result");
  scene.ExpectResult(run, 3010,
                     "(success, reboot needed): mivo.msi installation asked for a restart");
  scene.ExpectInstalled(Core(), kV1Restart);
}

// No record in the temporary folder: 1622.
void ResultNoRecord(Scene& scene) {
  scene.PlaceCheck();
  ToolRun run = scene.RunThroughCmd(L"mivocheck.exe --result");
  scene.ExpectResult(
      run, 1622,
      "(ERROR_INSTALL_LOG_FAILURE): no record at \"" + Utf8(scene.tmp()) + "\\MIVOSetup.log\"");
}

// --- Only Windows settles these -----------------------------------------------------
// Each may bring up a dialog of the installer: the tester clicks Cancel.

// A core package whose ForceReboot action runs, under the setup's
// REBOOT=ReallySuppress. The pages leave its code open (System Reboots gives
// 1604, ERROR_INSTALL_SUSPEND, whenever ForceReboot runs; the entry of 3010
// excludes such installations); the setup takes either as one that a restart
// finishes, and --result gives 3010. The line "Windows answered" says which.
void ForceRebootCode(Scene& scene) {
  const LCID pack = scene.machine().pack;
  scene.PlaceExe();
  scene.PlaceCheck();
  scene.Place(Core(), kV1Force);
  scene.Place(Pack(pack), kV1);
  Run run = scene.RunSetup(L"");
  scene.ExpectExitZero(run);
  scene.ExpectRecord(run);
  const std::string installation = Core().Name() + ": installation: ";
  const bool suspended =
      scene.HasMessage(run, {installation, "): 1604 (suspended, finishes after a restart)"});
  const bool needed = scene.HasMessage(run, {installation, "): 3010 (success, reboot needed)"});
  scene.report().Info(
      std::string("Windows answered ForceReboot under REBOOT=ReallySuppress with ") +
      (suspended ? "1604"
       : needed  ? "3010"
                 : "neither 1604 nor 3010"));
  scene.report().Check(suspended || needed,
                       "record: the core's installation 1604 (suspended) or 3010 (reboot needed)");
  scene.ExpectMessage(run, {"end: ", " 1 needing a restart, "});
  scene.ExpectNoMessage(run, "ERROR_");
  ToolRun result = scene.RunThroughCmd(L"mivocheck.exe --result");
  scene.ExpectResult(result, 3010,
                     suspended ? "mivo.msi installation was suspended and finishes after a restart"
                               : "mivo.msi installation asked for a restart");
}

// A removal whose cached package and source are both gone, at the setup's UI
// level 258 (silent but for source resolution). The setup reaches it only
// when the cached package vanishes between its inspection and its removal,
// so the kit makes that removal itself, with the setup's properties. The
// installer is expected to show its source dialog; the tester clicks Cancel,
// and the answer is 1602, as the host's installer fake gives. Deleting a
// cached package needs an administrator; the kit puts it back afterwards, so
// that the product can be removed. Wine shows no such dialog (it answers
// 1612), so only Windows settles this.
bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const bool read =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
  CloseHandle(token);
  return read && elevation.TokenIsElevated != 0;
}

void MissingSourceDialog(Scene& scene) {
  const char kWhat[] = "a removal at UI level 258 without its cached package";
  if (scene.machine().wine) {
    scene.report().Skip(kWhat, "Wine has no source dialog; only Windows settles this");
    return;
  }
  if (!Elevated()) {
    scene.report().Skip(kWhat,
                        "deleting the cached package needs a command prompt run as administrator");
    return;
  }
  scene.Stage(Core(), kV1);
  const Cached cached = scene.Remember(Core());
  const std::wstring source = scene.root() + L"\\stage\\" + Core().stem + L"-v1.msi";
  if (!DeleteFileW(LongPath(cached.path).c_str()) || !DeleteFileW(LongPath(source).c_str())) {
    throw PreparationError("the cached package or the source could not be deleted");
  }
  scene.report().Info("click Cancel in the installer's dialog, if one asks for the package");
  const UINT result = scene.installer().RemoveAtLevel(
      Core().Code(), L"REMOVE=ALL REBOOT=ReallySuppress ZOLT_SETUP_EXE=1",
      static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_NONE | INSTALLUILEVEL_SOURCERESONLY));
  WriteBytes(cached.path, cached.bytes);
  scene.report().Info("Windows answered the removal with " + std::to_string(result));
  scene.report().Check(result == ERROR_INSTALL_USEREXIT,
                       "the removal answers 1602 after the source dialog is cancelled",
                       "got " + std::to_string(result) +
                           (result == 1612 ? ": no dialog was shown, as at the silent level" : ""));
  scene.report().Check(scene.installer().State(Core().Code()) == INSTALLSTATE_DEFAULT,
                       "the product stays installed");
}

// --- Runner -------------------------------------------------------------------------

struct ScenarioEntry {
  const char* name;
  std::function<void(Scene&, const Options&)> body;
};

std::vector<ScenarioEntry> Scenarios() {
  auto plain = [](void (*body)(Scene&)) {
    return [body](Scene& scene, const Options&) { body(scene); };
  };
  return {
      {"first_install", plain(FirstInstall)},
      {"second_run", plain(SecondRun)},
      {"rebuilt_pack", plain(RebuiltPack)},
      {"version_7_01", plain(Version701)},
      {"related_product", plain(RelatedProduct)},
      {"garbage_core", plain(GarbageCore)},
      {"command_line_beside", plain(CommandLineBeside)},
      {"unsupported_command_line", plain(UnsupportedCommandLine)},
      {"percent_tmp", plain(PercentTmp)},
      {"non_ascii_folder", plain(NonAsciiFolder)},
      {"tmp_unset", plain(TmpUnset)},
      {"record_cap", plain(RecordCap)},
      {"record_held", plain(RecordHeld)},
      {"planted_msi_dll", PlantedMsiDll},
      {"long_folder", plain(LongFolder)},
      {"busy_installer", plain(BusyInstaller)},
      {"two_at_once", plain(TwoAtOnce)},
      {"forged_command_line", plain(ForgedCommandLine)},
      {"tmp_missing", plain(TmpMissing)},
      {"tmp_relative", plain(TmpRelative)},
      {"tmp_trailing_backslash", plain(TmpTrailingBackslash)},
      {"restart_scheduled", plain(RestartScheduled)},
      {"result_first_and_second_run", plain(ResultFirstAndSecondRun)},
      {"result_garbage_pack", plain(ResultGarbagePack)},
      {"result_restart", plain(ResultRestart)},
      {"result_no_record", plain(ResultNoRecord)},
      {"force_reboot", plain(ForceRebootCode)},
      {"missing_source_dialog", plain(MissingSourceDialog)},
  };
}

Machine Examine() {
  Machine machine;
  machine.user = GetUserDefaultLCID();
  machine.pack = ExpectedPacks(L"", machine.user).front();
  machine.beside = machine.user == 1036 ? 1041 : 1036;
  machine.wine = UnderWine(machine.wine_version);
  return machine;
}

// The first step: products of the kit that an interrupted earlier run left.
void RemoveLeftovers(const Installer& installer, Report& report) {
  report.Begin("leftovers");
  Sweep sweep = RemoveKitProducts(installer);
  if (sweep.removed.empty() && sweep.failed.empty()) {
    report.Pass("no test product left installed by an earlier run");
  }
  for (const std::wstring& code : sweep.removed) {
    report.Pass("removed test product " + Utf8(code) + ", left installed by an earlier run");
  }
  for (const std::string& failure : sweep.failed) {
    report.Fail("removal of a test product left by an earlier run: " + failure);
  }
}

}  // namespace

std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names = {"leftovers"};
  for (const ScenarioEntry& entry : Scenarios()) names.push_back(entry.name);
  return names;
}

void RunScenarios(const Options& options, const Installer& installer, Report& report) {
  std::vector<ScenarioEntry> scenarios = Scenarios();
  Machine machine = Examine();
  report.Info("user default LCID " + std::to_string(machine.user) + ": an empty command line " +
              "installs pack " + std::to_string(machine.pack) + "; the language beside it is " +
              std::to_string(machine.beside));
  if (machine.wine) report.Info("running under Wine " + machine.wine_version);

  RemoveLeftovers(installer, report);
  const std::wstring base = TempFolder() + L"\\mivo-e2e-" + std::to_wstring(GetCurrentProcessId());
  for (const ScenarioEntry& entry : scenarios) {
    if (!options.only.empty() && FromUtf8(entry.name) != options.only) continue;
    report.Begin(entry.name);
    const int failed_before = report.failed();
    const std::wstring root = base + L"\\" + FromUtf8(entry.name);
    try {
      Scene scene(options, installer, report, machine, root);
      entry.body(scene, options);
    } catch (const PreparationError& error) {
      report.Fail(std::string("preparation: ") + error.what());
    } catch (const std::exception& error) {
      report.Fail(std::string("unexpected error: ") + error.what());
    }
    Sweep sweep = RemoveKitProducts(installer);
    for (const std::string& failure : sweep.failed) {
      report.Fail("removal of what the scenario installed: " + failure);
    }
    if (options.keep || report.failed() != failed_before) {
      report.Info("scratch folder kept: " + Utf8(root));
    } else {
      DeleteTree(root);
    }
  }
  report.Begin("");
  RemoveDirectoryW(base.c_str());  // only when empty
}

}  // namespace kit
