#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>

#include "platform/descriptors.h"

namespace platform {

namespace {

// The permission bits of a file made by ReplaceAt: `bits` exactly, or else `bits` as the umask
// allows.
struct stMode {
  bool exact;
  mode_t bits;
};

// Makes a temporary file beside `name` in `folder` with `mode`, lets `fill` write it, syncs it
// and renames it over `name`; on any failure the temporary file is removed and `name` untouched.
bool ReplaceAt(int folder, const std::string& name, stMode mode,
               const std::function<bool(int fd)>& fill) {
  // A name of its own per writer: threads and processes never share a temporary file.
  static std::atomic<unsigned> counter{0};
  std::string tmp = name + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);

  // The name is this writer's own, so whatever stands there (a file left by a crash, or a pipe
  // or a link someone put there: open would wait for a reader for ever, or write through the
  // link into another file) is taken away; only a file made afresh is written to. Only the
  // owner reads it until it holds exact bits.
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  const mode_t createMode = mode.exact ? 0600 : mode.bits;
  int fd = ::openat(folder, tmp.c_str(), kFlags, createMode);
  if (fd < 0 && errno == EEXIST && ::unlinkat(folder, tmp.c_str(), 0) == 0)
    fd = ::openat(folder, tmp.c_str(), kFlags, createMode);
  if (fd < 0) return false;
  bool ok = !mode.exact || ::fchmod(fd, mode.bits) == 0;
  ok = ok && fill(fd);
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::renameat(folder, tmp.c_str(), folder, name.c_str()) == 0;
  if (!ok) ::unlinkat(folder, tmp.c_str(), 0);
  return ok;
}

// Writes `size` bytes of `source` from its start to `fd`; false on a failed read or write, or
// when the source ends early.
bool CopyBytes(int source, int fd, off_t size) {
  char buffer[65536];
  for (off_t done = 0; done < size;) {
    const size_t want = static_cast<size_t>(std::min<off_t>(size - done, sizeof buffer));
    const ssize_t n = ::pread(source, buffer, want, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !WriteAll(fd, std::string_view(buffer, static_cast<size_t>(n)))) return false;
    done += n;
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t newMode) {
  return WriteFileAtomicallyAt(AT_FDCWD, path, data, newMode);
}

bool WriteFileAtomicallyAt(int folder, const std::string& name, const std::string& data,
                           mode_t newMode) {
  // A file that replaces one keeps that one's mode (its owner may have narrowed it: it may hold
  // secrets); a new file is made with `newMode` as the umask allows.
  struct stat old {};
  const bool replaces = ::fstatat(folder, name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode);
  const stMode mode = replaces ? stMode{true, old.st_mode & 07777} : stMode{false, newMode};
  return ReplaceAt(folder, name, mode, [&data](int fd) { return WriteAll(fd, data); });
}

bool CopyFileAtomicallyAt(int source, int folder, const std::string& name) {
  struct stat st {};
  if (::fstat(source, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ReplaceAt(folder, name, stMode{true, st.st_mode & 0777},
                   [&](int fd) { return CopyBytes(source, fd, st.st_size); });
}

}  // namespace platform
