#include "tessel/timers/data_init.h"

#include "tessel/core/worker_thread.h"

bool cDataInitArray::Init() {
  if (m_bDone) return true;
  for (iDataInit* step : m_vChildren) {
    if (!step->Init()) return false;
  }
  OnInitDone();
  m_bDone = true;
  return true;
}

void cDataInitArray::OnRecord(stDataInitRecord record) {
  for (iDataInit* step : m_vChildren) step->OnRecord(record);
}

void cDataInitArray::OnValue(std::uint32_t value) {
  for (iDataInit* step : m_vChildren) step->OnValue(value);
}

int cDataInitArrayTimer::InitStart(int seconds) {
  TESSEL_ASSERT_WORKER();
  // A negative count would wrap into a retry that never comes.
  if (seconds <= 0) return 0;
  return iTimerObjEx::AddTimer(TimeRange_Second, TimerEnum_Repeat,
                               static_cast<unsigned long>(seconds), 0);
}

unsigned long cDataInitArrayTimer::OnTimer(unsigned long id) {
  TESSEL_ASSERT_WORKER();
  if (id != 0) return 0;
  return Init() ? 0 : 1;
}
