// The timer manager: five timer ranges (milliseconds, seconds, minutes, hours, days), the
// request list, and the clocks they run on. Worker thread only, except the clock readers
// (GetMSTime, GetSTime, GetDiff) and SetDiff, which any thread may call.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <map>
#include <ostream>
#include <utility>
#include <vector>

#include "tessel/contracts/timer.h"

class cTimerManager;

// The machine's clocks as the manager reads them; tests install their own.
class iTimerClock {
 public:
  virtual ~iTimerClock() = default;
  // Milliseconds of a monotonic clock, wrapping at 32 bits.
  virtual std::uint32_t GetMilliSeconds() = 0;
  // Calendar time in seconds since 1970.
  virtual long GetSeconds() = 0;
};

// The pending timers of one range, ordered by due time and then by the order they were added.
// At most one timer is pending per handle and id.
class cTimerRange {
 public:
  cTimerRange() = default;
  ~cTimerRange();
  cTimerRange(const cTimerRange&) = delete;
  cTimerRange& operator=(const cTimerRange&) = delete;

  void Init(cTimerManager* manager, TimeRange range);
  // 1 when stored, 0 for a bad kind, a dead or missing handle, or a repeating interval of 0.
  // An interval or due time too far for the range's clock to count is one that never comes.
  int AddTimer(TimerEnum kind, unsigned long interval, cTimerObj* obj, unsigned long id,
               const char* name = nullptr);
  // 1 when a pending timer of that handle and id was removed (kind and interval not compared).
  int KillTimer(TimerEnum kind, unsigned long interval, cTimerObj* obj, unsigned long id);
  // 1 when a timer of that handle and id is pending (kind and interval not compared).
  int CheckTimer(TimerEnum kind, unsigned long interval, cTimerObj* obj, unsigned long id);

  // Fires the timers due at `now` that were added before pass `pass` began.
  void Fire(std::int64_t now, std::uint64_t pass);
  // Moves the due times of the timers that count a span (not the At ones) by `by` units.
  void ShiftSpans(std::int64_t by);
  // The present time on this range's scale (milliseconds or seconds).
  std::int64_t Now() const;
  std::size_t Count() const { return m_mapQueue.size(); }
  void Clear();
  // Writes the timer being fired, if any.
  bool ReportFiring(std::ostream& os) const;

 private:
  struct stEntry {
    TimerEnum kind;
    unsigned long interval;
    cTimerObj* obj;
    unsigned long id;
    const char* name;
  };
  using Key = std::pair<std::int64_t, std::uint64_t>;  // due time, order added
  using Ident = std::pair<cTimerObj*, unsigned long>;  // handle, id

  std::int64_t Span(unsigned long units) const;
  void Insert(std::int64_t due, const stEntry& e);
  void Finish(const stEntry& e, std::int64_t due, unsigned long result);

  cTimerManager* m_pManager = nullptr;
  TimeRange m_nRange = TimeRange_MS;
  std::map<Key, stEntry> m_mapQueue;
  std::map<Ident, Key> m_mapIndex;
  // The timer whose OnTimer runs now; `m_bFiringDropped` is set when it is killed or
  // replaced meanwhile, so it is not re-armed.
  const stEntry* m_pFiring = nullptr;
  bool m_bFiringDropped = false;
  // A copy of the firing timer that stays readable when a fault leaves OnTimer without return.
  stEntry m_firingEntry{};
};

// A queued add (1) or kill (0), consumed by the next Run.
struct stTimerRequest {
  TimeRange range;
  TimerEnum kind;
  unsigned long when;
  cTimerObj* obj;
  unsigned long id;
  int add;
  const char* name;
};

class cTimerManager {
 public:
  static cTimerManager& Instance();
  cTimerManager();
  ~cTimerManager();
  cTimerManager(const cTimerManager&) = delete;
  cTimerManager& operator=(const cTimerManager&) = delete;

  // Refreshes the clocks, consumes the request list in order, then fires the due timers of
  // ranges 0 to 4. Timers added while it runs fire at the next Run at the earliest. A nested
  // call (from inside a timer) does nothing. `elapsedMs` is the caller's cycle length; the
  // manager reads its own clock.
  void Run(unsigned long elapsedMs);
  // Advances the clocks only.
  void RefreshTime();
  // Writes which timer work runs: the request or timer being handled, or "timer idle".
  void ReportCrashToStream(std::ostream& os) const;
  // Installs the clock (null: the machine's clock) and reads it.
  void SetClock(iTimerClock* clock);
  // Drops every pending timer and request.
  void Clear();
  std::size_t GetTimerCount() const;
  std::size_t GetRequestCount() const { return m_vRequests.size(); }
  cTimerRange& GetRange(TimeRange r) { return m_Ranges[r]; }
  // The millisecond clock extended to 64 bits (never wraps); timers of range 0 run on it.
  std::int64_t GetMSTime64() const { return m_nMSTime64; }

