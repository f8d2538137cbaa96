// The exception test's timer object: one process-wide object whose timer step calls through a
// null function address, so that a fault happens inside the host's timer processing and the
// crash path can be exercised on a running process. Worker thread only.
#pragma once

#include "tessel/contracts/timer.h"

class cTimerFunc0 : public iTimerObjEx {
 public:
  static cTimerFunc0& Instance();
  // Arms the fault: a one-shot timer one second from now (range 1, kind 2, id 0).
  int Start();
  // Raises the fault for id 0; other ids do nothing.
  unsigned long OnTimer(unsigned long id) override;
};
