// Holds this process to the descriptors it has open (the soft limit at the lowest free one), so
// that the next accept, open or socket fails with EMFILE, until Lift() or the end of the scope.
// The test's thread.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace testkit {

class cDescriptorLimit {
 public:
  cDescriptorLimit() {
    ::getrlimit(RLIMIT_NOFILE, &m_before);
    const int lowest = ::dup(0);
    ::close(lowest);
    const rlimit none{static_cast<rlim_t>(lowest), m_before.rlim_max};
    m_held = lowest >= 0 && ::setrlimit(RLIMIT_NOFILE, &none) == 0;
  }
  ~cDescriptorLimit() { Lift(); }
  cDescriptorLimit(const cDescriptorLimit&) = delete;
  cDescriptorLimit& operator=(const cDescriptorLimit&) = delete;
  bool Held() const { return m_held; }
  void Lift() {
    if (m_held) ::setrlimit(RLIMIT_NOFILE, &m_before);
    m_held = false;
  }

 private:
  rlimit m_before{};
  bool m_held = false;
};

}  // namespace testkit
