#include "tessel/core/audit_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

constexpr const char* kLockName = "writer.lock";

std::string LockPath(const std::string& folder) {
  return (std::filesystem::path(folder) / kLockName).string();
}

// The file at `path` when it is a regular one; -1 else (a pipe in its place is not waited on, a
// link is not followed: the holder truncates the file it takes).
int OpenRegular(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The pid the holder wrote into the lock file.
std::string HolderOf(int fd) {
  char text[24] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  std::string pid(text, n > 0 ? static_cast<size_t>(n) : 0);
  return pid.substr(0, pid.find('\n'));
}

}  // namespace

int TakeAuditWriterLock(const std::string& folder, int waitMs, std::string* held) {
  const int fd = OpenRegular(LockPath(folder), O_RDWR | O_CREAT);
  if (fd < 0) return -1;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    if ((why != EWOULDBLOCK && why != EINTR) || std::chrono::steady_clock::now() >= until) {
      if (why == EWOULDBLOCK)
        *held = folder + " is written by process " + HolderOf(fd) + " already";
      ::close(fd);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) errno = 0;
  return fd;
}

std::string AuditWriterHolder(const std::string& folder) {
  const int fd = OpenRegular(LockPath(folder), O_RDONLY);
  if (fd < 0) return {};
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  const std::string holder = held ? HolderOf(fd) : std::string();
  ::close(fd);
  return holder;
}
