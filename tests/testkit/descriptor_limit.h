// Holds this process to its open descriptors (the soft limit at the lowest free one) while it
// lives.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace testkit {

struct cDescriptorLimit {
  cDescriptorLimit() {
    const int lowest = ::dup(0);
    ::close(lowest);
    ::getrlimit(RLIMIT_NOFILE, &before);
    const rlimit none{static_cast<rlim_t>(lowest), before.rlim_max};
    held = ::setrlimit(RLIMIT_NOFILE, &none) == 0;
  }
  ~cDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &before); }
  rlimit before{};
  bool held = false;
};

}  // namespace testkit
