// Holds every file this process writes to a size (a disk that fills), from construction until
// Lift() or the end of the scope; a write past it fails with EFBIG instead of raising SIGXFSZ.
// Header-only. The test's own thread.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace testkit {

class cFileSizeLimit {
 public:
  explicit cFileSizeLimit(rlim_t bytes) : m_handler(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &m_before);
    const rlimit limit{bytes, m_before.rlim_max};
    m_held = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~cFileSizeLimit() { Lift(); }
  cFileSizeLimit(const cFileSizeLimit&) = delete;
  cFileSizeLimit& operator=(const cFileSizeLimit&) = delete;

  // Whether the limit took hold (a test asserts it before relying on it).
  bool Held() const { return m_held; }
  void Lift() {
    if (!m_held) return;
    ::setrlimit(RLIMIT_FSIZE, &m_before);
    std::signal(SIGXFSZ, m_handler);
    m_held = false;
  }

 private:
  rlimit m_before{};
  void (*m_handler)(int);
  bool m_held = false;
};

}  // namespace testkit
