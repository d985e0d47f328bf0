// The run record shared by processes: runs that append while others cut an
// oversized record, and a cut that ends at any point. Each process is a real
// one (fork), with the record's lock between them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mivocheck/records.h"
#include "platform/host/host_control.h"
#include "setup/record.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::Widen;

class RecordShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::path(SETUP_SCRATCH_DIR) /
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    record_ = (folder_ / "MIVOSetup.log").string();
  }
  void TearDown() override {
    for (pid_t child : children_) waitpid(child, nullptr, 0);
    host::ResetProcessState();
  }

  // A record of `bytes` (at least) of an earlier run's lines, numbered from 0
  // under the package name "earlier.msi".
  void WriteEarlier(size_t bytes) {
    std::string old;
    for (int n = 0; old.size() < bytes; ++n) {
      old += "2026-01-01 00:00:00Z [7] earlier.msi: ProductCode: \"" + std::to_string(n) +
             " of the earlier run, long enough to be a line of some size\"\r\n";
    }
    std::ofstream(record_, std::ios::binary | std::ios::trunc) << old;
    earlier_last_ = Count(old) - 1;
  }
  static int Count(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
  }

  // Starts a process that waits at `gate` (a pipe that the test closes to let
  // every process go at once), then writes `lines`
  // numbered lines through a record of its own under the package name
  // `name`; each line's number is its text.
  void StartWriter(const int gate[2], const std::u16string& name, int lines) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child > 0) {
      children_.push_back(child);
      return;
    }
    close(gate[1]);
    char go;
    if (read(gate[0], &go, 1) < 0) _exit(2);
    host::UseRealClock();
    RunRecord record;
    record.Open(Widen(folder_.string()).c_str());
    record.SetEntry(name.c_str());
    for (int n = 0; n < lines; ++n) record.ProductCode(Widen(std::to_string(n)).c_str());
    _exit(0);
  }

  // Runs `body` in a process of its own; its exit code (3 when it returns).
  static int InProcess(const std::function<void()>& body) {
    pid_t child = fork();
    if (child == 0) {
      body();
      _exit(3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The numbers of each package's lines in the record, in file order. Every
  // line must parse.
  std::map<std::string, std::vector<long>> Numbers() const {
    std::map<std::string, std::vector<long>> numbers;
    for (const mivocheck::RecordLine& line : testing_support::ParsedRecord(record_)) {
      EXPECT_EQ(line.kind, kRecordProductCode);
      numbers[Narrow(line.package.c_str())].push_back(
          std::stol(Narrow(line.fields[0].text.c_str())));
    }
    return numbers;
  }

  // The earlier run's lines are a run of consecutive numbers that ends with
  // its last line: a cut keeps its newest lines, each once, none lost between.
  void ExpectNewestEarlierLines(const std::vector<long>& numbers) const {
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), earlier_last_);
    for (size_t i = 1; i < numbers.size(); ++i) {
      if (numbers[i] != numbers[i - 1] + 1) {
        ADD_FAILURE() << "earlier line " << numbers[i] << " follows " << numbers[i - 1];
        return;
      }
    }
  }

  std::filesystem::path folder_;
  std::string record_;
  long earlier_last_ = 0;
  std::vector<pid_t> children_;
};

// Rounds of runs started together against an oversized record: three write
// numbered lines, three more write one line each, and the first to take the
// lock cuts the record while the others wait. Every line of every run is in
// the record once, in its run's order, and every line parses.
TEST_F(RecordShareTest, RunsThatAppendLoseNoLineToACut) {
  const int kRounds = 12, kWriters = 3, kLines = 300, kCutters = 3;
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    WriteEarlier(kRunRecordLimit + 512 * 1024);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    for (int w = 0; w < kWriters; ++w) {
      StartWriter(gate, u"writer" + Widen(std::to_string(w)) + u".msi", kLines);
    }
    for (int c = 0; c < kCutters; ++c) {
      StartWriter(gate, u"cutter" + Widen(std::to_string(c)) + u".msi", 1);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t child : children_) {
      int status = 0;
      waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    children_.clear();

    std::map<std::string, std::vector<long>> numbers = Numbers();
    ExpectNewestEarlierLines(numbers["earlier.msi"]);
    for (int w = 0; w < kWriters + kCutters; ++w) {
      const bool writer = w < kWriters;
      const std::string name =
          (writer ? "writer" : "cutter") + std::to_string(writer ? w : w - kWriters) + ".msi";
      std::vector<long> expected;
      for (long n = 0; n < (writer ? kLines : 1); ++n) expected.push_back(n);
      EXPECT_EQ(numbers[name], expected) << name;
    }
    EXPECT_LE(std::filesystem::file_size(record_), kRunRecordLimit);
  }
}

// A run ends (is killed, loses power) at each file call of a cut in turn, in
// the middle of a write too; the next run that writes finishes the cut. The record
// then holds whole lines, the earlier run's newest lines once each, and the
// next run's line, and no journal is left.
TEST_F(RecordShareTest, ACutEndedAtAnyPointIsFinishedByTheNextRun) {
  const std::string journal = record_ + ".cut";
  for (int call = 1;; ++call) {
    SCOPED_TRACE("the cutting run ends at its file call " + std::to_string(call));
    ASSERT_LT(call, 40) << "the cut never ran to its end";
    std::filesystem::remove(journal);
    WriteEarlier(kRunRecordLimit + 256 * 1024);
    const int ended = InProcess([&] {
      host::ExitAtFileCall(call);
      RunRecord record;
      record.Open(Widen(folder_.string()).c_str());
      record.SetEntry(u"cutting.msi");
      record.ProductCode(u"0");
    });
    ASSERT_TRUE(ended == 0 || ended == 3) << ended;
    // Beyond the cut the run ends in the write of its own line, which no
    // cut can make whole: every point of the cut was tried.
    if (!std::filesystem::exists(journal) &&
        std::filesystem::file_size(record_) <= kRunRecordLimit) {
      break;
    }
    {
      RunRecord record;
      record.Open(Widen(folder_.string()).c_str());
      record.SetEntry(u"next.msi");
      record.ProductCode(u"0");
    }
    std::map<std::string, std::vector<long>> numbers = Numbers();
    ExpectNewestEarlierLines(numbers["earlier.msi"]);
    const size_t cutting = numbers.count("cutting.msi") ? numbers["cutting.msi"].size() : 0;
    EXPECT_EQ(numbers.size(), cutting > 0 ? 3u : 2u);
    EXPECT_LE(cutting, 1u);
    EXPECT_EQ(numbers["next.msi"], std::vector<long>{0});
    EXPECT_LE(std::filesystem::file_size(record_), kRunRecordLimit);
    EXPECT_FALSE(std::filesystem::exists(journal));
    if (HasFailure()) break;
  }
}

}  // namespace
