// The whole run in random worlds, against a model of the decision table that
// is written here apart from the program. A world is drawn from a seed: the
// command line and the user's language; TMP, TEMP and LOCALAPPDATA, each
// usable, missing, relative, with trailing backslashes, unwritable or unset;
// for each planned package whether its
// product is installed, at which version, from this package or another, with
// its cached package present or gone, a related product beside it, a package
// that schedules a restart or runs ForceReboot, installer answers (1603, 1618,
// 1622, 1638, 3010) forced on chosen calls, logs that cannot be created, and a
// cached package that another process deletes between the inspection and the
// removal. The model gives the
// temporary folder, the installer calls in order with their arguments (logs
// there, or off; a call that cannot create its log made once more without
// one) and each package's decision line; the run must match it, count its end line from the answers
// it got, leave no handle open, never restart the machine, never bring up a
// source dialog but in the race of the deleted cached package, and write only record lines that
// parse.
//
// MIVO_WORLDS=N runs N worlds (default kWorlds); MIVO_WORLD_SEED=S runs only
// the world of seed S. A failure names its seed.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/msi_calls.h"
#include "platform/host/msi_control.h"
#include "setup/run.h"
#include "tests/support/fake_products.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::Widen;

const int kWorlds = 300;
using testing_support::kInstallProperties;
using testing_support::kRemoveProperties;
const char kPackageVersion[] = "7.1.0";
const char kPackageKey[] = "7.1.0.3";
const char kOldKey[] = "7.0.0.1";

// A small generator of its own, so that a seed draws the same world on every
// standard library.
class Draw {
 public:
  explicit Draw(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Below(uint32_t n) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ % n);
  }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(static_cast<uint32_t>(items.size()))];
  }

 private:
  uint64_t state_;
};

// One planned package and what the world holds of its product.
struct Entry {
  std::string name;     // "mivo.msi", "mivo_1036.msi"
  std::string tag;      // "", "_1036": the part of the log names
  std::string code;     // its ProductCode
  std::string upgrade;  // its UpgradeCode
  std::string package;  // the host file the run folder links to it
  std::string old_key;  // the same product with the older key file
  bool installed = false;
  std::string installed_version;
  bool related = true;  // registered under the package's upgrade code
  bool from_this_package = false;
  bool cache_present = false;
  bool log_blocked = false;  // its installation log cannot be created
};

std::string Guid(const char* tail) {
  return std::string("{5E7A0C11-0001-4000-8000-0000000000") + tail + "}";
}

// Equal dotted versions: the same number of components, each of the same
// numeric value.
bool SameVersion(const std::string& left, const std::string& right) {
  auto parts = [](const std::string& text) {
    std::vector<unsigned long> out;
    size_t start = 0;
    for (;;) {
      size_t dot = text.find('.', start);
      out.push_back(strtoul(text.substr(start, dot - start).c_str(), nullptr, 10));
      if (dot == std::string::npos) return out;
      start = dot + 1;
    }
  };
  return parts(left) == parts(right);
}

// The model: what the decision table makes of an entry.
enum class Decision { kInstall, kRemoveFirst, kSkip };

Decision Decide(const Entry& entry, std::string& line) {
  if (!entry.installed) {
    line = "decision: not installed, so install";
    return Decision::kInstall;
  }
  if (!entry.related) {
    line =
        "decision: installed, but not among the related products of its upgrade code, so "
        "install";
    return Decision::kInstall;
  }
  if (!SameVersion(entry.installed_version, kPackageVersion)) {
    line = "decision: installed version \"" + entry.installed_version + "\" differs from \"" +
           kPackageVersion + "\", so install";
    return Decision::kInstall;
  }
  if (!entry.cache_present) {
    line = "decision: cached package or its key file unreadable, so install";
    return Decision::kInstall;
  }
  if (!entry.from_this_package) {
    line = std::string("decision: cached key file \"") + kOldKey + "\" older than \"" +
           kPackageKey + "\", so remove first and install";
    return Decision::kRemoveFirst;
  }
  line = "decision: current, so leave alone";
  return Decision::kSkip;
}

