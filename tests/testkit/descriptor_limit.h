// Holds this process to the descriptors it has open (the soft limit at the lowest free one), so
// that the next accept, open or socket fails with EMFILE, until the end of the scope. One thread.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace testkit {

struct cDescriptorLimit {
  cDescriptorLimit() {
    ::getrlimit(RLIMIT_NOFILE, &before);
    const int lowest = ::dup(0);
    ::close(lowest);
    const rlimit none{static_cast<rlim_t>(lowest), before.rlim_max};
    held = lowest >= 0 && ::setrlimit(RLIMIT_NOFILE, &none) == 0;
  }
  ~cDescriptorLimit() {
    if (held) ::setrlimit(RLIMIT_NOFILE, &before);
  }
  rlimit before{};
  bool held = false;
};

}  // namespace testkit
