// login_storm: a simulation of one machine with many sessions whose setup runs
// compete for its one Windows Installer, in virtual time. Each run installs its
// packages in order, as RunSetup does; every wait after a 1618 and the decision
// to give up come from the program's own functions (setup/wait_policy.h),
// seeded from a process id and a tick count as in mivoboot.exe.
//
//   login_storm [--sessions N] [--packages K] [--install-s D] [--spread-s S]
//               [--inspect-ms I] [--seeds M]
//               [--policy chosen|fixed|FIRST_MS:LONGEST_MS:PERCENT] [--check]
//
// The machine runs one installation at a time; every call that finds it busy
// gets 1618 at once, and an installation holds it for D seconds. The runs start
// together or at random within the first S seconds. A run makes its first call
// I ms (100 unless told) after its start and each next one I ms after an
// installation ends: the time it takes to inspect the next package. Each run is
// of its own session, so none waits for another at the setup's lock. The
// policy is the program's (chosen), the fixed doubling it had before (fixed),
// or steps given as numbers. The case is run with the seeds 1 to M, the same
// for every policy, and one line gives the mean over them:
//
//   sessions=N packages=K install_s=D start=together|spread_S complete=P%
//   p95_s=T busy=U% calls_per_run=C gave_up=G median_s=M installed_per_run=I
//   policy=NAME
//
// complete: the share of runs that installed every package; p95_s and
// median_s: the time from a run's start to its end; busy: how much of the time
// during which some run waited the installer was installing ("-": no run
// waited); calls_per_run: installer calls, 1618 answers included; gave_up: runs
// that met 1618 with their waiting time spent; installed_per_run: packages
// installed. With --check, every run is also held to the rules (no wait past
// the budget, a run alone never waits) and the exit code is 1 when one is
// broken.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "setup/wait_policy.h"

