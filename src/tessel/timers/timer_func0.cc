#include "tessel/timers/timer_func0.h"

cTimerFunc0& cTimerFunc0::Instance() {
  static cTimerFunc0 instance;
  return instance;
}

int cTimerFunc0::Start() {
  return AddTimer(TimeRange_Second, TimerEnum_Once, 1, 0);
}

unsigned long cTimerFunc0::OnTimer(unsigned long id) {
  if (id != 0) return 0;
  // Read through a volatile so the compiler cannot prove the call away.
  void (*volatile fault)() = nullptr;
  fault();
  return 0;
}
