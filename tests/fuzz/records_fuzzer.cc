// libFuzzer target over the reader of run records: the input is read as a
// record (a summary and CSV are made of it), and every line of it that parses
// must be exactly what the writer writes for the values read from it. The
// reader thus accepts nothing but the writer's own lines, one spelling per
// value: a parse that is lenient anywhere (a second form of a number, of an
// escape, of a result's words) shows up as a line the writer writes otherwise.
//
// The input is also planted beside a record, as the earlier release's journal
// of a cut and as the older generation, where a run's line must change
// nothing before it, and the older generation no result.
//
// The lines of the input that parse are then read again as a record of 2 MiB:
// copied over and over, each copy with process ids of its own, so that
// thousands of runs are open at once (a start line without its end) or
// interleave. run_fuzz.sh gives every input a time limit that a reader whose
// time grows with the square of its open runs or packages would exceed.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mivocheck/records.h"
#include "mivocheck/result.h"
#include "setup/record.h"
#include "setup/temp_folder.h"

namespace {

using mivocheck::RecordLine;
using mivocheck::RecordText;

class Discard : public mivocheck::RecordSink {
 public:
  void RunDone(const mivocheck::Run& run) override {
    for (const mivocheck::PackageRun& package : run.packages) {
      outcomes += mivocheck::OutcomeText(run, package).size();
    }
  }
  size_t outcomes = 0;
};

const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/records_fuzzer_XXXXXX";
    if (!mkdtemp(name)) abort();
    return std::string(name);
  }();
  return folder;
}

bool Is(const RecordText& text, const char* words) {
  size_t i = 0;
  for (; words[i]; ++i) {
    if (i == text.size() || text[i] != static_cast<WCHAR>(words[i])) return false;
  }
  return i == text.size();
}