namespace {

struct StormCase {
  int sessions = 10;
  int packages = 3;
  DWORD install_ms = 10000;
  DWORD spread_ms = 0;     // 0: every run starts at once
  DWORD inspect_ms = 100;  // from a run's start or an installation's end to the next call
};

struct SimulatedRun {
  DWORD start = 0;
  WaitBudget budget;
  WaitRandom random{0};
  int package = 0;  // the package being installed
  int step = 0;     // the try of its call, from 0
  int installed = 0;
  int left = 0;  // packages left for the next run
  int calls = 0;
  int waits = 0;
  DWORD waited = 0;
  DWORD end = 0;
};

// What one seed gave.
struct SeedResult {
  std::vector<SimulatedRun> runs;
  double waiting_ms = 0;       // time during which some run waited
  double busy_waiting_ms = 0;  // of that, time during which the installer installed
};

struct Event {
  DWORD time;
  unsigned long order;  // events of one time in the order they were made
  int run;
  bool installed;  // the run's installation ends; otherwise the run calls
  bool operator>(const Event& other) const {
    return time != other.time ? time > other.time : order > other.order;
  }
};

SeedResult Simulate(const StormCase& storm, const BusyWaitSteps& steps, unsigned seed) {
  std::mt19937 rng(seed);
  SeedResult result;
  result.runs.resize(storm.sessions);
  // The machine's tick count when the storm begins, and process ids as
  // Windows hands them out: distinct multiples of 4.
  const DWORD boot_ticks = static_cast<DWORD>(rng());
  std::vector<DWORD> ids;
  while (static_cast<int>(ids.size()) < storm.sessions) {
    DWORD id = 4 * (1000 + rng() % 15000);
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
  unsigned long order = 0;
  for (int i = 0; i < storm.sessions; ++i) {
    SimulatedRun& run = result.runs[i];
    run.start = storm.spread_ms ? static_cast<DWORD>(rng() % storm.spread_ms) : 0;
    run.random = WaitRandom(WaitSeed(ids[i], boot_ticks + run.start));
    events.push({run.start + storm.inspect_ms, order++, i, false});
  }

  DWORD installer_free_at = 0;
  int waiting = 0;  // runs in a wait
  DWORD now = 0;
  while (!events.empty()) {
    Event event = events.top();
    events.pop();
    DWORD elapsed = event.time - now;
    if (waiting > 0) {
      result.waiting_ms += elapsed;
      if (installer_free_at > now) result.busy_waiting_ms += elapsed;
    }
    now = event.time;
    SimulatedRun& run = result.runs[event.run];
    bool next_package = false;
    if (event.installed) {
      ++run.installed;
      next_package = true;
    } else {
      if (run.step > 0) --waiting;
      ++run.calls;
      if (now >= installer_free_at) {
        installer_free_at = now + storm.install_ms;
        events.push({installer_free_at, order++, event.run, true});
        continue;
      }
      // 1618, as CallInstaller meets it.
      DWORD wait = BusyWait(steps, run.step, run.budget.Left(), run.random);
      if (wait == 0) {
        ++run.left;
        next_package = true;
      } else {
        run.budget.Spend(wait);
        run.waited += wait;
        ++run.waits;
        ++run.step;
        ++waiting;
        events.push({now + wait, order++, event.run, false});
      }
    }
    if (next_package) {
      run.step = 0;
      if (++run.package < storm.packages) {
        events.push({now + storm.inspect_ms, order++, event.run, false});
      } else {
        run.end = now;
      }
    }
  }
  return result;
}

// The rules every simulated run must keep; prints each one broken.
bool Keeps(const StormCase& storm, const SeedResult& result, unsigned seed) {
  bool kept = true;
  for (size_t i = 0; i < result.runs.size(); ++i) {
    const SimulatedRun& run = result.runs[i];
    auto broken = [&](const char* rule) {
      fprintf(stderr, "seed %u, run %zu: %s (waited %u ms in %d waits, %d calls)\n", seed, i, rule,
              run.waited, run.waits, run.calls);
      kept = false;
    };
    if (run.waited > kWaitBudget) broken("waited past its budget");
    if (run.left > 0 && run.waited != kWaitBudget) broken("gave up before its budget was spent");
    if (storm.sessions == 1 && run.waits > 0) broken("waited while alone on the machine");
    if (run.installed + run.left != storm.packages) broken("did not try every package");
  }
  return kept;
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(share * values.size() + 0.999999);
  return values[std::max<size_t>(rank, 1) - 1];
}

bool ParsePolicy(const char* text, BusyWaitSteps& steps) {
  if (strcmp(text, "chosen") == 0) {
    steps = kBusyWaitSteps;
    return true;
  }
  if (strcmp(text, "fixed") == 0) {
    steps = kFixedDoublingWaitSteps;
    return true;
  }
  unsigned first, longest, percent;
  if (sscanf(text, "%u:%u:%u", &first, &longest, &percent) != 3 || first == 0 || longest < first ||
      percent > 100) {
    return false;
  }
  steps = {first, longest, percent};
  return true;
}

int Usage() {
  fprintf(stderr,
          "usage: login_storm [--sessions N] [--packages K] [--install-s D] [--spread-s S]\n"
          "                   [--inspect-ms I] [--seeds M]\n"
          "                   [--policy chosen|fixed|FIRST_MS:LONGEST_MS:PERCENT] [--check]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  StormCase storm;
  int seeds = 20;
  const char* policy = "chosen";
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--check") {
      check = true;
      continue;
    }
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    int number = atoi(value);
    if (option == "--policy") {
      policy = value;
    } else if (option == "--sessions" && number > 0) {
      storm.sessions = number;
    } else if (option == "--packages" && number > 0) {
      storm.packages = number;
    } else if (option == "--install-s" && number > 0) {
      storm.install_ms = number * 1000u;
    } else if (option == "--spread-s" && number >= 0) {
      storm.spread_ms = number * 1000u;
    } else if (option == "--inspect-ms" && number >= 0) {
      storm.inspect_ms = number;
    } else if (option == "--seeds" && number > 0) {
      seeds = number;
    } else {
      return Usage();
    }
  }
  BusyWaitSteps steps;
  if (!ParsePolicy(policy, steps)) return Usage();

  double complete = 0, p95 = 0, median = 0, busy = 0, calls = 0, gave_up = 0, installed = 0;
  int seeds_with_waits = 0;
  bool kept = true;
  for (int seed = 1; seed <= seeds; ++seed) {
    SeedResult result = Simulate(storm, steps, static_cast<unsigned>(seed));
    if (check) kept = Keeps(storm, result, static_cast<unsigned>(seed)) && kept;
    std::vector<double> ends;
    int done = 0, calls_made = 0, given_up = 0, installations = 0;
    for (const SimulatedRun& run : result.runs) {
      ends.push_back((run.end - run.start) / 1000.0);
      done += run.installed == storm.packages;
      calls_made += run.calls;
      given_up += run.left > 0;
      installations += run.installed;
    }
    complete += 100.0 * done / storm.sessions;
    median += Percentile(ends, 0.5);
    p95 += Percentile(ends, 0.95);
    calls += static_cast<double>(calls_made) / storm.sessions;
    gave_up += given_up;
    installed += static_cast<double>(installations) / storm.sessions;
    if (result.waiting_ms > 0) {
      busy += 100.0 * result.busy_waiting_ms / result.waiting_ms;
      ++seeds_with_waits;
    }
  }
  std::string start =
      storm.spread_ms ? "spread_" + std::to_string(storm.spread_ms / 1000) : "together";
  std::string busy_text =
      seeds_with_waits ? std::to_string(static_cast<int>(busy / seeds_with_waits + 0.5)) + "%"
                       : "-";
  printf(
      "sessions=%d packages=%d install_s=%u start=%s complete=%.1f%% p95_s=%.0f busy=%s "
      "calls_per_run=%.1f gave_up=%.1f median_s=%.0f installed_per_run=%.2f policy=%s\n",
      storm.sessions, storm.packages, storm.install_ms / 1000, start.c_str(), complete / seeds,
      p95 / seeds, busy_text.c_str(), calls / seeds, gave_up / seeds, median / seeds,
      installed / seeds, policy);
  return kept ? 0 : 1;
}
