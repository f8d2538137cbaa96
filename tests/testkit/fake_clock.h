// A clock for the timer manager that moves only when the test says so, and a scope that puts
// it into the process's timer manager. Header-only (timer-manager interface only). Main thread.
#pragma once

#include "tessel/contracts/timer_manager.h"

class FakeClock : public iTimerClock {
 public:
  std::uint32_t GetMilliSeconds() override { return ms; }
  long GetSeconds() override { return seconds + long(ms_total / 1000); }
  std::uint32_t ms = 1000;
  long seconds = 1'700'000'000;  // at the start
  std::uint64_t ms_total = 0;    // moved since the start
};

// Installs a fake clock on the process's timer manager for the lifetime of a test; Step
// advances it and runs the manager.
struct ManagerClock {
  ManagerClock() { cTimerManager::Instance().Clear(), cTimerManager::Instance().SetClock(&clock); }
  ~ManagerClock() {
    cTimerManager::Instance().Clear(), cTimerManager::Instance().SetClock(nullptr);
  }
  void Step(std::uint32_t ms) {
    clock.ms += ms;
    clock.ms_total += ms;
    cTimerManager::Instance().Run(ms);
  }
  FakeClock clock;
};
