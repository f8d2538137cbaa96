#include "platform/clock.h"

#include <gtest/gtest.h>
#include <time.h>

namespace platform {
namespace {

uint64_t MonotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

TEST(Clock, MillisecondsWrapAt32Bits) {
  const uint64_t wrap_ns = (uint64_t{1} << 32) * 1000000u;
  EXPECT_EQ(MillisecondsOf(wrap_ns - 1000000u), 0xFFFFFFFFu);
  EXPECT_EQ(MillisecondsOf(wrap_ns), 0u);
  EXPECT_EQ(MillisecondsOf(wrap_ns + 5999999u), 5u);
}

TEST(Clock, ElapsedTimeIsRightAcrossTheWrap) {
  EXPECT_EQ(ElapsedMs(0xFFFFFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(ElapsedMs(100u, 350u), 250u);
}

TEST(Clock, TimeGetTimeFollowsTheMonotonicClock) {
  uint32_t before = MillisecondsOf(MonotonicNanoseconds());
  uint32_t now = TimeGetTime();
  uint32_t after = MillisecondsOf(MonotonicNanoseconds());
  EXPECT_LE(ElapsedMs(before, now), ElapsedMs(before, after));
  EXPECT_LE(ElapsedMs(now, after), ElapsedMs(before, after));
}

}  // namespace
}  // namespace platform
