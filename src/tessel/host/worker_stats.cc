#include "tessel/host/worker_stats.h"

#include <algorithm>
#include <vector>

void cWorkerStats::NoteCycle(uint64_t nowMs, uint64_t latenessUs, uint64_t costUs) {
  const uint64_t n = m_cycles.load(std::memory_order_relaxed);
  m_kept[n % kKept] = {nowMs, latenessUs};
  m_lastLatenessUs.store(latenessUs, std::memory_order_relaxed);
  if (costUs > m_intervalUs) m_overruns.fetch_add(1, std::memory_order_relaxed);
  m_cycles.store(n + 1, std::memory_order_relaxed);
}

uint64_t cWorkerStats::LatenessP99Us(uint64_t nowMs) const {
  const uint64_t n = Cycles();
  std::vector<uint64_t> minute;
  minute.reserve(std::min<uint64_t>(n, kKept));
  for (uint64_t i = n > kKept ? n - kKept : 0; i < n; ++i) {
    const stCycle& cycle = m_kept[i % kKept];
    if (cycle.atMs + 60000 > nowMs) minute.push_back(cycle.latenessUs);
  }
  if (minute.empty()) return 0;
  // The smallest value that at least 99 % of the cycles do not exceed.
  const size_t rank = (minute.size() * 99 + 99) / 100 - 1;
  std::nth_element(minute.begin(), minute.begin() + static_cast<long>(rank), minute.end());
  return minute[rank];
}
