// Runs: the outcome of a package of a run, and the reader that rebuilds runs
// from the lines of a file.
#include "mivocheck/records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "mivocheck/records_internal.h"
#include "platform/utf8.h"

namespace mivocheck {

// ---------------------------------------------------------------------------
// Runs.

Outcome OutcomeOf(const Run& run, const PackageRun& package) {
  if (package.gave_up) return Outcome::kGaveUp;
  if (package.removed && !ResultSucceeded(package.removal_result)) return Outcome::kFailed;
  if (package.installed) {
    if (!ResultSucceeded(package.installation_result)) return Outcome::kFailed;
    return package.removed ? Outcome::kRemovedAndInstalled : Outcome::kInstalled;
  }
  if (package.decision == kRecordDecisionCurrent) return Outcome::kLeftAlone;
  if (run.path_too_long) return Outcome::kPathTooLong;
  if (!run.Finished()) return Outcome::kDidNotFinish;
  return Outcome::kNoResult;
}

std::string ResultText(UINT result) {
  std::string text = std::to_string(result);
  if (const char* words = RecordSuccessWords(result)) {
    text += std::string(" (") + words + ")";
  } else if (const char* name = RecordFailureName(result)) {
    text += std::string(" (ERROR_") + name + ")";
  }
  return text;
}

std::string OutcomeText(const Run& run, const PackageRun& package) {
  switch (OutcomeOf(run, package)) {
    case Outcome::kInstalled:
      return "installed";
    case Outcome::kRemovedAndInstalled:
      return "removed and installed";
    case Outcome::kLeftAlone:
      return "left alone";
    case Outcome::kFailed:
      if (package.removed && !ResultSucceeded(package.removal_result)) {
        return "removal failed with result " + ResultText(package.removal_result);
      }
      return "installation failed with result " + ResultText(package.installation_result);
    case Outcome::kGaveUp:
      return std::string("waited out and gave up on the ") +
             (package.gave_up_removal ? "removal" : "installation");
    case Outcome::kDidNotFinish:
      return "did not finish";
    case Outcome::kPathTooLong:
      return "not installed: a package's path is too long";
    case Outcome::kNothingPlanned:
      break;
    case Outcome::kNoResult:
      return "no result";
  }
  return RunOutcomeText(run);
}

std::string RunOutcomeText(const Run& run) {
  if (!run.Finished()) return "did not finish";
  if (run.folder_unreadable) return "nothing planned: the folder cannot be read";
  return "nothing planned";
}

bool RunFailed(const Run& run) {
  if (!run.Finished() || run.end_counts_failures) return true;
  for (const PackageRun& package : run.packages) {
    if (IsFailure(OutcomeOf(run, package))) return true;
  }
  return false;
}

namespace {

// A line longer than this (the record's own size limit) does not parse; its
// bytes are not kept.
const size_t kLongestLine = kRunRecordLimit;

}  // namespace

RecordFileReader::RecordFileReader(std::string file, RecordSink& sink)
    : file_(std::move(file)), sink_(sink) {}

void RecordFileReader::Feed(const char* bytes, size_t count) {
  const char* p = bytes;
  const char* end = bytes + count;
  while (p < end) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const size_t length = static_cast<size_t>((lf ? lf : end) - p);
    if (!overlong_ && pending_.size() + length > kLongestLine) {
      overlong_ = true;
      pending_.clear();
    }
    if (!lf) {
      if (!overlong_) pending_.append(p, length);
      return;
    }
    if (overlong_) {
      ++line_number_;
      sink_.LineNotParsed(file_, line_number_);
      overlong_ = false;
    } else if (pending_.empty()) {
      Line(std::string_view(p, length));
    } else {
      pending_.append(p, length);
      Line(pending_);
      pending_.clear();
    }
    p = lf + 1;
  }
}

void RecordFileReader::Finish() {
  if (overlong_ || !pending_.empty()) {
    ++line_number_;
    sink_.LineNotParsed(file_, line_number_);
    pending_.clear();
    overlong_ = false;
  }
  while (!order_.empty()) Close(order_.front().pid);
}

void RecordFileReader::Line(std::string_view bytes) {
  ++line_number_;
  if (bytes.empty() || bytes.back() != '\r' ||
      !ParseRecordLine(bytes.substr(0, bytes.size() - 1), line_)) {
    sink_.LineNotParsed(file_, line_number_);
    return;
  }
  Take(line_);
}

