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

// Whether `text` is a run of decimal digits.
bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The PID of a name a writer gives its temporary file: "NAME.tmpPID-N" (a whole-file save's, or
// ".tmpPID-N" alone) or "NAME.crash.tmpPID" (a crash record's); 0 for any other name.
pid_t TemporaryOwner(std::string_view entry) {
  const size_t at = entry.rfind(".tmp");
  if (at == std::string_view::npos) return 0;
  std::string_view digits = entry.substr(at + 4);
  const size_t dash = digits.find('-');
  const bool crash = dash == std::string_view::npos && entry.substr(0, at).ends_with(".crash");
  if (!crash && (dash == std::string_view::npos || !AllDigits(digits.substr(dash + 1)))) return 0;
  digits = digits.substr(0, dash);
  pid_t pid = 0;
  const char* const end = digits.data() + digits.size();
  if (!AllDigits(digits) || std::from_chars(digits.data(), end, pid).ptr != end) return 0;
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

// Whether `entry` of the open folder `dir` is a temporary file a writer left behind: its
// process no longer runs and it is over a minute old (a file's first save leaves one with no file
// of its name beside it).
bool IsLeftBehind(int dir, const char* entry, time_t now) {
  const pid_t pid = TemporaryOwner(entry);
  if (pid <= 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) return false;
  struct stat st {};
  return ::fstatat(dir, entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
         st.st_mtime <= now - kOldSeconds;
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
