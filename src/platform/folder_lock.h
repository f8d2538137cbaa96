// Holds the lock of the folder a file stands in against other processes, for a read, change and
// replace of that file, waiting a bounded time for it. Any thread; one owner per object.
#pragma once

#include <chrono>
#include <string>

namespace platform {

class cFolderLock {
 public:
  // How long the lock is waited for when another process holds it.
  static constexpr std::chrono::milliseconds kWait{2000};

  // Locks the folder of `file` (the folder itself: no lock file stands beside the files). Not
  // held when the folder cannot be opened or another process held it for kWait.
  explicit cFolderLock(const std::string& file);
  ~cFolderLock();
  cFolderLock(const cFolderLock&) = delete;
  cFolderLock& operator=(const cFolderLock&) = delete;

  bool Held() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

}  // namespace platform
