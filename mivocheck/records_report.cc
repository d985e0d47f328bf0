// What the reader writes of runs: the summary and the CSV rows.
#include "mivocheck/records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "mivocheck/records_internal.h"
#include "platform/utf8.h"

namespace mivocheck {

// ---------------------------------------------------------------------------
// The summary.

void RecordSummary::RunDone(const Run& run) {
  ++runs_;
  if (!run.Finished()) {
    ++unfinished_runs_;
  } else if (RunFailed(run)) {
    ++failed_runs_;
  }
  if (run.packages.empty()) {
    const Outcome outcome = run.Finished() ? Outcome::kNothingPlanned : Outcome::kDidNotFinish;
    Count("-", outcome, RunOutcomeText(run), run.file, !run.Finished());
    return;
  }
  for (const PackageRun& package : run.packages) {
    const Outcome outcome = OutcomeOf(run, package);
    Count(RecordTextEscaped(package.name), outcome, OutcomeText(run, package), run.file,
          IsFailure(outcome));
  }
}

void RecordSummary::Count(const std::string& package, Outcome outcome, const std::string& text,
                          const std::string& file, bool failure) {
  Row& row = rows_[Key(package, static_cast<int>(outcome), text)];
  ++row.runs;
  // Files are read one after the other, so a file already named is the last.
  if (failure && (row.files.empty() || row.files.back() != file)) row.files.push_back(file);
}

namespace {

// The width of a UTF-8 text in characters.
size_t Width(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) width += (c & 0xC0) != 0x80;
  return width;
}

void Pad(std::string& out, const std::string& text, size_t width) {
  out += text;
  out.append(width - Width(text), ' ');
}

}  // namespace

std::string RecordSummary::Format() const {
  const std::string kPackage = "PACKAGE", kOutcome = "OUTCOME", kRuns = "RUNS";
  size_t package_width = Width(kPackage), outcome_width = Width(kOutcome),
         runs_width = kRuns.size();
  for (const auto& entry : rows_) {
    package_width = std::max(package_width, Width(std::get<0>(entry.first)));
    outcome_width = std::max(outcome_width, Width(std::get<2>(entry.first)));
    runs_width = std::max(runs_width, std::to_string(entry.second.runs).size());
  }
  std::string out;
  auto row = [&](const std::string& package, const std::string& outcome, const std::string& runs) {
    Pad(out, package, package_width + 2);
    Pad(out, outcome, outcome_width + 2);
    out.append(runs_width - runs.size(), ' ');
    out += runs;
    out += '\n';
  };
  row(kPackage, kOutcome, kRuns);
  for (const auto& entry : rows_) {
    row(std::get<0>(entry.first), std::get<2>(entry.first), std::to_string(entry.second.runs));
  }
  out += "\n" + std::to_string(runs_) + (runs_ == 1 ? " run: " : " runs: ") +
         std::to_string(runs_ - failed_runs_ - unfinished_runs_) +
         " ended with every call successful, " + std::to_string(failed_runs_) +
         " ended with a failed call, " + std::to_string(unfinished_runs_) + " did not finish\n";
  for (const auto& entry : rows_) {
    if (entry.second.files.empty()) continue;
    out += "\n" + std::get<0>(entry.first) + ", " + std::get<2>(entry.first) + ":\n";
    std::vector<std::string> files = entry.second.files;
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) out += "  " + file + "\n";
  }
  return out;
}

// ---------------------------------------------------------------------------
// CSV.

namespace {

const char kCsvHeader[] =
    "file,pid,start,end,version,executable,arguments,user_lcid,temporary_folder,package,rule,"
    "product_code,package_version,installed_version,decision,removal_result,installation_"
    "result,outcome\r\n";

// A field of RFC 4180: quoted when it holds a comma, a quote or a line break.
void CsvField(std::string& row, const std::string& value, bool last = false) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) {
    row += value;
  } else {
    row += '"';
    for (char c : value) {
      if (c == '"') row += '"';
      row += c;
    }
    row += '"';
  }
  row += last ? "\r\n" : ",";
}

void CsvField(std::string& row, const RecordText& value) { CsvField(row, RecordTextCsv(value)); }

const char* DecisionWords(RecordKind decision) {
  switch (decision) {
    case kRecordDecisionNotOpened:
      return "install: package not opened";
    case kRecordDecisionNotInstalled:
      return "install: not installed";
    case kRecordDecisionVersionDiffers:
      return "install: version differs";
    case kRecordDecisionCacheUnreadable:
      return "install: cache unreadable";
    case kRecordDecisionNotRelated:
      return "install: not related";
    case kRecordDecisionRemoveFirst:
      return "remove and install: older key file";
    case kRecordDecisionCurrent:
      return "leave alone: current";
    default:
      return "";
  }
}

}  // namespace

CsvRecordWriter::CsvRecordWriter(std::function<void(const std::string&)> out)
    : out_(std::move(out)) {
  out_(kCsvHeader);
}

void CsvRecordWriter::RunDone(const Run& run) {
  if (RunFailed(run)) any_failed_ = true;
  row_.clear();
  const size_t rows = run.packages.empty() ? 1 : run.packages.size();
  for (size_t i = 0; i < rows; ++i) {
    CsvField(row_, run.file);
    CsvField(row_, std::to_string(run.pid));
    CsvField(row_, run.start_time);
    CsvField(row_, run.end_time);
    CsvField(row_, run.version);
    CsvField(row_, run.executable);
    CsvField(row_, run.arguments);
    CsvField(row_, std::to_string(run.user_lcid));
    CsvField(row_, run.temp_folder);
    if (run.packages.empty()) {
      // package to installation_result: no package, no result.
      for (int k = 0; k < 8; ++k) CsvField(row_, std::string());
      CsvField(row_, RunOutcomeText(run), true);
      continue;
    }
    const PackageRun& package = run.packages[i];
    CsvField(row_, package.name);
    CsvField(row_, package.rule);
    CsvField(row_, package.product_code);
    CsvField(row_, package.package_version);
    CsvField(row_, package.installed_version);
    CsvField(row_, DecisionWords(package.decision));
    CsvField(row_, package.removed ? std::to_string(package.removal_result) : std::string());
    CsvField(row_, package.installed ? std::to_string(package.installation_result) : std::string());
    CsvField(row_, OutcomeText(run, package), true);
  }
  out_(row_);
}

}  // namespace mivocheck
