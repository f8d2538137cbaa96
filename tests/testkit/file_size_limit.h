// Holds the files this process writes to a size (a disk that fills) until Lift() or the end of
// the scope: a write past it fails with EFBIG instead of raising SIGXFSZ. The test's thread.
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
  void Lift() {
    if (m_held) ::setrlimit(RLIMIT_FSIZE, &m_before);
    if (m_held) std::signal(SIGXFSZ, m_handler);
    m_held = false;
  }

 private:
  rlimit m_before{};
  void (*m_handler)(int);
  bool m_held = false;
};

}  // namespace testkit
