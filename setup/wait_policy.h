// How a run waits: the waiting time it has in all, and the waits before it
// tries the Windows Installer again while the installer is busy with another
// installation (1618).
//
// The installer runs one installation at a time for the whole machine. On a
// host with many sessions, the runs of every session that start at one logon
// minute compete for it. The waits are short, so that the installer does not
// stand idle long after an installation ends, and each has a random part,
// drawn from a source seeded per process, so that runs that started together
// do not wake together. mivoboot.exe and the login-storm simulation
// (tests/sim) decide every wait with these functions.
#ifndef SETUP_WAIT_POLICY_H
#define SETUP_WAIT_POLICY_H

#include "platform/platform.h"

// What one run may spend on waiting in all: for another run of the same
// session and for a busy installer together.
const DWORD kWaitBudget = 5 * 60 * 1000;

// The waiting time left to a run.
class WaitBudget {
 public:
  DWORD Left() const { return left_; }
  void Spend(DWORD milliseconds) { left_ -= milliseconds < left_ ? milliseconds : left_; }

 private:
  DWORD left_ = kWaitBudget;
};

// A small random source (xorshift): the same seed gives the same numbers.
class WaitRandom {
 public:
  explicit WaitRandom(DWORD seed) : state_(seed ? seed : 0x9E3779B9u) {}
  // A number from 0 to `most`, both included.
  DWORD UpTo(DWORD most) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    // Scaled by multiplication, not by a remainder: no division is needed.
    return static_cast<DWORD>((static_cast<unsigned long long>(state_) * (most + 1ull)) >> 32);
  }

 private:
  DWORD state_;
};

// The seed of a run's random source, from its process id and the tick count
// at its start. Runs of different sessions that start in the same
// millisecond still differ by their process id.
DWORD WaitSeed(DWORD process_id, DWORD ticks);
// The seed of this process, from GetCurrentProcessId and GetTickCount.
inline DWORD ProcessWaitSeed() { return WaitSeed(GetCurrentProcessId(), GetTickCount()); }

// The steps of the waits for a busy installer. Step 0 is `first`; each later
// step doubles, up to `longest`. A wait is its step less a random part of up
// to `random_percent` of the step.
struct BusyWaitSteps {
  DWORD first;
  DWORD longest;
  DWORD random_percent;
};

// The waits of the program: steps of 2 s, doubling up to 10 s, each wait less
// up to half its step: 1-2 s, 2-4 s, 4-8 s, then 5-10 s.
extern const BusyWaitSteps kBusyWaitSteps;
// The waits the program had before: 2 s doubling to 60 s, the same in every
// run. Kept for the simulation, which compares them on the same seeds.
extern const BusyWaitSteps kFixedDoublingWaitSteps;

// The wait before a call is tried again after its try number `step` (0 for
// the first) answered 1618, with `budget_left` of the run's waiting time
// left: never more than the budget left, never 0 while some is left. 0 means
// the budget is spent: the call is not tried again.
DWORD BusyWait(const BusyWaitSteps& steps, int step, DWORD budget_left, WaitRandom& random);

#endif  // SETUP_WAIT_POLICY_H
