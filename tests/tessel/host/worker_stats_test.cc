// The worker's cycle statistics: overruns and the last minute's 99th percentile of lateness.
#include "tessel/host/worker_stats.h"

#include <gtest/gtest.h>

namespace {

TEST(WorkerStats, ThePercentileCoversOnlyTheLastMinuteAndOverrunsCountSlowCycles) {
  cWorkerStats stats(10000);
  // An old minute of very late cycles, then 200 recent ones: 1 ms late, three of them 50 ms.
  for (uint32_t i = 0; i < 100; ++i) stats.NoteCycle(1000 + i, 900000, 20000);
  for (uint32_t i = 0; i < 200; ++i) stats.NoteCycle(70000 + i, i < 3 ? 50000 : 1000, 500);
  EXPECT_EQ(stats.LatenessP99Us(70200), 50000u);
  EXPECT_EQ(stats.LatenessP99Us(120000), 50000u);
  stats.NoteCycle(120001, 3000, 500);
  EXPECT_EQ(stats.LastLatenessUs(), 3000u);
  EXPECT_EQ(stats.LatenessP99Us(130300), 3000u);  // only the last cycle is within the minute
  // A stall of 83 minutes is shown as it was, not wrapped at 32 bits, and is an overrun.
  stats.NoteCycle(5200000, 5000000000u, 5000000000u);
  EXPECT_EQ(stats.LatenessP99Us(5200001) + stats.LastLatenessUs(), 10000000000u);
  EXPECT_EQ(stats.Overruns(), 101u);
  EXPECT_EQ(stats.Cycles(), 302u);
}

}  // namespace
