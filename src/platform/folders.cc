#include "platform/folders.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <system_error>

namespace platform {

namespace {

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && IsFolder(path);
}

// A path names a folder when it ends in '/' or its last part carries no '.'.
bool NamesFolder(const std::string& path) {
  if (path.empty() || path.back() == '/') return true;
  size_t last = path.find_last_of('/');
  std::string_view tail(path);
  if (last != std::string::npos) tail.remove_prefix(last + 1);
  return tail.find('.') == std::string_view::npos;
}

}  // namespace

std::string ToSlashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool CreateNestedFolders(const std::string& given) {
  std::string path = ToSlashes(given);
  if (NamesFolder(path) && (path.empty() || path.back() != '/')) path += '/';
  for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
    // The root ("/" or a doubled separator) is nothing to create.
    if (at == 0 || path[at - 1] == '/') continue;
    std::string prefix = path.substr(0, at);
    if (!IsFolder(prefix) && !MakeFolder(prefix)) return false;
  }
  return true;
}

int DeleteOldFiles(const std::string& given, int days) {
  std::string folder = ToSlashes(given);
  if (folder.empty() || folder.back() != '/') folder += '/';
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return 0;
  const std::time_t now = std::time(nullptr);
  int deleted = 0;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = folder + name;
    // lstat: a link is judged (and removed) as itself, never followed to what it points at.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    if (AgeInDays(now, st.st_mtime) > days && ::unlink(path.c_str()) == 0) ++deleted;
  }
  return deleted;
}

namespace {

// Whether `path` is `root` or lies below it, part by part (both already real paths).
bool StartsWith(const std::filesystem::path& path, const std::filesystem::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty() && std::next(r) == root.end()) break;  // a trailing '/' of the root
    if (p == path.end() || *p != *r) return false;
  }
  return true;
}

// Whether a part of the path is a symbolic link to nothing: its real path cannot be known
// before its target exists, and writing through it would make that target wherever it points.
bool HasDanglingLink(const std::filesystem::path& path) {
  std::filesystem::path prefix;
  for (const std::filesystem::path& part : path) {
    prefix /= part;
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(prefix, ec)) &&
        !std::filesystem::exists(std::filesystem::status(prefix, ec)))
      return true;
  }
  return false;
}

// Opens `path` as a place only (no reading, no side effect of a device, no wait for a pipe's
// other end) and keeps it when its kind is `kind` and it lies in `root`.
int OpenPlaceInFolder(const std::filesystem::path& root, const std::filesystem::path& path,
                      mode_t kind) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (st.st_mode & S_IFMT) != kind || !OpenedInFolder(fd, root)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Opens again, with `flags`, what the place descriptor `place` holds (closing it): through the
// descriptor, the very file or folder judged, not a path looked up anew. -1 for a place of -1.
int ReopenPlace(int place, int flags) {
  if (place < 0) return -1;
  const std::string self = "/proc/self/fd/" + std::to_string(place);
  const int fd = ::open(self.c_str(), flags | O_CLOEXEC);
  ::close(place);
  return fd;
}

}  // namespace

bool OpenedInFolder(int fd, const std::filesystem::path& root) {
  std::error_code ec;
  const std::filesystem::path realRoot = std::filesystem::weakly_canonical(root, ec);
  if (ec) return false;
  const std::filesystem::path real =
      std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  return !ec && real.is_absolute() && StartsWith(real, realRoot);
}

int OpenFileInFolder(const std::filesystem::path& root, const std::filesystem::path& path,
                     int flags) {
  return ReopenPlace(OpenPlaceInFolder(root, path, S_IFREG), flags | O_NOCTTY);
}

int OpenFolderInFolder(const std::filesystem::path& root, const std::filesystem::path& path) {
  return ReopenPlace(OpenPlaceInFolder(root, path, S_IFDIR), O_RDONLY | O_DIRECTORY);
}

int MakeFoldersInFolder(const std::filesystem::path& root, const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  int folder = OpenFolderInFolder(root, root);
  for (const std::filesystem::path& part : path.lexically_relative(root).parent_path()) {
    if (folder < 0) break;
    if (part.empty() || part == ".") continue;
    if (::mkdirat(folder, part.c_str(), 0777) != 0 && errno != EEXIST) {
      ::close(folder);
      return -1;
    }
    const int next = ::openat(folder, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    folder = next >= 0 && OpenedInFolder(next, root) ? next : -1;
    if (folder < 0 && next >= 0) ::close(next);
  }
  return folder;
}

int OpenAppendAt(const std::filesystem::path& root, int folder, const std::filesystem::path& path,
                 mode_t newMode) {
  constexpr int kAppend = O_WRONLY | O_APPEND;
  const int fd = ::openat(folder, path.filename().c_str(),
                          kAppend | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, newMode);
  if (fd < 0 && errno == EEXIST) return OpenFileInFolder(root, path, kAppend);
  return fd;
}

int OpenAppendInFolder(const std::filesystem::path& root, const std::filesystem::path& path) {
  const int folder = MakeFoldersInFolder(root, path);
  if (folder < 0) return -1;
  const int fd = OpenAppendAt(root, folder, path);
  ::close(folder);
  return fd;
}

bool LiesInFolder(const std::filesystem::path& root, const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path realRoot = std::filesystem::weakly_canonical(root, ec);
  if (ec) return false;
  const std::filesystem::path real = std::filesystem::weakly_canonical(path, ec);
  return !ec && StartsWith(real, realRoot) && !HasDanglingLink(path);
}

bool ConfineToFolder(const std::filesystem::path& root, const std::string& name,
                     std::filesystem::path& out) {
  const std::string slashed = ToSlashes(name);
  if (slashed.empty() || slashed.front() == '/') return false;
  if (slashed.size() >= 2 && slashed[1] == ':') return false;
  const std::filesystem::path relative(slashed);
  bool named = false;
  for (const std::filesystem::path& part : relative) {
    if (part == "..") return false;
    if (!part.empty() && part != ".") named = true;
  }
  if (!named) return false;
  if (!LiesInFolder(root, root / relative)) return false;
  out = root / relative;
  return true;
}

}  // namespace platform
