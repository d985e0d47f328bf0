#include "setup/wait_policy.h"

const BusyWaitSteps kBusyWaitSteps = {2000, 10000, 50};
const BusyWaitSteps kFixedDoublingWaitSteps = {2000, 60000, 0};

DWORD WaitSeed(DWORD process_id, DWORD ticks) {
  // Process ids are multiples of 4 and close together; a multiplicative mix
  // spreads them over the whole range before the ticks are folded in.
  DWORD seed = process_id * 0x9E3779B1u ^ ticks;
  seed ^= seed >> 16;
  seed *= 0x85EBCA6Bu;
  seed ^= seed >> 13;
  seed *= 0xC2B2AE35u;
  seed ^= seed >> 16;
  return seed;
}

DWORD BusyWait(const BusyWaitSteps& steps, int step, DWORD budget_left, WaitRandom& random) {
  DWORD wait = steps.first;
  for (int i = 0; i < step && wait < steps.longest; ++i) wait *= 2;
  if (wait > steps.longest) wait = steps.longest;
  wait -= random.UpTo(wait / 100 * steps.random_percent);
  if (wait == 0) wait = 1;
  return wait < budget_left ? wait : budget_left;
}
