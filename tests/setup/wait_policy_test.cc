// The waits for a busy installer: the bounds of each step, the budget's
// limit, and a random part that differs between runs that start together.
#include "setup/wait_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

// Every wait of every step lies within its bounds, and the random part uses
// the whole span: over many seeds, waits come near both ends of each step.
TEST(BusyWaitTest, EachStepStaysWithinItsBounds) {
  struct Row {
    const char* name;
    const BusyWaitSteps& steps;
    std::vector<DWORD> longest;  // step by step
    std::vector<DWORD> shortest;
  };
  const Row rows[] = {
      {"the program's",
       kBusyWaitSteps,
       {2000, 4000, 8000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000},
       {1000, 2000, 4000, 5000, 5000, 5000, 5000, 5000, 5000, 5000, 5000, 5000}},
      {"fixed doubling",
       kFixedDoublingWaitSteps,
       {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000, 60000, 60000, 60000},
       {2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000, 60000, 60000, 60000}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (size_t step = 0; step < row.longest.size(); ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      DWORD low = row.longest[step];
      DWORD high = 0;
      for (DWORD seed = 1; seed <= 400; ++seed) {
        WaitRandom random(WaitSeed(seed * 4, 1000000));
        DWORD wait = BusyWait(row.steps, static_cast<int>(step), kWaitBudget, random);
        ASSERT_GE(wait, row.shortest[step]);
        ASSERT_LE(wait, row.longest[step]);
        low = std::min(low, wait);
        high = std::max(high, wait);
      }
      DWORD span = row.longest[step] - row.shortest[step];
      EXPECT_LE(low, row.shortest[step] + span / 20);
      EXPECT_GE(high, row.longest[step] - span / 20);
    }
  }
}

// A wait never outlasts the budget left and is never 0 while some is left; 0
// (give up) comes only with the budget spent. The fixed doubling, which the
// program had before, spends a whole budget in exactly these waits.
TEST(BusyWaitTest, TheBudgetEndsTheWaits) {
  WaitRandom random(7);
  for (DWORD left : {0u, 1u, 999u, 1500u, 9999u}) {
    SCOPED_TRACE(left);
    for (int step : {0, 3, 40}) {
      DWORD wait = BusyWait(kBusyWaitSteps, step, left, random);
      EXPECT_LE(wait, left);
      EXPECT_EQ(wait == 0, left == 0);
    }
  }
  std::vector<DWORD> waits;
  WaitBudget budget;
  for (int step = 0;; ++step) {
    DWORD wait = BusyWait(kFixedDoublingWaitSteps, step, budget.Left(), random);
    if (wait == 0) break;
    waits.push_back(wait);
    budget.Spend(wait);
  }
  EXPECT_EQ(waits,
            (std::vector<DWORD>{2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 58000}));
}

// Runs of many sessions that start in the same millisecond differ only by
// their process ids, which are multiples of 4 and close together; their waits
// must still differ, or they would wake together. The tick count at the start
// changes the waits of one process id too.
TEST(BusyWaitTest, RunsThatStartTogetherDrawApart) {
  std::set<DWORD> first_waits;
  std::set<DWORD> by_ticks;
  for (DWORD id = 4000; id < 4000 + 4 * 64; id += 4) {
    WaitRandom random(WaitSeed(id, 123456));
    first_waits.insert(BusyWait(kBusyWaitSteps, 3, kWaitBudget, random));
    WaitRandom later(WaitSeed(4000, 123456 + (id - 4000) / 4));
    by_ticks.insert(BusyWait(kBusyWaitSteps, 3, kWaitBudget, later));
  }
  // 64 draws from 5001 values: a handful may meet by chance.
  EXPECT_GE(first_waits.size(), 60u);
  EXPECT_GE(by_ticks.size(), 60u);
}

}  // namespace
