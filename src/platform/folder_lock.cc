#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

namespace platform {

cFolderLock::cFolderLock(const std::string& file) {
  std::string folder = std::filesystem::path(file).parent_path().string();
  if (folder.empty()) folder = ".";
  m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const auto until = std::chrono::steady_clock::now() + kWait;
  while (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= until) {
      ::close(m_fd);
      m_fd = -1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
}

cFolderLock::~cFolderLock() {
  if (m_fd >= 0) ::close(m_fd);
}

}  // namespace platform
