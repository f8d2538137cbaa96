// Staged data initialisation: an ordered list of steps run until the first one that is not
// ready, and a timer-driven variant that retries the list until every step has succeeded.
// The arrays do not own their steps. Worker thread only (timers fire in cTimerManager::Run).
#pragma once

#include <cstdint>
#include <memory>
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

// A step may add steps (asked in the same pass) or destroy the array while it runs; the pass
// then ends without touching the array again.
class cDataInitArray : public iDataInit {
 public:
  cDataInitArray() = default;
  // A copy has the steps but is a running array of its own.
  cDataInitArray(const cDataInitArray& o)
      : iDataInit(o), m_vChildren(o.m_vChildren), m_bDone(o.m_bDone) {}
  cDataInitArray& operator=(const cDataInitArray& o) {
    m_vChildren = o.m_vChildren;
    m_bDone = o.m_bDone;
    return *this;
  }
  ~cDataInitArray() override { *m_pAlive = false; }
  // Runs the steps in order and stops at the first that is not ready (false). When all are
  // ready: becomes done, calls OnInitDone once and answers true from then on (also to the
  // hook). Steps that succeeded are asked again at the next call. Asked again by one of its
  // own steps (an array holding itself), it answers false with a line.
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

 private:
  bool m_bRunning = false;
  // False once the array is destroyed: read by a pass that a step or the hook ended it in.
  std::shared_ptr<bool> m_pAlive = std::make_shared<bool>(true);
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
