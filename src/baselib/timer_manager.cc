// The timer manager: clocks, request list and the five ranges.
#include "tessel/contracts/timer_manager.h"

#include <time.h>

#include "platform/clock.h"

namespace {

// CLOCK_MONOTONIC milliseconds and the calendar time.
class cMachineClock : public iTimerClock {
 public:
  std::uint32_t GetMilliSeconds() override { return platform::TimeGetTime(); }
  long GetSeconds() override { return static_cast<long>(::time(nullptr)); }
};

cMachineClock g_machineClock;

}  // namespace

int& GetTimerFunctionTesselLevel() {
  thread_local int level = 0;
  return level;
}

int iTimerObjEx::AddTimer(TimeRange range, TimerEnum kind, unsigned long interval,
                          unsigned long id) {
  return cTimerManager::Instance()._AddTimer(range, kind, interval, m_pTimer, id);
}

int iTimerObjEx::KillTimer(TimeRange range, TimerEnum kind, unsigned long interval,
                           unsigned long id) {
  return cTimerManager::Instance()._KillTimer(range, kind, interval, m_pTimer, id);
}

cTimerManager& cTimerManager::Instance() {
  static cTimerManager instance;
  return instance;
}

cTimerManager::cTimerManager() : m_pClock(&g_machineClock) {
  for (int r = 0; r < TimeRange_Max; ++r) m_Ranges[r].Init(this, static_cast<TimeRange>(r));
  m_dwMSTime.store(m_pClock->GetMilliSeconds(), std::memory_order_relaxed);
  m_nSecondBase.store(m_pClock->GetSeconds(), std::memory_order_relaxed);
  m_nCalendarAhead = GetSTime() - m_nMSTime64 / 1000;
}

cTimerManager::~cTimerManager() {
  Clear();
}

void cTimerManager::SetClock(iTimerClock* clock) {
  m_pClock = clock != nullptr ? clock : &g_machineClock;
  // A new clock starts a new tick series: the 64-bit clock keeps going from where it was.
  m_dwMSTime.store(m_pClock->GetMilliSeconds(), std::memory_order_relaxed);
  m_nSecondBase.store(m_pClock->GetSeconds(), std::memory_order_relaxed);
  m_nCalendarAhead = GetSTime() - m_nMSTime64 / 1000;
}

void cTimerManager::RefreshTime() {
  const std::uint32_t ms = m_pClock->GetMilliSeconds();
  const std::uint32_t before = m_dwMSTime.load(std::memory_order_relaxed);
  m_nMSTime64 += static_cast<std::uint32_t>(ms - before);
  m_dwMSTime.store(ms, std::memory_order_relaxed);
  m_nSecondBase.store(m_pClock->GetSeconds(), std::memory_order_relaxed);
  FollowCalendarSet(GetSTime() - m_nMSTime64 / 1000);
}

// The calendar clock set (a time service, Time(), or the difference OS_SetTime sets) moves
// against the millisecond clock by more than the second the two clocks' roundings differ: the
// timers that count a span are moved with it, so that an hour set back does not hold them an
// hour and an hour set forward does not fire them at once.
void cTimerManager::FollowCalendarSet(std::int64_t calendarAhead) {
  const std::int64_t moved = calendarAhead - m_nCalendarAhead;
  if (moved >= -1 && moved <= 1) return;
  m_nCalendarAhead = calendarAhead;
  for (int r = TimeRange_Second; r < TimeRange_Max; ++r) m_Ranges[r].ShiftSpans(moved);
}

void cTimerManager::ConsumeRequests() {
  m_vWork.clear();
  m_vWork.swap(m_vRequests);
  for (const stTimerRequest& req : m_vWork) {
    m_pCurRequest = &req;
    if (ValidRange(req.range)) {
      cTimerRange& range = m_Ranges[req.range];
      if (req.add != 0) {
        range.AddTimer(req.kind, req.when, req.obj, req.id, req.name);
      } else {
        range.KillTimer(req.kind, req.when, req.obj, req.id);
      }
    }
    m_pCurRequest = nullptr;
    req.obj->Release();
  }
  m_vWork.clear();
}

void cTimerManager::Run(unsigned long) {
  if (m_bRunning) return;
  m_bRunning = true;
  RefreshTime();
  ConsumeRequests();
  const std::uint64_t pass = m_nOrder;
  for (int r = 0; r < TimeRange_Max; ++r) {
    m_nCurRange = r;
    m_Ranges[r].Fire(m_Ranges[r].Now(), pass);
  }
  m_nCurRange = -1;
  m_bRunning = false;
}

void cTimerManager::ReportCrashToStream(std::ostream& os) const {
  if (m_pCurRequest != nullptr) {
    const stTimerRequest& req = *m_pCurRequest;
    os << "timer request " << (req.add != 0 ? "add" : "kill") << " range " << req.range << " kind "
       << req.kind << " when " << req.when << " id " << req.id << " name "
       << (req.name != nullptr ? req.name : "") << '\n';
    return;
  }
  if (m_nCurRange >= 0 && m_Ranges[m_nCurRange].ReportFiring(os)) return;
  os << "timer idle\n";
}

void cTimerManager::Clear() {
  std::vector<stTimerRequest> pending;
  pending.swap(m_vRequests);
  for (const stTimerRequest& req : pending) req.obj->Release();
  for (auto& range : m_Ranges) range.Clear();
}

std::size_t cTimerManager::GetTimerCount() const {
  std::size_t n = 0;
  for (const auto& range : m_Ranges) n += range.Count();
  return n;
}
