// A clock for the timer manager that moves only when the test says so, put into the process's
// timer manager (emptied at both ends) for the scope's lifetime. Header-only. Main thread.
#pragma once

#include "tessel/contracts/timer_manager.h"

struct ManagerClock : iTimerClock {
  ManagerClock() {
    tm.Clear();
    tm.SetClock(this);
  }
  ~ManagerClock() {
    tm.Clear();
    tm.SetDiff(0);
    tm.SetClock(nullptr);
  }
  std::uint32_t GetMilliSeconds() override { return ms; }
  long GetSeconds() override { return 1'700'000'000 + set + long(moved / 1000); }
  // Advances the clock by `step` ms and runs the manager.
  void Step(std::uint32_t step) {
    ms += step;
    moved += step;
    tm.Run(step);
  }
  std::uint32_t ms = 1000;
  std::uint64_t moved = 0;  // since the start
  long set = 0;             // seconds the calendar clock was set forward (back if negative)
  cTimerManager& tm = cTimerManager::Instance();
};
