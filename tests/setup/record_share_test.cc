// The run record shared by processes: runs that append while others begin a
// new generation, a run of the earlier release that appends without a lock
// and without sharing delete, a run that ends at any point, and files planted
// beside the record. Each process is a real one (fork).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mivocheck/records.h"
#include "mivocheck/result.h"
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
    older_ = record_ + ".1";
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
    std::filesystem::remove(older_);
    earlier_last_ = Count(old) - 1;
  }
  static int Count(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
  }

  // Forks: false in this process, which keeps the child to wait for; true in
  // the child once `gate` opens (a pipe that the test closes to let every
  // process go at once).
  bool InChildAtGate(const int gate[2]) {
    pid_t child = fork();
    EXPECT_GE(child, 0);
    if (child != 0) {
      if (child > 0) children_.push_back(child);
      return false;
    }
    close(gate[1]);
    char go;
    if (read(gate[0], &go, 1) < 0) _exit(2);
    return true;
  }

  // Starts a process that waits at `gate` (a pipe that the test closes to let
  // every process go at once), then writes `lines`
  // numbered lines through a record of its own under the package name
  // `name`; each line's number is its text.
  void StartWriter(const int gate[2], const std::u16string& name, int lines) {
    if (!InChildAtGate(gate)) return;
    host::UseRealClock();
    RunRecord record;
    record.Open(WindowsFolder().c_str());
    record.SetEntry(name.c_str());
    for (int n = 0; n < lines; ++n) record.ProductCode(Widen(std::to_string(n)).c_str());
    _exit(0);
  }

  // Starts a process that writes as the earlier release wrote: it opens the
  // record once, for appending, shared for reading and writing but not for
  // delete, and appends `lines` numbered lines under the package name
  // "previous.msi" without any lock, holding the file until it ends.
  void StartEarlierReleaseWriter(const int gate[2], int lines) {
    if (!InChildAtGate(gate)) return;
    HANDLE file = CreateFileW(Widen(record_).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) _exit(4);
    for (int n = 0; n < lines; ++n) {
      const std::string line =
          "2026-12-09 10:00:00Z [8] previous.msi: ProductCode: \"" + std::to_string(n) + "\"\r\n";
      DWORD written = 0;
      if (!WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
          written != line.size()) {
        _exit(5);
      }
    }
    CloseHandle(file);
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

  // The numbers of each package's lines in the record's generations, older
  // first, in file order. Every line must parse.
  std::map<std::string, std::vector<long>> Numbers() const {
    std::map<std::string, std::vector<long>> numbers;
    for (const std::string& file : {older_, record_}) {
      if (!std::filesystem::is_regular_file(file)) continue;
      for (const std::string& line : testing_support::RecordLines(file)) {
        EXPECT_NE(line[0], '!') << file << ": " << line;
      }
      for (const mivocheck::RecordLine& line : testing_support::ParsedRecord(file)) {
        EXPECT_EQ(line.kind, kRecordProductCode);
        numbers[Narrow(line.package.c_str())].push_back(
            std::stol(Narrow(line.fields[0].text.c_str())));
      }
    }
    return numbers;
  }

  // Lines 0 to `count` - 1, each once, in order.
  static std::vector<long> Sequence(long count) {
    std::vector<long> numbers;
    for (long n = 0; n < count; ++n) numbers.push_back(n);
    return numbers;
  }

  // The folder as the run names it: drive Z:, backslashes.
  std::u16string WindowsFolder() const {
    std::u16string path = u"Z:" + Widen(folder_.string());
    std::replace(path.begin(), path.end(), u'/', u'\\');
    return path;
  }

  std::filesystem::path folder_;
  std::string record_;
  std::string older_;
  long earlier_last_ = 0;
  std::vector<pid_t> children_;
};

