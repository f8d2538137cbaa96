#include "platform/clock.h"

#include <time.h>

namespace platform {

uint32_t TimeGetTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return MillisecondsOf(static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
                        static_cast<uint64_t>(ts.tv_nsec));
}

}  // namespace platform
