// Writes a fleet's run records for the benchmark of mivocheck --records:
//
//   records_bench_gen FOLDER COUNT
//
// FOLDER/pcNNNNN.log for NNNNN from 1 to COUNT. The lines are the writer's own
// (RunRecord), made once per kind of run in FOLDER/template: a run that
// installs three packages, one that leaves them alone, one whose language pack
// is removed first, one whose installation fails. Each record holds a first
// run and a later one; every line is then stamped with the run's own process
// id and time, and the user's name in its paths is the machine's own. The
// names are ASCII and unescaped, so the quoted texts stay as the writer wrote
// them. Prints the number of runs and of failed runs.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/utf8.h"
#include "setup/record.h"

namespace {

using Text = std::basic_string<WCHAR>;

Text W(const std::string& text) { return utf8::ToUtf16<WCHAR>(text.c_str()); }

// The placeholder for the user's name in the templates' paths.
const char kUser[] = "USERNAME";

struct Package {
  const char* name;
  PlanRule rule;
  const char* key_file;
  const char* code;
  const char* log;
};

const Package kPackages[] = {
    {"mivo.msi", kPlanCore, "KELD.DLL", "{6D1C0A00-0000-4000-8000-000000000000}", "MIVO"},
    {"mivo_1036.msi", kPlanCommandLine, "KELDINTL.DLL", "{6D1C0A00-0000-4000-8000-000000001036}",
     "MIVO_1036"},
    {"mivo_1031.msi", kPlanUserLocale, "KELDINTL.DLL", "{6D1C0A00-0000-4000-8000-000000001031}",
     "MIVO_1031"},
};

enum Kind { kFresh, kCurrent, kRemoveFirst, kFailing, kKinds };

// One run of `kind` as the run and the inspection write it.
void WriteRun(RunRecord& record, Kind kind) {
  const std::string user = kUser;
  const std::string folder = "C:\\Users\\" + user + "\\Downloads\\mivo-setup-1.0\\";
  const std::string temp = "C:\\Users\\" + user + "\\AppData\\Local\\Temp";
  record.Start(W(folder + "mivoboot.exe").c_str(), W("1036").c_str(), 1031, W(temp).c_str());
  std::vector<Text> names, paths, logs, removal_logs, codes, keys;
  for (const Package& p : kPackages) {
    names.push_back(W(p.name));
    paths.push_back(W(folder + p.name));
    logs.push_back(W(temp + "\\" + p.log + "Install.log"));
    removal_logs.push_back(W(temp + "\\" + p.log + "Remove.log"));
    codes.push_back(W(p.code));
    keys.push_back(W(p.key_file));
  }
  for (size_t i = 0; i < 3; ++i) {
    record.SetEntry(names[i].c_str());
    record.Plan(kPackages[i].rule, paths[i].c_str(), keys[i].c_str(), logs[i].c_str());
  }
  DWORD installed = 0, removed = 0, left_alone = 0, failed = 0;
  for (size_t i = 0; i < 3; ++i) {
    record.SetEntry(names[i].c_str());
    record.PackageOpened();
    record.ProductCode(codes[i].c_str());
    Text upgrade = codes[i];
    upgrade[20] = '9';
    record.UpgradeCode(upgrade.c_str());
    record.ProductVersion(W("1.0.0").c_str());
    const bool newer_pack = kind == kRemoveFirst && i == 2;
    record.PackageKeyFile(keys[i].c_str(), W(newer_pack ? "1.0.0.1" : "1.0.0.0").c_str());
    if (kind == kFresh || kind == kFailing) {
      record.InstalledState(INSTALLSTATE_UNKNOWN);
      record.DecisionNotInstalled();
      const UINT result = kind == kFailing && i == 2 ? 1603 : 0;
      record.Installation(paths[i].c_str(), logs[i].c_str(), result);
      if (result == 0) {
        ++installed;
      } else {
        ++failed;
      }
      continue;
    }
    record.InstalledState(INSTALLSTATE_DEFAULT);
    record.InstalledProduct(codes[i].c_str(), W("1.0.0").c_str());
    const std::string cached =
        "C:\\Windows\\Installer\\" + std::to_string(0xd7b6 + 0x1c * i) + ".msi";
    record.CachedPackage(W(cached).c_str());
    record.CachedKeyFile(keys[i].c_str(), W("1.0.0.0").c_str());
    if (newer_pack) {
      record.DecisionRemoveFirst(W("1.0.0.0").c_str(), W("1.0.0.1").c_str());
      record.Removal(codes[i].c_str(), removal_logs[i].c_str(), 0);
      record.Installation(paths[i].c_str(), logs[i].c_str(), 0);
      ++removed;
      ++installed;
    } else {
      record.DecisionCurrent();
      ++left_alone;
    }
  }
  record.SetEntry(nullptr);
  record.End(installed, removed, left_alone, 0, failed, 4200 + 17 * kind);
}

// The lines of a record, each without its time stamp and process id.
std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(content, line)) lines.push_back(line.substr(line.find("] ") + 2) + "\n");
  return lines;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: records_bench_gen FOLDER COUNT\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  const int count = atoi(argv[2]);
  std::vector<std::string> templates[kKinds];
  for (int kind = 0; kind < kKinds; ++kind) {
    const std::filesystem::path scratch = folder / "template";
    std::filesystem::remove_all(scratch);
    std::filesystem::create_directories(scratch);
    {
      RunRecord record;
      record.Open(W(scratch.string()).c_str());
      WriteRun(record, static_cast<Kind>(kind));
    }
    templates[kind] = Lines((scratch / "MIVOSetup.log").string());
  }
  std::filesystem::remove_all(folder / "template");

  long runs = 0, failed_runs = 0;
  for (int machine = 1; machine <= count; ++machine) {
    char name[32];
    snprintf(name, sizeof name, "pc%05d.log", machine);
    FILE* file = fopen((folder / name).string().c_str(), "wb");
    if (!file) {
      perror(name);
      return 1;
    }
    char user[16];
    snprintf(user, sizeof user, "user%05d", machine);
    // A first run, and a later one that finds what the first installed.
    const Kind first = machine % 100 == 0 ? kFailing : kFresh;
    const Kind later = machine % 5 == 0 ? kRemoveFirst : kCurrent;
    for (int n = 0; n < 2; ++n) {
      const Kind kind = n == 0 ? first : later;
      const unsigned pid = 1000 + (machine * 7 + n * 13) % 60000;
      ++runs;
      failed_runs += kind == kFailing;
      int index = 0;
      for (std::string line : templates[kind]) {
        Replace(line, kUser, user);
        fprintf(file, "2026-%02d-%02d %02d:%02d:%02dZ [%u] %s", 1 + machine % 12, 1 + machine % 28,
                8 + n * 4, machine % 60, index++ / 8, pid, line.c_str());
      }
    }
    fclose(file);
  }
  printf("%ld runs, %ld failed\n", runs, failed_runs);
  return 0;
}
