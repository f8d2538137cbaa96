// The lock of one link: guards its send queue and connection state. Held for a few hundred
// nanoseconds per record, so taking it costs one atomic exchange and letting it go a plain
// store; a waiter spins briefly, then yields its core. Any thread.
#pragma once

#include <atomic>
#include <thread>

namespace netlib {

class cSpinLock {
 public:
  void lock() {
    if (!m_held.exchange(true, std::memory_order_acquire)) return;
    LockSlow();
  }
  bool try_lock() { return !m_held.exchange(true, std::memory_order_acquire); }
  void unlock() { m_held.store(false, std::memory_order_release); }

 private:
  void LockSlow() {
    for (unsigned spins = 0;; ++spins) {
      if (!m_held.load(std::memory_order_relaxed) &&
          !m_held.exchange(true, std::memory_order_acquire)) {
        return;
      }
      if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      } else {
        std::this_thread::yield();
      }
    }
  }

  std::atomic<bool> m_held{false};
};

}  // namespace netlib
