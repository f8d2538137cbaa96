// Takes from the calling thread, while it lives, root's power to read and search past permission
// bits: a file or folder of mode 0 is then unreadable here as it is for the site's own user (a
// thread without that power loses nothing). The test's thread.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testkit {

class cNoReadOverride {
 public:
  cNoReadOverride() {
    ::syscall(SYS_capget, &m_head, m_before);
    __user_cap_data_struct after[2] = {m_before[0], m_before[1]};
    after[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ::syscall(SYS_capset, &m_head, after);
  }
  ~cNoReadOverride() { ::syscall(SYS_capset, &m_head, m_before); }

 private:
  __user_cap_header_struct m_head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct m_before[2]{};
};

}  // namespace testkit
