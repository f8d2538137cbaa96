// A clock for the timer manager that moves only when the test says so, and a scope that puts
// it into the process's timer manager. Header-only (timer-manager interface only). Main thread.
#pragma once

#include "tessel/contracts/timer_manager.h"

class FakeClock : public iTimerClock {
 public:
  std::uint32_t GetMilliSeconds() override { return ms; }
  long GetSeconds() override { return seconds; }
  // Moves both clocks forward; seconds follow whole elapsed seconds of the millisecond clock.
  void Advance(std::uint32_t byMs) {
    sub += byMs;
    ms += byMs;
    seconds += static_cast<long>(sub / 1000);
    sub %= 1000;
  }

  std::uint32_t ms = 1000;
  long seconds = 1'700'000'000;
  std::uint64_t sub = 0;
};

// Installs a fake clock on the process's timer manager for the lifetime of a test.
class ManagerClock {
 public:
  ManagerClock() {
    cTimerManager::Instance().Clear();
    cTimerManager::Instance().SetClock(&clock);
  }
  ~ManagerClock() {
    cTimerManager::Instance().Clear();
    cTimerManager::Instance().SetClock(nullptr);
  }
  // Advances the clock and runs the manager.
  void Step(std::uint32_t ms) {
    clock.Advance(ms);
    cTimerManager::Instance().Run(ms);
  }
  FakeClock clock;
};
