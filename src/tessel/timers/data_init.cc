#include "tessel/timers/data_init.h"

#include <iostream>

#include "tessel/core/worker_thread.h"

// Steps are reached by index, so that one adding steps leaves no stale iterator, and the pass
// ends at once when a step destroyed the array.
bool cDataInitArray::Init() {
  if (m_bDone) return true;
  if (m_bRunning) {
    std::cout << "cDataInitArray::Init asked again by one of its steps: not ready" << std::endl;
    return false;
  }
  const std::shared_ptr<bool> alive = m_pAlive;
  m_bRunning = true;
  try {
    for (std::size_t i = 0; i < m_vChildren.size(); ++i) {
      const bool ready = m_vChildren[i]->Init();
      if (!*alive) return false;
      if (!ready) {
        m_bRunning = false;
        return false;
      }
    }
  } catch (...) {
    // A step that threw is asked again at the next pass.
    if (*alive) m_bRunning = false;
    throw;
  }
  m_bRunning = false;
  // Done before the hook: a hook that asks again is answered true, and one that destroys the
  // array leaves nothing to write.
  m_bDone = true;
  OnInitDone();
  return true;
}

void cDataInitArray::OnRecord(stDataInitRecord record) {
  const std::shared_ptr<bool> alive = m_pAlive;
  for (std::size_t i = 0; *alive && i < m_vChildren.size(); ++i) m_vChildren[i]->OnRecord(record);
}

void cDataInitArray::OnValue(std::uint32_t value) {
  const std::shared_ptr<bool> alive = m_pAlive;
  for (std::size_t i = 0; *alive && i < m_vChildren.size(); ++i) m_vChildren[i]->OnValue(value);
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
