// Staged data initialisation: an ordered list of steps run until the first one that is not
// ready, and a timer-driven variant that retries the list until every step has succeeded.
// The arrays do not own their steps. Worker thread only (timers fire in cTimerManager::Run).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessel/contracts/timer.h"

// A record handed to every step unchanged.
struct stDataInitRecord {
  std::uint32_t m_nValue = 0;
  std::string m_strText;
  std::uint32_t m_nValue2 = 0;
};

class iDataInit {
 public:
  virtual ~iDataInit() = default;
  // True when this step is complete.
  virtual bool Init() = 0;
  virtual void OnRecord(stDataInitRecord record) = 0;
  virtual void OnValue(std::uint32_t value) = 0;
};

class cDataInitArray : public iDataInit {
 public:
  cDataInitArray() = default;
  // Runs the steps in order and stops at the first that is not ready (false). When all are
  // ready: calls OnInitDone once, becomes done and answers true from then on. Steps that
  // succeeded are asked again at the next call.
  bool Init() override;
  // Forward to every step, in order.
  void OnRecord(stDataInitRecord record) override;
  void OnValue(std::uint32_t value) override;
  // Called once, when every step has succeeded.
  virtual void OnInitDone() {}

  void AddInit(iDataInit* step) {
    if (step != nullptr) m_vChildren.push_back(step);
  }
  bool IsDone() const { return m_bDone; }
  std::size_t GetCount() const { return m_vChildren.size(); }

 protected:
  std::vector<iDataInit*> m_vChildren;
  bool m_bDone = false;
};

// Retries Init() every few seconds on the timer manager until it succeeds. Destroying it
// releases its timer handle, so no pending retry reaches it.
class cDataInitArrayTimer : public cDataInitArray, public iTimerObjEx {
 public:
  // Registers a repeating timer (seconds range, `seconds` apart, id 0). 1 on success.
  int InitStart(int seconds);
  // Id 0: runs Init(); 0 (stop) when it succeeded, 1 (retry) otherwise. Other ids: 0.
  unsigned long OnTimer(unsigned long id) override;
};
