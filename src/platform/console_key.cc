#include "platform/console_key.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<bool> g_keyWaitsCancelled{false};
constexpr int kKeySliceMs = 100;

}  // namespace

// The terminal is looked at in short slices, so that the end of the process ends the wait.
bool WaitOneKey() {
  if (::isatty(STDIN_FILENO) != 1) return false;
  while (!g_keyWaitsCancelled.load()) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, kKeySliceMs) <= 0) continue;
    char key = 0;
    return ::read(STDIN_FILENO, &key, 1) == 1;
  }
  return false;
}

void CancelKeyWaits() {
  g_keyWaitsCancelled.store(true);
}

}  // namespace platform
