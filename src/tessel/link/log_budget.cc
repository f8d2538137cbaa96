#include "tessel/link/log_budget.h"

#include "platform/clock.h"
#include "platform/console_color.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/worker_thread.h"

bool cLogBudget::Take(iSend* link, uint32_t nowMs) {
  TESSEL_ASSERT_WORKER();
  if (link == nullptr) return true;
  auto [it, added] = m_links.try_emplace(link);
  stWindow& window = it->second;
  if (added) {
    window.startMs = nowMs;
    window.id = link->GetID();
    const char* ip = link->GetIP();
    window.ip = ip != nullptr ? ip : "";
  } else if (platform::ElapsedMs(window.startMs, nowMs) >= kWindowMs) {
    window.carried += window.skipped;
    window.skipped = 0;
    window.taken = 0;
    window.startMs = nowMs;
  }
  if (window.taken < kEntriesPerSecond) {
    ++window.taken;
    return true;
  }
  ++window.skipped;
  return false;
}

void cLogBudget::Report(uint32_t nowMs, cLog& log) {
  TESSEL_ASSERT_WORKER();
  bool wrote = false;
  for (auto it = m_links.begin(); it != m_links.end();) {
    stWindow& window = it->second;
    const bool over = platform::ElapsedMs(window.startMs, nowMs) >= kWindowMs;
    const unsigned long left = window.carried + (over ? window.skipped : 0);
    if (left != 0) {
      platform::ColorSection red(platform::kColorLightRed);
      wrote = true;
      log.TimeStamp() << "cLogBudget::Report link #" << window.id << " ip " << window.ip << " "
                      << left << " log entries left out (more than " << kEntriesPerSecond
                      << " a second)\n";
    }
    window.carried = 0;
    if (over) {
      it = m_links.erase(it);
    } else {
      ++it;
    }
  }
  if (wrote) log.flush();
}

bool cEventBudget::Take(uint32_t nowMs) {
  TESSEL_ASSERT_WORKER();
  if (platform::ElapsedMs(m_startMs, nowMs) >= cLogBudget::kWindowMs) {
    m_carried += m_skipped;
    m_skipped = 0;
    m_taken = 0;
    m_startMs = nowMs;
  }
  if (m_taken < kLinesPerSecond) {
    ++m_taken;
    return true;
  }
  ++m_skipped;
  return false;
}

unsigned long cEventBudget::TakeLeftOut(uint32_t nowMs) {
  TESSEL_ASSERT_WORKER();
  if (platform::ElapsedMs(m_startMs, nowMs) >= cLogBudget::kWindowMs) {
    m_carried += m_skipped;
    m_skipped = 0;
  }
  const unsigned long left = m_carried;
  m_carried = 0;
  return left;
}
