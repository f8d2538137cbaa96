#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace platform {

bool WriteFileAtomically(const std::string& path, const std::string& data) {
  return WriteFileAtomicallyAt(AT_FDCWD, path, data, 0);
}

bool WriteFileAtomicallyAt(int folder, const std::string& name, const std::string& data,
                           unsigned mode) {
  // A name of its own per writer: threads and processes never share a temporary file.
  static std::atomic<unsigned> counter{0};
  std::string tmp = name + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);

  // The name is this writer's own, so whatever stands there (a file left by a crash, or a pipe
  // or a link someone put there: open would wait for a reader for ever, or write through the
  // link into another file) is taken away; only a file made afresh is written to.
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(folder, tmp.c_str(), kFlags, 0644);
  if (fd < 0 && errno == EEXIST && ::unlinkat(folder, tmp.c_str(), 0) == 0)
    fd = ::openat(folder, tmp.c_str(), kFlags, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      ok = false;
    }
  }
  // Bits asked for are set before the file takes the name.
  if (ok && mode != 0) ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::renameat(folder, tmp.c_str(), folder, name.c_str()) == 0;
  if (!ok) ::unlinkat(folder, tmp.c_str(), 0);
  return ok;
}

}  // namespace platform
