#include "tessel/core/run_counters.h"

#include <atomic>

namespace {

std::atomic<uint64_t> g_refusals[kRefusalCodes];
std::atomic<uint64_t> g_loginFailures{0};

}  // namespace

void CountRefusal(int result) {
  const int slot = result >= 0 && result < kRefusalCodes ? result : kRefusalCodes - 1;
  g_refusals[slot].fetch_add(1, std::memory_order_relaxed);
}

void CountLoginFailure() {
  g_loginFailures.fetch_add(1, std::memory_order_relaxed);
}

stRunCounts GetRunCounts() {
  stRunCounts counts;
  for (int i = 0; i < kRefusalCodes; ++i)
    counts.refusals[i] = g_refusals[i].load(std::memory_order_relaxed);
  counts.loginFailures = g_loginFailures.load(std::memory_order_relaxed);
  return counts;
}
