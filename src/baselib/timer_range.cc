// Pending timers of one range. A timer is taken out of the queue before its owner is called,
// so the owner may add, kill or reset timers (its own included) from inside OnTimer.
#include "tessel/contracts/timer_manager.h"

#include <algorithm>

cTimerRange::~cTimerRange() {
  Clear();
}

void cTimerRange::Init(cTimerManager* manager, TimeRange range) {
  m_pManager = manager;
  m_nRange = range;
}

std::int64_t cTimerRange::Now() const {
  if (m_nRange == TimeRange_MS) return m_pManager->GetMSTime64();
  return m_pManager->GetSTime();
}

namespace {

// A time no clock reaches: a span or a due time beyond it is taken as this, so that no sum of
// times overflows and a far time never turns into one in the past.
constexpr std::int64_t kNever = INT64_MAX / 4;

}  // namespace

std::int64_t cTimerRange::Span(unsigned long units) const {
  const std::uint64_t unit = m_nRange == TimeRange_MS ? 1 : kTimeRangeUnit[m_nRange];
  if (units > static_cast<std::uint64_t>(kNever) / unit) return kNever;
  return static_cast<std::int64_t>(unit * units);
}

void cTimerRange::Insert(std::int64_t due, const stEntry& e) {
  const Key key{due, m_pManager->m_nOrder++};
  m_mapQueue.emplace(key, e);
  m_mapIndex[Ident{e.obj, e.id}] = key;
}

int cTimerRange::AddTimer(TimerEnum kind, unsigned long interval, cTimerObj* obj, unsigned long id,
                          const char* name) {
  if (m_pManager == nullptr || obj == nullptr || !obj->IsAlive()) return 0;
  if (kind < 0 || kind >= TimerEnum_Max) return 0;
  if (kind == TimerEnum_Repeat && interval == 0) return 0;

  std::int64_t due = 0;
  if (kind == TimerEnum_At && m_nRange == TimeRange_MS) {
    // A due time on the wrapping 32-bit clock: the signed distance from the present tick.
    const auto ahead = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(interval) - static_cast<std::uint32_t>(m_pManager->GetMSTime()));
    due = Now() + ahead;
  } else if (kind == TimerEnum_At) {
    due = static_cast<std::int64_t>(std::min<std::uint64_t>(interval, kNever));
  } else {
    due = Now() + Span(interval);
  }

  // The same handle and id replace a pending timer, or the one being fired.
  KillTimer(kind, interval, obj, id);
  obj->AddRef();
  Insert(due, stEntry{kind, interval, obj, id, name});
  return 1;
}

int cTimerRange::KillTimer(TimerEnum, unsigned long, cTimerObj* obj, unsigned long id) {
  int killed = 0;
  if (m_pFiring != nullptr && !m_bFiringDropped && m_pFiring->obj == obj && m_pFiring->id == id) {
    m_bFiringDropped = true;
    killed = 1;
  }
  auto it = m_mapIndex.find(Ident{obj, id});
  if (it == m_mapIndex.end()) return killed;
  auto q = m_mapQueue.find(it->second);
  m_mapIndex.erase(it);
  if (q != m_mapQueue.end()) {
    cTimerObj* handle = q->second.obj;
    m_mapQueue.erase(q);
    handle->Release();
  }
  return 1;
}

int cTimerRange::CheckTimer(TimerEnum, unsigned long, cTimerObj* obj, unsigned long id) {
  if (m_mapIndex.count(Ident{obj, id}) != 0) return 1;
  const bool firing =
      m_pFiring != nullptr && !m_bFiringDropped && m_pFiring->obj == obj && m_pFiring->id == id;
  return firing ? 1 : 0;
}

void cTimerRange::Fire(std::int64_t now, std::uint64_t pass) {
  for (;;) {
    auto it = m_mapQueue.begin();
    while (it != m_mapQueue.end() && it->first.first <= now && it->first.second >= pass) ++it;
    if (it == m_mapQueue.end() || it->first.first > now) return;

    const stEntry entry = it->second;
    const std::int64_t due = it->first.first;
    m_mapIndex.erase(Ident{entry.obj, entry.id});
    m_mapQueue.erase(it);

    unsigned long result = 0;
    if (entry.obj->IsAlive()) {
      m_firingEntry = entry;
      m_pFiring = &m_firingEntry;
      m_bFiringDropped = false;
      result = entry.obj->m_pOwner->OnTimer(entry.id);
      m_pFiring = nullptr;
    }
    Finish(entry, due, result);
  }
}

void cTimerRange::ShiftSpans(std::int64_t by) {
  std::map<Key, stEntry> shifted;
  for (const auto& [key, e] : m_mapQueue) {
    const Key moved{e.kind == TimerEnum_At ? key.first : key.first + by, key.second};
    shifted.emplace(moved, e);
    m_mapIndex[Ident{e.obj, e.id}] = moved;
  }
  m_mapQueue.swap(shifted);
}

void cTimerRange::Finish(const stEntry& e, std::int64_t due, unsigned long result) {
  const bool again = e.kind == TimerEnum_Repeat && result != 0 && !m_bFiringDropped &&
                     e.obj->IsAlive() && m_mapIndex.count(Ident{e.obj, e.id}) == 0;
  m_bFiringDropped = false;
  if (!again) {
    e.obj->Release();
    return;
  }
  const std::int64_t now = Now();
  std::int64_t next = due + Span(e.interval);
  if (next <= now) next = now + Span(e.interval);
  Insert(next, e);
}

void cTimerRange::Clear() {
  std::vector<cTimerObj*> held;
  held.reserve(m_mapQueue.size());
  for (auto& [key, e] : m_mapQueue) held.push_back(e.obj);
  m_mapQueue.clear();
  m_mapIndex.clear();
  for (cTimerObj* h : held) h->Release();
}

bool cTimerRange::ReportFiring(std::ostream& os) const {
  if (m_pFiring == nullptr) return false;
  os << "timer range " << m_nRange << " kind " << m_pFiring->kind << " interval "
     << m_pFiring->interval << " id " << m_pFiring->id << " name "
     << (m_pFiring->name != nullptr ? m_pFiring->name : "") << " obj " << m_pFiring->obj << '\n';
  return true;
}
