// Timer objects and their shared handles. A timer object owns a reference-counted handle
// (cTimerObj); the timer manager keeps handles, never objects, and calls the owner only while
// the handle is alive, so a destroyed or reset object is never reached. Worker thread only.
#pragma once

#include <cstdint>

// Unit of a timer's interval and due time. Ranges 1 to 4 count on the manager's seconds clock
// (GetSTime), range 0 on its millisecond clock (GetMSTime, 32 bits, wrapping).
enum TimeRange : int {
  TimeRange_MS = 0,
  TimeRange_Second = 1,
  TimeRange_Minute = 2,
  TimeRange_Hour = 3,
  TimeRange_Day = 4,
  TimeRange_Max = 5,
};

// Length of one unit of each range in seconds (range 0 counts milliseconds).
inline constexpr unsigned long kTimeRangeUnit[TimeRange_Max] = {0, 1, 60, 3600, 86400};

// What a timer does and how its value is read.
//  - TimerEnum_At (0): fires once when the clock of its range reaches the value, an absolute due
//    time (as computed by cTimerManager::AddTime and AddTimerNext). OnTimer's result is ignored.
//  - TimerEnum_Repeat (1): fires every `value` units of its range, the first time `value` units
//    after it was added, for as long as OnTimer returns non-zero; a zero result stops it.
//  - TimerEnum_Once (2): fires once, `value` units after it was added; the result is ignored.
// A repeating timer that fell behind by more than one interval fires once and is re-armed one
// interval after the present time (missed beats are not made up). When the calendar clock is
// set, At timers follow it, and the others keep counting their span.
enum TimerEnum : int {
  TimerEnum_At = 0,
  TimerEnum_Repeat = 1,
  TimerEnum_Once = 2,
  TimerEnum_Max = 3,
};

class iTimerObjEx;

// The handle shared between a timer object and the timer manager. The object holds one
// reference from creation; the manager holds one per stored timer and per queued request.
class cTimerObj {
 public:
  explicit cTimerObj(iTimerObjEx* owner) : m_pOwner(owner) {}
  virtual ~cTimerObj() = default;
  cTimerObj(const cTimerObj&) = delete;
  cTimerObj& operator=(const cTimerObj&) = delete;

  void AddRef() { ++m_nRef; }
  // Drops one reference; the last one destroys the handle.
  void Release() {
    if (--m_nRef == 0) delete this;
  }
  bool IsAlive() const { return m_bAlive && m_pOwner != nullptr; }

  int m_nRef = 1;
  bool m_bAlive = true;
  iTimerObjEx* m_pOwner;
};

class iTimerObj {
 public:
  // Called when a timer of this object fires, with the id it was added with.
  virtual unsigned long OnTimer(unsigned long id) = 0;
  // A query with two 32-bit arguments; no timer code asks it, objects may answer it.
  virtual bool OnTimerQuery(std::uint32_t, std::uint32_t) { return false; }

 protected:
  ~iTimerObj() = default;
};

// Base of every object that receives timers. A copy gets a handle of its own (with no timers),
// so copies never release the same handle twice.
class iTimerObjEx : public iTimerObj {
 public:
  iTimerObjEx() { CreateTimer(); }
  iTimerObjEx(const iTimerObjEx&) : iTimerObj() { CreateTimer(); }
  iTimerObjEx& operator=(const iTimerObjEx&) { return *this; }
  virtual ~iTimerObjEx() { DeleteTimer(); }

  unsigned long OnTimer(unsigned long) override { return 0; }
  bool OnTimerQuery(std::uint32_t, std::uint32_t) override { return false; }

  void CreateTimer() { m_pTimer = new cTimerObj(this); }
  // Marks the handle dead and drops this object's reference: no pending timer reaches it.
  void DeleteTimer() {
    if (m_pTimer == nullptr) return;
    m_pTimer->m_bAlive = false;
    m_pTimer->m_pOwner = nullptr;
    cTimerObj* handle = m_pTimer;
    m_pTimer = nullptr;
    handle->Release();
  }
  // Drops every timer registered so far by swapping in a fresh handle.
  void ResetTimer() {
    DeleteTimer();
    CreateTimer();
  }

  // Registers a timer of this object directly in the manager's range (see TimerEnum for the
  // meaning of `interval`); 1 on success, 0 for a bad range or kind or a missing handle. A timer
  // with the same id replaces the pending one.
  int AddTimer(TimeRange range, TimerEnum kind, unsigned long interval, unsigned long id);
  // Removes the pending timer of this object with that id; 1 if one was pending.
  int KillTimer(TimeRange range, TimerEnum kind, unsigned long interval, unsigned long id);
  cTimerObj* GetTimerObj() const { return m_pTimer; }

 protected:
  cTimerObj* m_pTimer = nullptr;
};
