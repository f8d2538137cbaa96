// Process-wide counts of the link floors' refusals, for the process's metrics: records and
// commands refused, by result code, and failed console logins. Relaxed atomics; any thread.
#pragma once

#include <cstdint>

// Result codes counted one by one (0 to 22); a code past them counts as kRefusalCodes - 1.
inline constexpr int kRefusalCodes = 23;

void CountRefusal(int result);
void CountLoginFailure();

struct stRunCounts {
  uint64_t refusals[kRefusalCodes] = {};
  uint64_t loginFailures = 0;
};
stRunCounts GetRunCounts();