// Writes the line of `line`'s kind and values with the writer; false when the
// writer cannot be handed them (a version of another program).
bool Rewrite(const RecordLine& line) {
  const std::string path = Folder() + "/MIVOSetup.log";
  remove(path.c_str());
  RecordText folder;
  for (char c : Folder()) folder += static_cast<WCHAR>(c);
  RunRecord r;
  r.Open(folder.c_str());
  if (line.has_package) r.SetEntry(line.package.c_str());
  auto t = [&](int i) { return line.fields[i].text.c_str(); };
  auto n = [&](int i) { return static_cast<DWORD>(line.fields[i].number); };
  switch (line.kind) {
    case kRecordStart:
      if (!Is(line.fields[0].text, MIVO_VERSION_TEXT)) return false;
      r.Start(t(1), t(2), n(3), t(4));
      break;
    case kRecordLockWaited:
      r.LockWaited(n(0));
      break;
    case kRecordLockGoingOn:
      r.LockGoingOn(n(0));
      break;
    case kRecordNoFolder:
      r.NoFolder();
      break;
    case kRecordPlan: {
      int rule = kPlanCore;
      while (rule < kPlanFallback && !Is(line.fields[0].text, RecordRuleText(PlanRule(rule)))) {
        ++rule;
      }
      r.Plan(static_cast<PlanRule>(rule), t(1), t(2), t(3));
      break;
    }
    case kRecordPathTooLong:
      r.PathTooLong(t(0));
      break;
    case kRecordPackageOpened:
      r.PackageOpened();
      break;
    case kRecordPackageNotOpened:
      r.PackageNotOpened(n(0));
      break;
    case kRecordProductCode:
      r.ProductCode(t(0));
      break;
    case kRecordUpgradeCode:
      r.UpgradeCode(t(0));
      break;
    case kRecordProductVersion:
      r.ProductVersion(t(0));
      break;
    case kRecordPackageKeyFile:
      r.PackageKeyFile(t(0), t(1));
      break;
    case kRecordInstalledState: {
      // The states the enumeration can hold; the reader reads any other
      // number with the words of an unknown state, which the writer gives
      // the same way.
      const long long state = line.fields[0].number;
      if (state < -8 || state > 7) return false;
      r.InstalledState(static_cast<INSTALLSTATE>(state));
      break;
    }
    case kRecordInstalledProduct:
      r.InstalledProduct(t(0), t(1));
      break;
    case kRecordCachedPackage:
      r.CachedPackage(t(0));
      break;
    case kRecordCachedPackageUnnamed:
      r.CachedPackageUnnamed(n(0));
      break;
    case kRecordCachedKeyFile:
      r.CachedKeyFile(t(0), t(1));
      break;
    case kRecordCachedKeyFileUnreadable:
      r.CachedKeyFileUnreadable(t(0));
      break;
    case kRecordDecisionNotOpened:
      r.DecisionNotOpened();
      break;
    case kRecordDecisionNotInstalled:
      r.DecisionNotInstalled();
      break;
    case kRecordDecisionVersionDiffers:
      r.DecisionVersionDiffers(t(0), t(1));
      break;
    case kRecordDecisionCacheUnreadable:
      r.DecisionCacheUnreadable();
      break;
    case kRecordDecisionNotRelated:
      r.DecisionNotRelated();
      break;
    case kRecordDecisionRemoveFirst:
      r.DecisionRemoveFirst(t(0), t(1));
      break;
    case kRecordDecisionCurrent:
      r.DecisionCurrent();
      break;
    case kRecordWait:
      r.Wait(n(0), Is(line.fields[1].text, "removal"));
      break;
    case kRecordLeft:
      r.Left(Is(line.fields[0].text, "removal"));
      break;
    case kRecordRemoval:
      r.Removal(t(0), t(1), n(2));
      break;
    case kRecordInstallation:
      r.Installation(t(0), t(1), n(2));
      break;
    case kRecordEnd:
      r.End(n(0), n(1), n(2), 0, 0, n(3));
      break;
    case kRecordEndWithFailures:
      r.End(n(0), n(1), n(2), 0, n(3), n(4));
      break;
    case kRecordEndWithRestarts:
      r.End(n(0), n(1), n(2), n(3), 0, n(4));
      break;
    case kRecordEndWithRestartsAndFailures:
      r.End(n(0), n(1), n(2), n(3), n(4), n(5));
      break;
    case kRecordTempElsewhere: {
      TempChoice choice;
      choice.tmp_folder = t(0);
      int refusal = kTempNotSet;
      while (refusal <= kTempNoRecord &&
             !Is(line.fields[1].text, TempRefusalText(static_cast<TempRefusal>(refusal)))) {
        ++refusal;
      }
      if (refusal > kTempNoRecord) return false;
      choice.tmp_refusal = static_cast<TempRefusal>(refusal);
      int source = kTempFromTemp;
      while (source <= kTempFromLocalAppData &&
             !Is(line.fields[2].text, TempSourceText(static_cast<TempSource>(source)))) {
        ++source;
      }
      if (source > kTempFromLocalAppData) return false;
      choice.source = static_cast<TempSource>(source);
      r.TempNotTmp(choice.tmp_folder, TempRefusalText(choice.tmp_refusal),
                   TempSourceText(choice.source));
      break;
    }
    case kRecordWithoutLog:
      if (!Is(line.fields[0].text, "removal") && !Is(line.fields[0].text, "installation")) {
        return false;
      }
      r.WithoutLog(Is(line.fields[0].text, "removal"));
      break;
    case kRecordUser:
      r.User(t(0));
      break;
    case kRecordKindCount:
      abort();
  }
  return true;
}