RecordFileReader::OpenRun* RecordFileReader::Open(DWORD pid) {
  auto found = open_.find(pid);
  return found == open_.end() ? nullptr : &found->second;
}

void RecordFileReader::Close(DWORD pid) {
  auto found = open_.find(pid);
  sink_.RunDone(*found->second.run);
  order_.erase(found->second.run);
  open_.erase(found);
}

PackageRun& RecordFileReader::PackageOf(OpenRun& open, const RecordText& name) {
  auto inserted = open.packages.emplace(name, open.run->packages.size());
  if (inserted.second) {
    open.run->packages.emplace_back();
    open.run->packages.back().name = name;
  }
  return open.run->packages[inserted.first->second];
}

void RecordFileReader::Take(const RecordLine& line) {
  const RecordField* f = line.fields.data();
  if (line.kind == kRecordStart) {
    // A process id that starts again: the earlier run never reached its end.
    if (Open(line.pid)) Close(line.pid);
    order_.emplace_back();
    Run& run = order_.back();
    open_[line.pid].run = std::prev(order_.end());
    run.file = file_;
    run.pid = line.pid;
    run.start_time = line.time;
    run.version = f[0].text;
    run.executable = f[1].text;
    run.arguments = f[2].text;
    run.user_lcid = static_cast<DWORD>(f[3].number);
    run.temp_folder = f[4].text;
    return;
  }
  OpenRun* open = Open(line.pid);
  if (!open) return;  // before the first start line of its process, or after its end
  if (line.kind == kRecordUser) {
    open->run->user = f[0].text;
    return;
  }
  Run* run = &*open->run;
  if (line.kind == kRecordEnd || line.kind == kRecordEndWithFailures ||
      line.kind == kRecordEndWithRestarts || line.kind == kRecordEndWithRestartsAndFailures) {
    run->end_time = line.time;
    run->end_counts_failures =
        line.kind == kRecordEndWithFailures || line.kind == kRecordEndWithRestartsAndFailures;
    Close(line.pid);
    return;
  }
  if (line.kind == kRecordNoFolder) {
    run->folder_unreadable = true;
    return;
  }
  if (!line.has_package) return;
  PackageRun& package = PackageOf(*open, line.package);
  switch (line.kind) {
    case kRecordPlan:
      package.rule = f[0].text;
      break;
    case kRecordPathTooLong:
      run->path_too_long = true;
      break;
    case kRecordProductCode:
      package.product_code = f[0].text;
      break;
    case kRecordProductVersion:
      package.package_version = f[0].text;
      break;
    case kRecordInstalledProduct:
      package.installed_version = f[1].text;
      break;
    case kRecordDecisionNotOpened:
    case kRecordDecisionNotInstalled:
    case kRecordDecisionVersionDiffers:
    case kRecordDecisionCacheUnreadable:
    case kRecordDecisionNotRelated:
    case kRecordDecisionRemoveFirst:
    case kRecordDecisionCurrent:
      package.decision = line.kind;
      break;
    case kRecordLeft:
      // A removal given up leaves the installation to give up too; the
      // removal is named.
      if (!package.gave_up) package.gave_up_removal = Equals(f[0].text, "removal");
      package.gave_up = true;
      break;
    case kRecordRemoval:
      package.removed = true;
      package.removal_result = static_cast<UINT>(f[2].number);
      break;
    case kRecordInstallation:
      package.installed = true;
      package.installation_result = static_cast<UINT>(f[2].number);
      break;
    default:
      break;
  }
}

namespace {

// An open file, closed once when its owner goes.
class OpenFile {
 public:
  explicit OpenFile(HANDLE handle) : handle_(handle) {}
  ~OpenFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

bool ReadRecordFile(const PathString& path, const std::string& name, RecordSink& sink) {
  // Others may go on writing, renaming or removing the record meanwhile.
  OpenFile file(CreateFileW(PlatformPath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) return false;
  RecordFileReader reader(name, sink);
  static char buffer[64 * 1024];
  bool read = true;
  for (;;) {
    DWORD count = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer, &count, nullptr)) {
      read = false;
      break;
    }
    if (count == 0) break;
    reader.Feed(buffer, count);
  }
  reader.Finish();
  return read;
}

}  // namespace mivocheck
