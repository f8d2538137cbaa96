// How the worker keeps its clock: for every periodic cycle, how late it began and how long it
// took. The worker notes each cycle; the counters may be read from any thread, the last
// minute's percentile on the worker only.
#pragma once

#include <atomic>
#include <cstdint>

class cWorkerStats {
 public:
  // A cycle is an overrun when it takes longer than the cycle interval.
  explicit cWorkerStats(uint32_t intervalUs = 10000) : m_intervalUs(intervalUs) {}

  // Worker: a periodic cycle began `latenessUs` after it was due and took `costUs`; `nowMs` is
  // the monotonic clock when it began. 64 bits: a stall of hours is kept as it was.
  void NoteCycle(uint64_t nowMs, uint64_t latenessUs, uint64_t costUs);

  uint64_t Cycles() const { return m_cycles.load(std::memory_order_relaxed); }
  uint64_t Overruns() const { return m_overruns.load(std::memory_order_relaxed); }
  uint64_t LastLatenessUs() const { return m_lastLatenessUs.load(std::memory_order_relaxed); }
  // Worker: the 99th percentile of the lateness of the cycles that began in the minute before
  // `nowMs` (0 without any).
  uint64_t LatenessP99Us(uint64_t nowMs) const;

  // Slots of the minute's record: a minute of 10 ms cycles and a margin.
  static constexpr uint32_t kKept = 8192;

 private:
  struct stCycle {
    uint64_t atMs;
    uint64_t latenessUs;
  };
  const uint32_t m_intervalUs;
  std::atomic<uint64_t> m_cycles{0};
  std::atomic<uint64_t> m_overruns{0};
  std::atomic<uint64_t> m_lastLatenessUs{0};
  stCycle m_kept[kKept] = {};  // worker only
};
