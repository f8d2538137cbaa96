#include "platform/clock.h"

#include <time.h>

#include <chrono>

namespace platform {

uint32_t TimeGetTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return MillisecondsOf(static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
                        static_cast<uint64_t>(ts.tv_nsec));
}

uint64_t SteadyMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace platform