std::string WrittenLine() {
  std::ifstream file(Folder() + "/MIVOSetup.log", std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Reads the parsed lines `lines` (each its text after the process id) as a
// record of about kAmplified bytes, copy k of them under process id k + the
// line's own modulo 7, so that copies overlap.
void ReadAmplified(const std::vector<std::pair<DWORD, std::string>>& lines) {
  const size_t kAmplified = 2 * 1024 * 1024;
  if (lines.empty()) return;
  Discard sink;
  mivocheck::RecordFileReader reader("amplified", sink);
  std::string copy;
  for (size_t total = 0, k = 1; total < kAmplified; ++k) {
    copy.clear();
    for (const auto& line : lines) {
      copy += "2026-12-08 10:00:00Z [" + std::to_string(k * 8 + line.first % 7) + "] ";
      copy += line.second;
      copy += "\r\n";
    }
    reader.Feed(copy.data(), copy.size());
    total += copy.size();
  }
  reader.Finish();
}

}  // namespace

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The input planted beside a record as the earlier release's journal of a cut
// (MIVOSetup.log.cut) and as the older generation (MIVOSetup.log.1). A run's
// line appends to the record and changes nothing before it, or, when it takes
// the record over its limit (one input in 16), moves exactly the record to the
// older generation; the journal stays as it was. An older generation that
// ends with a line end changes no result of mivocheck --result: the newest
// run is the current generation's.
void PlantNeighbours(const std::string& input) {
  const std::string folder = Folder() + "/neighbours";
  mkdir(folder.c_str(), 0755);
  const std::string record = folder + "/MIVOSetup.log";
  std::string before =
      "2026-12-09 04:19:53Z [276] start: mivoboot 1.0.0.0, executable \"C:\\s\\mivoboot.exe\", "
      "arguments \"\", user default LCID 1031, temporary folder \"C:\\t\"\r\n"
      "2026-12-09 04:19:54Z [276] end: 0 installed, 0 removed, 0 left alone, 5 ms\r\n";
  const std::string run = before;
  const bool full = !input.empty() && (input[0] & 0x0F) == 0;
  if (full) before.resize(kRunRecordLimit, '.');
  WriteText(record, before);
  WriteText(record + ".cut", input);
  WriteText(record + ".1", input);
  {
    RecordText windows = u"Z:";
    for (char c : folder) windows += static_cast<WCHAR>(c == '/' ? '\\' : c);
    RunRecord r;
    r.Open(windows.c_str());
    r.SetEntry(u"x.msi");
    r.ProductCode(u"0");
  }
  const std::string line_end = "] x.msi: ProductCode: \"0\"\r\n";
  const std::string current = FileText(record), older = FileText(record + ".1");
  const bool kept = full ? older == before && current.size() < 100
                         : older == input && current.compare(0, before.size(), before) == 0 &&
                               current.size() > before.size();
  if (!kept || current.size() < line_end.size() ||
      current.compare(current.size() - line_end.size(), line_end.size(), line_end) != 0 ||
      FileText(record + ".cut") != input) {
    fprintf(stderr, "a run's line changed the record or its neighbours\n");
    abort();
  }
  if (!input.empty() && input.back() != '\n') return;
  WriteText(record, run);
  WriteText(record + ".1", input);
  RecordText path;
  for (char c : record) path += static_cast<WCHAR>(c);
  const mivocheck::RecordResult planted = mivocheck::ResultOfRecord(path.c_str());
  remove((record + ".1").c_str());
  const mivocheck::RecordResult alone = mivocheck::ResultOfRecord(path.c_str());
  if (planted.code != alone.code || planted.cause != alone.cause) {
    fprintf(stderr, "an older generation changed the result: %s / %s\n", planted.cause.c_str(),
            alone.cause.c_str());
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  Discard sink;
  mivocheck::RecordFileReader reader("input", sink);
  reader.Feed(bytes, size);
  reader.Finish();

  RecordLine line;
  std::vector<std::pair<DWORD, std::string>> parsed;
  size_t start = 0;
  while (start < size) {
    const char* lf = static_cast<const char*>(memchr(bytes + start, '\n', size - start));
    const size_t end = lf ? static_cast<size_t>(lf - bytes) : size;
    std::string_view text(bytes + start, end - start);
    start = end + 1;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (!mivocheck::ParseRecordLine(text, line)) continue;
    parsed.emplace_back(line.pid, std::string(text.substr(text.find("] ") + 2)));
    if (!Rewrite(line)) continue;
    // The writer's line, after its own time stamp and process id, must be
    // the input's, after the input's.
    const std::string written = WrittenLine();
    const size_t ours = text.find("] ") + 2;
    const size_t theirs = written.find("] ") + 2;
    if (written.compare(theirs, std::string::npos, std::string(text.substr(ours)) + "\r\n") != 0) {
      fprintf(stderr, "read:    %.*s\nwritten: %s\n", static_cast<int>(text.size()), text.data(),
              written.c_str());
      abort();
    }
  }
  ReadAmplified(parsed);
  PlantNeighbours(std::string(bytes, size));
  return 0;
}