class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = std::filesystem::path(SETUP_SCRATCH_DIR) / "worlds";
    packages_ = SETUP_PACKAGE_DIR;
  }
  void TearDown() override {
    host::ResetMsi();
    host::ResetProcessState();
  }

  // Draws world `seed`, runs the program in it and checks it against the model.
  void RunWorld(uint64_t seed);

  std::filesystem::path scratch_;
  std::string packages_;
};

void WorldTest::RunWorld(uint64_t seed) {
  Draw draw(seed);
  host::ResetProcessState();
  host::ResetMsi();
  std::filesystem::remove_all(scratch_);
  for (const char* folder : {"run", "cache", "tmp", "temp", "local/Temp", "denied"}) {
    std::filesystem::create_directories(scratch_ / folder);
  }
  const std::string cache = (scratch_ / "cache").string();
  const std::string folder = scratch_.string() + "/run\\";
  host::SetModuleFileName(Widen(folder + "mivoboot.exe"));
  host::SetPackageCacheFolder(cache);

  // TMP, TEMP and LOCALAPPDATA. The model's temporary folder is the first
  // usable of TMP, TEMP and LOCALAPPDATA's Temp: a full path of an existing
  // folder in which the record can be written, without trailing backslashes.
  // It is given as the host folder of its files; empty: none.
  auto windows = [&](const std::string& name) {
    std::string path = "Z:" + (scratch_ / name).string();
    for (char& c : path) c = c == '/' ? '\\' : c;
    return path;
  };
  host::DenyWritesIn(Widen(windows("denied")), true);
  struct Candidate {
    std::string value;  // "": unset
    std::string host;   // the host folder when usable, else ""
  };
  auto candidate = [&](const std::string& usable_name) {
    switch (draw.Below(8)) {
      case 0:
        return Candidate{"", ""};
      case 1:
        return Candidate{windows("missing"), ""};
      case 2:
        return Candidate{"tmp", ""};
      case 3:
        return Candidate{windows("denied"), ""};
      case 4:
        return Candidate{windows(usable_name) + "\\\\", (scratch_ / usable_name).string()};
      default:
        return Candidate{windows(usable_name), (scratch_ / usable_name).string()};
    }
  };
  Candidate tmp_var = candidate("tmp"), temp_var = candidate("temp");
  Candidate local_var = draw.OneIn(4) ? Candidate{"", ""} : Candidate{windows("local"), ""};
  if (!local_var.value.empty()) local_var.host = (scratch_ / "local" / "Temp").string();
  host::SetEnvironmentVariable(u"TMP",
                               tmp_var.value.empty() ? nullptr : Widen(tmp_var.value).c_str());
  host::SetEnvironmentVariable(u"TEMP",
                               temp_var.value.empty() ? nullptr : Widen(temp_var.value).c_str());
  host::SetEnvironmentVariable(u"LOCALAPPDATA",
                               local_var.value.empty() ? nullptr : Widen(local_var.value).c_str());
  std::string tmp;  // the host folder the run must use
  for (const Candidate* c : {&tmp_var, &temp_var, &local_var}) {
    if (!c->host.empty()) {
      tmp = c->host;
      break;
    }
  }
  // Its Windows form, as the logs name it.
  std::string tmp_windows;
  if (tmp == (scratch_ / "tmp").string()) tmp_windows = windows("tmp");
  if (tmp == (scratch_ / "temp").string()) tmp_windows = windows("temp");
  if (tmp == (scratch_ / "local" / "Temp").string()) tmp_windows = windows("local") + "\\Temp";

  // The plan: the core, the command line's language, the user's language.
  const bool with_argument = draw.OneIn(2);
  const int lcid = draw.OneIn(2) ? 1031 : 1033;
  host::SetUserDefaultLCID(static_cast<LCID>(lcid));
  std::vector<Entry> entries;
  auto add_entry = [&](int language, const char* tail) {
    Entry entry;
    std::string lang = language ? std::to_string(language) : "";
    entry.name = language ? "mivo_" + lang + ".msi" : "mivo.msi";
    entry.tag = language ? "_" + lang : "";
    entry.code = Guid((std::string("C") + tail).c_str());
    entry.upgrade = Guid((std::string("A") + tail).c_str());
    entry.package = packages_ + "/run/" + entry.name;
    entry.old_key = packages_ + (language ? "/cached/mivo_" + lang + "_oldkey.msi"
                                          : std::string("/cached/core_oldkey.msi"));
    entries.push_back(entry);
  };
  add_entry(0, "1");
  if (with_argument) add_entry(1036, "4");
  add_entry(lcid, lcid == 1031 ? "2" : "3");
  // A core package that schedules a restart or runs ForceReboot, and a cached
  // core that schedules one.
  const uint32_t core_kind = draw.Below(6);
  if (core_kind < 2) entries[0].package = packages_ + "/reboot/mivo.msi";
  if (core_kind == 2) entries[0].package = packages_ + "/reboot/force/mivo.msi";
  if (draw.OneIn(3)) entries[0].old_key = packages_ + "/reboot/core_oldkey.msi";

  int copies = 0;
  std::vector<std::string> copy_of_entry;  // each entry's cached package, "" for none
  auto cached_copy = [&](const std::string& from) {
    std::string to = cache + "/world" + std::to_string(++copies) + ".msi";
    std::filesystem::copy_file(from, to);
    return to;
  };
  for (Entry& entry : entries) {
    for (const std::string& name : {"run/" + entry.name, "run\\" + entry.name}) {
      std::filesystem::create_symlink(entry.package, scratch_ / name);
    }
    // Another product of the same upgrade code, before or after this one.
    bool neighbour = draw.OneIn(4);
    bool neighbour_first = draw.OneIn(2);
    host::FakeProduct other = testing_support::InstalledProduct(
        Widen(Guid(("9" + entry.code.substr(36, 1)).c_str())), Widen(entry.upgrade),
        Widen(kPackageVersion), Widen(cache + "/neighbour.msi"));
    other.package_code = u"{5E7A0C11-0001-4000-8000-00000000FFFF}";
    if (neighbour && neighbour_first) host::AddProduct(other);

    entry.installed = !draw.OneIn(3);
    if (entry.installed) {
      entry.installed_version = draw.Pick(
          std::vector<std::string>{kPackageVersion, kPackageVersion, "7.01.0", "7.0.0", "7.1"});
      entry.related = !draw.OneIn(6);
      entry.from_this_package = entry.installed_version == kPackageVersion && draw.OneIn(2);
      entry.cache_present = !draw.OneIn(4);
      std::string origin = entry.from_this_package ? entry.package : entry.old_key;
      std::string copy = cached_copy(origin);
      copy_of_entry.push_back(copy);
      host::FakeProduct product = testing_support::InstalledProduct(
          Widen(entry.code), Widen(entry.related ? entry.upgrade : Guid("EE")),
          Widen(entry.installed_version), Widen(copy));
      if (entry.from_this_package) product.source_package = Widen(folder + entry.name);
      // The product's package code is read from its cached package, which
      // may then be gone.
      host::AddProduct(product);
      if (!entry.cache_present) std::filesystem::remove(copy);
    } else {
      copy_of_entry.push_back("");
    }
    if (neighbour && !neighbour_first) host::AddProduct(other);
    entry.log_blocked = !tmp.empty() && draw.OneIn(8);
    if (entry.log_blocked) {
      std::filesystem::create_directories(tmp + "/MIVO" + entry.tag + "Install.log");
    }
  }
  // Answers forced on chosen calls; at most two busy answers, so that the
  // run's waiting time is never spent.
  std::map<std::pair<std::string, int>, UINT> forced;
  int busy = 0;
  for (const char* function : {"MsiInstallProductW", "MsiConfigureProductExW"}) {
    for (int nth = 1; nth <= 8; ++nth) {
      if (!draw.OneIn(4)) continue;
      UINT code = draw.Pick(std::vector<UINT>{1603, 1618, 1622, 1638, 3010});
      if (code == 1618 && ++busy > 2) continue;
      forced[{function, nth}] = code;
      host::FailCall(function, nth, code);
    }
  }

  // The race: another process deletes the cached package of the first
  // product to be removed just before its removal.
  std::string raced;  // the product code whose cached package goes
  if (draw.OneIn(5)) {
    for (size_t i = 0; i < entries.size() && raced.empty(); ++i) {
      std::string unused;
      if (Decide(entries[i], unused) != Decision::kRemoveFirst) continue;
      raced = entries[i].code;
      const std::string copy = copy_of_entry[i];
      host::BeforeCall("MsiConfigureProductExW", 1, [copy] { std::filesystem::remove(copy); });
    }
  }

  RunSetup(with_argument ? u"1036" : u"");

  // The model's calls and decision lines.
  std::vector<std::string> expected_calls = {"MsiSetInternalUI 258|(null)"};
  std::vector<std::string> expected_decisions;
  std::map<std::string, int> nth;
  // One removal or installation: the log, the call and its repeats while the
  // installer is busy, and once more without a log when the log cannot be
  // created (a log named by a folder, or a forced 1622).
  auto call = [&](const char* function, const std::string& log_name, bool log_blocked,
                  const std::string& args) {
    bool log = !tmp.empty();
    for (;;) {
      expected_calls.push_back(log ? "MsiEnableLogW 4096|" + tmp_windows + "\\" + log_name + "|0"
                                   : "MsiEnableLogW 0|(null)|0");
      UINT answer = 0;
      do {
        expected_calls.push_back(std::string(function) + " " + args);
        auto forced_answer = forced.find({function, ++nth[function]});
        answer = forced_answer != forced.end() ? forced_answer->second
                 : log && log_blocked          ? 1622
                                               : 0;
      } while (answer == 1618);
      if (answer != 1622 || !log) break;
      log = false;
    }
  };
  for (const Entry& entry : entries) {
    std::string line;
    Decision decision = Decide(entry, line);
    expected_decisions.push_back(entry.name + ": " + line);
    if (decision == Decision::kRemoveFirst) {
      call("MsiConfigureProductExW", "MIVO" + entry.tag + "Remove.log", false,
           entry.code + "|0|2|" + kRemoveProperties);
    }
    if (decision != Decision::kSkip) {
      call("MsiInstallProductW", "MIVO" + entry.tag + "Install.log", entry.log_blocked,
           folder + entry.name + "|" + kInstallProperties);
    }
  }

  std::vector<std::string> calls;
  for (const host::MsiCall& made : host::MsiCalls()) {
    if (made.function != "MsiSetInternalUI" && made.function != "MsiEnableLogW" &&
        made.function != "MsiConfigureProductExW" && made.function != "MsiInstallProductW") {
      continue;
    }
    std::string line = made.function;
    for (size_t i = 0; i < made.args.size(); ++i) {
      line += (i ? "|" : " ") + Narrow(made.args[i].c_str());
    }
    calls.push_back(line);
  }
  EXPECT_EQ(calls, expected_calls);

  // Without a usable folder there is no record; none may appear anywhere.
  std::vector<std::string> record =
      testing_support::RecordLines((tmp.empty() ? scratch_.string() : tmp) + "/MIVOSetup.log");
  for (const char* name : {"tmp", "temp", "local/Temp", "denied"}) {
    if ((scratch_ / name).string() == tmp) continue;
    EXPECT_FALSE(std::filesystem::exists(scratch_ / name / "MIVOSetup.log")) << name;
  }
  if (tmp.empty()) {
    EXPECT_TRUE(record.empty());
  } else {
    ASSERT_FALSE(record.empty());
    EXPECT_NE(record.front().find("temporary folder \"" + tmp_windows + "\""), std::string::npos)
        << record.front();
  }
  std::vector<std::string> decisions;
  for (const std::string& line : record) {
    if (line.find(": decision: ") != std::string::npos) decisions.push_back(line);
  }
  if (!tmp.empty()) {
    EXPECT_EQ(decisions, expected_decisions);
  }

  // The end line, counted from the answers the installer gave: an operation
  // is a removal or installation call with its repeats after 1618; its last
  // answer counts. The calls are the model's (checked above), in entry order.
  std::vector<UINT> answers;
  const std::vector<host::MsiCall>& made = host::MsiCalls();
  for (size_t i = 0; i < made.size(); ++i) {
    bool operation =
        made[i].function == "MsiConfigureProductExW" || made[i].function == "MsiInstallProductW";
    if (!operation) continue;
    // Made again: after 1618 at once, after 1622 once its log is off.
    size_t again = i + 1;
    if (made[i].result == 1622 && again < made.size() && made[again].function == "MsiEnableLogW") {
      ++again;
    }
    bool repeated = (made[i].result == 1618 || made[i].result == 1622) && again < made.size() &&
                    made[again].function == made[i].function && made[again].args == made[i].args;
    if (!repeated) answers.push_back(made[i].result);
  }
  unsigned installed = 0, removed = 0, left_alone = 0, restarts = 0, failed = 0;
  size_t next = 0;
  auto succeeded = [](UINT result) {
    return result == 0 || result == 3010 || result == 1641 || result == 1604;
  };
  for (const Entry& entry : entries) {
    std::string unused;
    Decision decision = Decide(entry, unused);
    bool entry_failed = false, entry_restart = false;
    auto take = [&](unsigned& count) {
      ASSERT_LT(next, answers.size());
      UINT result = answers[next++];
      if (succeeded(result)) {
        ++count;
      } else {
        entry_failed = true;
      }
      if (result == 3010 || result == 1641 || result == 1604) entry_restart = true;
    };
    if (decision == Decision::kRemoveFirst) take(removed);
    if (decision == Decision::kSkip) {
      ++left_alone;
    } else {
      take(installed);
    }
    failed += entry_failed;
    restarts += entry_restart;
  }
  EXPECT_EQ(next, answers.size());
  std::string end = "end: " + std::to_string(installed) + " installed, " + std::to_string(removed) +
                    " removed, " + std::to_string(left_alone) + " left alone, ";
  if (restarts) end += std::to_string(restarts) + " needing a restart, ";
  if (failed) end += std::to_string(failed) + " failed, ";
  if (!tmp.empty()) {
    EXPECT_EQ(record.back().substr(0, end.size()), end) << record.back();
  }

  EXPECT_TRUE(host::Restarts().empty()) << host::Restarts().front();
  // The run's own decisions never lead to a source dialog: only the race does,
  // once for each removal call of its product that the deletion left without
  // a package, and every one of them was cancelled (1602).
  size_t cancelled = 0;
  for (const host::MsiCall& removal : host::MsiCallsOf("MsiConfigureProductExW")) {
    if (removal.result != 1602) continue;
    ++cancelled;
    EXPECT_EQ(Narrow(removal.args.at(0).c_str()), raced);
  }
  EXPECT_EQ(host::SourceDialogs().size(), cancelled);
  if (raced.empty()) {
    EXPECT_TRUE(host::SourceDialogs().empty()) << host::SourceDialogs().front();
  }
  EXPECT_EQ(host::OpenHandleCount(), 0);
  EXPECT_EQ(host::BadCloseCount(), 0);
  EXPECT_EQ(host::OpenKernelHandleCount(), 0);
}

TEST_F(WorldTest, RandomWorldsFollowTheModel) {
  const char* one = getenv("MIVO_WORLD_SEED");
  const char* count = getenv("MIVO_WORLDS");
  uint64_t first = one ? strtoull(one, nullptr, 10) : 1;
  uint64_t worlds = one ? 1 : count ? strtoull(count, nullptr, 10) : kWorlds;
  int failures = 0;
  for (uint64_t seed = first; seed < first + worlds && failures < 3; ++seed) {
    SCOPED_TRACE("world seed " + std::to_string(seed) +
                 " (replay: MIVO_WORLD_SEED=" + std::to_string(seed) + ")");
    RunWorld(seed);
    if (HasFailure()) ++failures;
  }
}

}  // namespace
