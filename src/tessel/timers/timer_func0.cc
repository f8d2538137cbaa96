#include "tessel/timers/timer_func0.h"

#include "tessel/core/worker_thread.h"

cTimerFunc0& cTimerFunc0::Instance() {
  static cTimerFunc0 instance;
  return instance;
}

int cTimerFunc0::Start() {
  TESSEL_ASSERT_WORKER();
  return AddTimer(TimeRange_Second, TimerEnum_Once, 1, 0);
}

unsigned long cTimerFunc0::OnTimer(unsigned long id) {
  TESSEL_ASSERT_WORKER();
  if (id != 0) return 0;
  // Read through a volatile so the compiler cannot prove the call away.
  void (*volatile fault)() = nullptr;
  fault();
  return 0;
}
