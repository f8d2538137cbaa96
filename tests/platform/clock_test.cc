#include "platform/clock.h"

#include <gtest/gtest.h>
#include <time.h>

namespace platform {
namespace {

TEST(Clock, MillisecondsWrapAt32BitsAndElapsedTimeStaysRightAcrossTheWrap) {
  const uint64_t wrap_ns = (uint64_t{1} << 32) * 1000000u;
  EXPECT_EQ(MillisecondsOf(wrap_ns - 1000000u), 0xFFFFFFFFu);
  EXPECT_EQ(MillisecondsOf(wrap_ns + 5999999u), 5u);
  EXPECT_EQ(ElapsedMs(0xFFFFFFF0u, 0x10u), 0x20u);
}

TEST(Clock, TimeGetTimeFollowsTheMonotonicClock) {
  auto monotonic = [] {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return MillisecondsOf(uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec));
  };
  uint32_t before = monotonic();
  uint32_t now = TimeGetTime();
  uint32_t after = monotonic();
  EXPECT_LE(ElapsedMs(before, now), ElapsedMs(before, after));
  EXPECT_LE(ElapsedMs(now, after), ElapsedMs(before, after));
}

}  // namespace
}  // namespace platform
