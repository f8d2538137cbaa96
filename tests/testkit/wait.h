// The kit's bound on a wait for a condition (which ends the wait once it holds: the bound is far
// past what a loaded two-core machine takes under ThreadSanitizer). Header-only. Any thread.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testkit {

inline constexpr int kWaitMs = 30000;

// Polls `pred` every 2 ms until it holds; false when `ms` passed first.
inline bool WaitUntil(const std::function<bool()>& pred, int ms = kWaitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() >= end) return false;
  return true;
}

}  // namespace testkit
