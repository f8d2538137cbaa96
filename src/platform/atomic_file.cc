#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/descriptors.h"

namespace platform {

bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t newMode) {
  return WriteFileAtomicallyAt(AT_FDCWD, path, data, newMode);
}

bool WriteFileAtomicallyAt(int folder, const std::string& name, const std::string& data,
                           mode_t newMode) {
  // A name of its own per writer: threads and processes never share a temporary file.
  static std::atomic<unsigned> counter{0};
  std::string tmp = name + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);

  // The name is this writer's own, so whatever stands there (a file left by a crash, or a pipe
  // or a link someone put there: open would wait for a reader for ever, or write through the
  // link into another file) is taken away; only a file made afresh is written to.
  // A file that replaces one keeps that one's mode (its owner may have narrowed it: it may hold
  // secrets), and only the owner reads it until then; a new file is made as the umask allows.
  struct stat old {};
  const bool replaces = ::fstatat(folder, name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode);
  const mode_t createMode = replaces ? 0600 : newMode;
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(folder, tmp.c_str(), kFlags, createMode);
  if (fd < 0 && errno == EEXIST && ::unlinkat(folder, tmp.c_str(), 0) == 0)
    fd = ::openat(folder, tmp.c_str(), kFlags, createMode);
  if (fd < 0) return false;
  bool ok = !replaces || ::fchmod(fd, old.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, data);
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::renameat(folder, tmp.c_str(), folder, name.c_str()) == 0;
  if (!ok) ::unlinkat(folder, tmp.c_str(), 0);
  return ok;
}

}  // namespace platform