// Rounds of runs started together against a record just below its limit:
// three write numbered lines, three more write one line each, and a run of the
// earlier release appends without a lock, holding the record without sharing
// delete, so that some runs find the record full while others append and the
// rename cannot always be had. Every line of every run, and every line of the
// record before them, is in the generations once, in its run's order, and
// every line parses.
TEST_F(RecordShareTest, RunsThatAppendLoseNoLineToANewGeneration) {
  const int kRounds = 12, kWriters = 3, kLines = 300, kShort = 3, kPrevious = 300;
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    WriteEarlier(kRunRecordLimit - 48 * 1024);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    for (int w = 0; w < kWriters; ++w) {
      StartWriter(gate, u"writer" + Widen(std::to_string(w)) + u".msi", kLines);
    }
    for (int c = 0; c < kShort; ++c) {
      StartWriter(gate, u"short" + Widen(std::to_string(c)) + u".msi", 1);
    }
    StartEarlierReleaseWriter(gate, kPrevious);
    close(gate[0]);
    close(gate[1]);
    for (pid_t child : children_) {
      int status = 0;
      waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    children_.clear();

    std::map<std::string, std::vector<long>> numbers = Numbers();
    EXPECT_EQ(numbers["earlier.msi"], Sequence(earlier_last_ + 1));
    EXPECT_EQ(numbers["previous.msi"], Sequence(kPrevious));
    for (int w = 0; w < kWriters + kShort; ++w) {
      const bool writer = w < kWriters;
      const std::string name =
          (writer ? "writer" : "short") + std::to_string(writer ? w : w - kWriters) + ".msi";
      EXPECT_EQ(numbers[name], Sequence(writer ? kLines : 1)) << name;
    }
    // With the earlier release gone, the next line finds the record whole.
    {
      RunRecord record;
      record.Open(WindowsFolder().c_str());
      record.SetEntry(u"after.msi");
      record.ProductCode(u"0");
    }
    EXPECT_LE(std::filesystem::file_size(record_), kRunRecordLimit);
  }
}

// A run ends (is killed, loses power) at each file call in turn of a line that
// begins a new generation. The next run's line then follows, and the
// generations hold every line of the record before, once each, the next
// run's line, and at most the killed run's line.
TEST_F(RecordShareTest, ARunEndedAtAnyPointLosesNoLine) {
  for (int call = 1;; ++call) {
    SCOPED_TRACE("the run ends at its file call " + std::to_string(call));
    ASSERT_LT(call, 20) << "the line was never written";
    WriteEarlier(kRunRecordLimit - 100);
    const int ended = InProcess([&] {
      host::ExitAtFileCall(call);
      RunRecord record;
      record.Open(WindowsFolder().c_str());
      record.SetEntry(u"ending.msi");
      record.ProductCode(u"0");
    });
    ASSERT_TRUE(ended == 0 || ended == 3) << ended;
    // The run ended in the write of its own line, which nothing can make
    // whole: every point before it was tried.
    std::ifstream file(record_, std::ios::binary);
    const std::string current((std::istreambuf_iterator<char>(file)), {});
    if (!current.empty() && current.back() != '\n') break;
    {
      RunRecord record;
      record.Open(WindowsFolder().c_str());
      record.SetEntry(u"next.msi");
      record.ProductCode(u"0");
    }
    std::map<std::string, std::vector<long>> numbers = Numbers();
    EXPECT_EQ(numbers["earlier.msi"], Sequence(earlier_last_ + 1));
    EXPECT_LE(numbers["ending.msi"].size(), 1u);
    EXPECT_EQ(numbers["next.msi"], std::vector<long>{0});
    EXPECT_LE(std::filesystem::file_size(record_), kRunRecordLimit);
    if (HasFailure() || ended == 3) break;
  }
}

