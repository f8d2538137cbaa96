#include "platform/left_temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/text_clean.h"

namespace platform {

namespace {

// A temporary file younger than this may still be written by a process of another PID
// namespace; the most entries of one folder looked at.
constexpr time_t kOldSeconds = 60;
constexpr int kMaxEntries = 100000;

// The PID of a name that ends in ".tmpPID-N", 0 for any other name; `base` takes what stands
// before the suffix.
pid_t TemporaryOwner(std::string_view entry, std::string_view& base) {
  const size_t at = entry.rfind(".tmp");
  const size_t dash = entry.rfind('-');
  if (at == std::string_view::npos || dash == std::string_view::npos || dash < at + 5 ||
      dash + 1 == entry.size())
    return 0;
  for (const char c : entry.substr(dash + 1))
    if (c < '0' || c > '9') return 0;
  pid_t pid = 0;
  const char* const end = entry.data() + dash;
  if (std::from_chars(entry.data() + at + 4, end, pid).ptr != end) return 0;
  base = entry.substr(0, at);
  return pid;
}

// Whether the folder open as `fd` is swept for the first time in this process. A folder is
// known by its device, inode and birth time: a folder made again may take a removed one's inode.
bool FirstSweepOf(int fd) {
  using tFolderId = std::tuple<unsigned, unsigned, uint64_t, int64_t, uint32_t>;
  static std::mutex lock;
  static std::set<tFolderId> swept;
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &sx) != 0) return false;
  const bool born = (sx.stx_mask & STATX_BTIME) != 0;
  const tFolderId id{sx.stx_dev_major, sx.stx_dev_minor, sx.stx_ino, born ? sx.stx_btime.tv_sec : 0,
                     born ? sx.stx_btime.tv_nsec : 0};
  std::lock_guard guard(lock);
  return swept.insert(id).second;
}

// Whether `entry` of the open folder `dir` is a temporary file a save left behind.
bool IsLeftBehind(int dir, const char* entry, time_t now) {
  std::string_view base;
  const pid_t pid = TemporaryOwner(entry, base);
  if (pid <= 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) return false;
  struct stat st {};
  if (::fstatat(dir, entry, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
      st.st_mtime > now - kOldSeconds)
    return false;
  struct stat beside {};
  return base.empty() ||
         ::fstatat(dir, std::string(base).c_str(), &beside, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

void SweepLeftTemporaries(int folder, const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
  const int fd =
      ::openat(folder, dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 && FirstSweepOf(fd) ? ::fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) ::close(fd);
    return;
  }
  const time_t now = std::time(nullptr);
  std::vector<std::string> left;
  const dirent* entry = nullptr;
  for (int seen = 0; seen < kMaxEntries && (entry = ::readdir(listing)) != nullptr; ++seen)
    if (IsLeftBehind(fd, entry->d_name, now)) left.emplace_back(entry->d_name);
  for (const std::string& file : left)
    if (::unlinkat(fd, file.c_str(), 0) == 0)
      std::fprintf(stderr, "%s removed: a save's temporary file, left by a process that ended\n",
                   EscapeControls(dir + file).c_str());
  ::closedir(listing);
}

}  // namespace platform