  // Direct access to one range; a range of 5 or more gives 0.
  int _AddTimer(TimeRange r, TimerEnum kind, unsigned long interval, cTimerObj* obj,
                unsigned long id) {
    if (!ValidRange(r)) return 0;
    return m_Ranges[r].AddTimer(kind, interval, obj, id);
  }
  int _KillTimer(TimeRange r, TimerEnum kind, unsigned long interval, cTimerObj* obj,
                 unsigned long id) {
    if (!ValidRange(r)) return 0;
    return m_Ranges[r].KillTimer(kind, interval, obj, id);
  }
  int CheckTimer(TimeRange r, TimerEnum kind, unsigned long interval, cTimerObj* obj,
                 unsigned long id) {
    if (!ValidRange(r)) return 0;
    return m_Ranges[r].CheckTimer(kind, interval, obj, id);
  }

  // Queue an add or a kill for the next Run; the request holds a reference to the handle.
  int AddTimer(TimeRange r, TimerEnum kind, unsigned long when, cTimerObj* obj, unsigned long id,
               const char* name) {
    return Queue(r, kind, when, obj, id, 1, name);
  }
  int KillTimer(TimeRange r, TimerEnum kind, unsigned long when, cTimerObj* obj, unsigned long id,
                const char* name) {
    return Queue(r, kind, when, obj, id, 0, name);
  }
  // Queues a one-shot timer `count` units of range `r` from now.
  int AddTimerNext(TimeRange r, unsigned long count, cTimerObj* obj, unsigned long id,
                   const char* name) {
    if (!ValidRange(r)) return 0;
    unsigned long due = count;
    AddTime(r, due);
    return AddTimer(r, TimerEnum_At, due, obj, id, name);
  }
  // Turns a count of units of range `r` into a due time on that range's clock. A count too large
  // for the sum gives the largest time, which never comes, rather than wrapping to one past.
  void AddTime(TimeRange r, unsigned long& t) const {
    if (!ValidRange(r)) return;
    if (r == TimeRange_MS) {
      t += GetMSTime();
      return;
    }
    const auto now = static_cast<unsigned long>(GetSTime());
    t = t > (ULONG_MAX - now) / kTimeRangeUnit[r] ? ULONG_MAX : kTimeRangeUnit[r] * t + now;
  }
  unsigned long GetMSTime() const { return m_dwMSTime.load(std::memory_order_relaxed); }
  long GetSTime() const {
    return m_nSecondBase.load(std::memory_order_relaxed) +
           m_nSecondDiff.load(std::memory_order_relaxed);
  }
  // The difference added to the machine's calendar time, to follow a remote clock.
  void SetDiff(long diff) { m_nSecondDiff.store(diff, std::memory_order_relaxed); }
  long GetDiff() const { return m_nSecondDiff.load(std::memory_order_relaxed); }

 private:
  static bool ValidRange(TimeRange r) { return r >= 0 && r < TimeRange_Max; }
  int Queue(TimeRange r, TimerEnum kind, unsigned long when, cTimerObj* obj, unsigned long id,
            int add, const char* name) {
    if (obj == nullptr) return 0;
    obj->AddRef();
    m_vRequests.push_back({r, kind, when, obj, id, add, name});
    return 1;
  }
  void ConsumeRequests();
  void FollowCalendarSet(std::int64_t calendarAhead);

  cTimerRange m_Ranges[TimeRange_Max];
  std::atomic<std::uint32_t> m_dwMSTime{0};
  std::atomic<long> m_nSecondBase{0};
  std::atomic<long> m_nSecondDiff{0};
  std::int64_t m_nMSTime64 = 0;
  // Seconds of GetSTime ahead of the 64-bit millisecond clock, as of the last time the calendar
  // clock or the difference was set.
  std::int64_t m_nCalendarAhead = 0;
  iTimerClock* m_pClock = nullptr;
  std::vector<stTimerRequest> m_vRequests;
  std::vector<stTimerRequest> m_vWork;
  std::uint64_t m_nPass = 0;
  bool m_bRunning = false;
  // Crash report: the request being consumed, or the range being fired (-1: none).
  const stTimerRequest* m_pCurRequest = nullptr;
  int m_nCurRange = -1;

  friend class cTimerRange;
  std::uint64_t m_nOrder = 0;
};

// The nesting counter of running timer functions (cost guards) on the calling thread.
int& GetTimerFunctionTesselLevel();