// Files that any program can plant beside the record, or that a torn write
// left there: the journal of the earlier release's cut (naming a span inside
// the record, its last byte, or cut short) is nothing to a run, and an older
// generation that is a folder or not a record at all costs no line.
TEST_F(RecordShareTest, FilesBesideTheRecordCostNoLine) {
  struct Row {
    const char* name;
    size_t record_bytes;
    std::function<void(const std::string& record, size_t size)> plant;
  };
  // The earlier release's journal: the kept span's first byte and the
  // record's size, as 64-bit numbers, cut to `bytes`.
  auto journal = [](unsigned long long from, unsigned long long end, size_t bytes) {
    return [=](const std::string& record, size_t) {
      const unsigned long long span[] = {from, end};
      std::ofstream(record + ".cut", std::ios::binary)
          .write(reinterpret_cast<const char*>(span), static_cast<std::streamsize>(bytes));
    };
  };
  const size_t small = 20 * 1024, full = kRunRecordLimit - 100;
  const Row rows[] = {
      {"a journal of the record's last byte", small,
       [](const std::string& record, size_t size) {
         const unsigned long long span[] = {size - 1, 0};
         std::ofstream(record + ".cut", std::ios::binary)
             .write(reinterpret_cast<const char*>(span), sizeof span);
       }},
      {"a journal of a span inside the record", small,
       [](const std::string& record, size_t size) {
         const unsigned long long span[] = {size / 2 + 17, size};
         std::ofstream(record + ".cut", std::ios::binary)
             .write(reinterpret_cast<const char*>(span), sizeof span);
       }},
      {"a torn journal", small, journal(5, 9, 7)},
      {"a journal beside a full record", full, journal(300, 0, 16)},
      {"an older generation that is a folder", full,
       [](const std::string& record, size_t) {
         std::filesystem::create_directories(record + ".1/inside");
       }},
      {"an older generation that is no record", full,
       [](const std::string& record, size_t) {
         std::ofstream(record + ".1", std::ios::binary) << std::string(100, '\x7f');
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(older_);
    std::filesystem::remove(record_ + ".cut");
    WriteEarlier(row.record_bytes);
    row.plant(record_, std::filesystem::file_size(record_));
    for (const char16_t* name : {u"first.msi", u"second.msi"}) {
      RunRecord record;
      record.Open(WindowsFolder().c_str());
      record.SetEntry(name);
      record.ProductCode(u"0");
      record.ProductCode(u"1");
    }
    // The earlier lines in the generation that is a record.
    std::map<std::string, std::vector<long>> numbers;
    const bool rotated =
        std::filesystem::is_regular_file(older_) && std::filesystem::file_size(older_) > 100;
    for (const std::string& file : {older_, record_}) {
      if (file == older_ && !rotated) continue;
      for (const mivocheck::RecordLine& line : testing_support::ParsedRecord(file)) {
        numbers[Narrow(line.package.c_str())].push_back(
            std::stol(Narrow(line.fields[0].text.c_str())));
      }
      for (const std::string& line : testing_support::RecordLines(file)) {
        EXPECT_NE(line[0], '!') << file << ": " << line;
      }
    }
    EXPECT_EQ(numbers["earlier.msi"], Sequence(earlier_last_ + 1));
    EXPECT_EQ(numbers["first.msi"], Sequence(2));
    EXPECT_EQ(numbers["second.msi"], Sequence(2));
  }
  std::filesystem::remove_all(older_);
}

// mivocheck --result reads the older generation, and a run begins a new one
// before it reads the current: the newest run, which began in the file just
// renamed and ends in the new one, is read whole, by reading again. (A reader
// of the current file alone finds no start line; one that kept its first read
// finds the older run.)
TEST_F(RecordShareTest, TheResultReadsARecordAgainWhenAGenerationBeginsUnderIt) {
  const std::string prefix = "2026-12-09 10:00:00Z [";
  const std::string start =
      "] start: mivoboot 1.0.0.0, executable \"C:\\s\\mivoboot.exe\", arguments \"\", user "
      "default LCID 1031, temporary folder \"C:\\t\"\r\n";
  const std::string end = "] end: 0 installed, 0 removed, 0 left alone, 5 ms\r\n";
  std::ofstream(older_, std::ios::binary | std::ios::trunc)
      << prefix + "7" + start + prefix + "7" + end;
  std::ofstream(record_, std::ios::binary | std::ios::trunc)
      << prefix + "8" + start + prefix + "8" +
             "] mivo.msi: installation: \"C:\\s\\mivo.msi\" (log \"C:\\t\\i.log\"): 1603 "
             "(ERROR_INSTALL_FAILURE)\r\n";
  const std::u16string path = WindowsFolder() + u"\\MIVOSetup.log";
  host::BeforeFileOpen(path, [&] {
    // The first open of the current generation: the run renames it and
    // writes its end line to a new one.
    std::filesystem::rename(record_, older_);
    std::ofstream(record_, std::ios::binary) << prefix + "8" + end;
  });
  const mivocheck::RecordResult result = mivocheck::ResultOfRecord(path.c_str());
  EXPECT_EQ(result.code, 1603u) << result.cause;
  EXPECT_EQ(result.cause, "mivo.msi installation failed");
}

}  // namespace
