#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "platform/descriptors.h"
#include "platform/left_temporaries.h"
#include "platform/text_clean.h"

namespace platform {

namespace {

// The permission bits of a file made by ReplaceAt: `bits` exactly, or else `bits` as the umask
// allows.
struct stMode {
  bool exact;
  mode_t bits;
};

// Makes a temporary file beside `name` in `folder` with `mode`, lets `fill` write it, syncs it
// and renames it over `name`, and syncs the folder (the rename is an entry of the folder: a
// power loss after a save said done could bring the old file back); on a failure before the rename
// the temporary file is removed and `name` untouched.
bool ReplaceAt(int folder, const std::string& name, stMode mode,
               const std::function<bool(int fd)>& fill) {
  // A name of its own per writer: threads and processes never share a temporary file.
  static std::atomic<unsigned> counter{0};
  const std::string own = ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  // Beside a name near the longest a folder takes, the temporary name is the suffix alone: the
  // name with it was too long, and such a file could never be saved.
  const size_t base = name.rfind('/') + 1;  // 0 without a folder
  const std::string tmp =
      name.size() - base + own.size() > NAME_MAX ? name.substr(0, base) + own : name + own;

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
  if (ok) SweepLeftTemporaries(folder, name);
  return ok && SyncFolderOf(folder, name);
}

// The file a link at `path` leads to, when that is a regular file of this program's user: the
// save goes there and the link stays (an operator links config files into a shared folder). Any
// other link (to nothing, a folder, a device, another user's file) is refused with a line on
// standard error, never replaced by a file of its own without a word.
bool LinkTarget(const std::string& path, std::string& target) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  struct stat st {};
  const bool ours = resolved != nullptr && ::stat(resolved, &st) == 0 && S_ISREG(st.st_mode) &&
                    st.st_uid == ::geteuid();
  if (resolved != nullptr) target = resolved;
  std::free(resolved);
  if (!ours)
    std::fprintf(stderr, "%s not written: it is a link to %s, no regular file of this user\n",
                 EscapeControls(path).c_str(),
                 target.empty() ? "nothing there" : EscapeControls(target).c_str());
  return ours;
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

// A file system that syncs no folder (EINVAL) is left to keep it as it does.
bool SyncFolderOf(int folder, const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  const int fd = ::openat(folder, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // a folder its user may not read: the file is in place, unsynced
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  return synced;
}

bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t newMode) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
    return WriteFileAtomicallyAt(AT_FDCWD, path, data, newMode);
  std::string target;
  return LinkTarget(path, target) && WriteFileAtomicallyAt(AT_FDCWD, target, data, newMode);
}

bool WriteFileAtomicallyAt(int folder, const std::string& name, const std::string& data,
                           mode_t newMode) {
  // A file that replaces one keeps that one's mode (its owner may have narrowed it: it may hold
  // secrets); a new file is made with `newMode` as the umask allows. A link at the name is replaced
  // as a new file is made: the mode of what it leads to (a file open to all, a program run as its
  // owner) would be the saved file's.
  struct stat old {};
  const bool replaces =
      ::fstatat(folder, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
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
