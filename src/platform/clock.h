// The millisecond clock: 32-bit milliseconds of CLOCK_MONOTONIC that wrap around about every
// 49.7 days, so differences must be taken in unsigned 32-bit arithmetic. Any thread.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds of the monotonic clock, truncated to 32 bits.
uint32_t TimeGetTime();
// Milliseconds of the monotonic clock in 64 bits: they never wrap.
uint64_t SteadyMs();

// The 32-bit millisecond value of a monotonic time in nanoseconds (what TimeGetTime reports).
constexpr uint32_t MillisecondsOf(uint64_t nanoseconds) {
  return static_cast<uint32_t>(nanoseconds / 1000000u);
}

// Milliseconds from `earlier` to `later`, correct across one wrap of the clock.
constexpr uint32_t ElapsedMs(uint32_t earlier, uint32_t later) {
  return later - earlier;
}

}  // namespace platform
