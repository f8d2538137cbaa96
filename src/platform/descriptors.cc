#include "platform/descriptors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>

namespace platform {

namespace {

// The descriptor under a standard file buffer. libstdc++ keeps it in the buffer's protected
// file member; a class derived from the buffer may name that member for any buffer.
struct cFileBufDescriptor : std::filebuf {
  static int Of(std::filebuf& buffer) {
#if defined(__GLIBCXX__)
    return (buffer.*(&cFileBufDescriptor::_M_file)).fd();
#else
    (void)buffer;
    return -1;
#endif
  }
};

}  // namespace

void SetCloseOnExec(int fd) {
  if (fd < 0) return;
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

std::unique_ptr<std::filebuf> FileBufferOver(int fd, std::ios::openmode mode) {
  auto buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, mode);
  if (buffer->is_open()) return buffer;
  ::close(fd);
  return nullptr;
}

eFileAtPath FileAtPath(std::filebuf& buffer, const std::string& path) {
  struct stat mine {};
  struct stat there {};
  if (!buffer.is_open() || ::fstat(cFileBufDescriptor::Of(buffer), &mine) != 0)
    return eFileAtPath::kThere;
  if (mine.st_nlink == 0) return eFileAtPath::kRemoved;
  // A device opened through a link at the name (/dev/null) is there while the name leads to it.
  const bool named =
      (S_ISREG(mine.st_mode) ? ::lstat(path.c_str(), &there) : ::stat(path.c_str(), &there)) == 0;
  return named && there.st_dev == mine.st_dev && there.st_ino == mine.st_ino ? eFileAtPath::kThere
                                                                             : eFileAtPath::kMoved;
}

bool HasOtherNames(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink > 1;
}

bool TakesALog(const struct stat& st) {
  return S_ISREG(st.st_mode) && !HasOtherNames(st) && st.st_uid == ::geteuid();
}

bool PathTakesALog(const std::string& path) {
  struct stat there {};
  if (::lstat(path.c_str(), &there) != 0) return errno == ENOENT;
  return TakesALog(there);
}

eForeignFile ForeignFileAt(const std::string& path) {
  struct stat there {};
  if (::lstat(path.c_str(), &there) != 0) return eForeignFile::kNone;
  if (HasOtherNames(there)) return eForeignFile::kOtherNames;
  if (!S_ISLNK(there.st_mode)) return eForeignFile::kNone;
  struct stat target {};
  const bool leads = ::stat(path.c_str(), &target) == 0;
  return (leads && S_ISREG(target.st_mode)) || (!leads && errno == ENOENT) ? eForeignFile::kSymlink
                                                                           : eForeignFile::kNone;
}

eForeignFile TakeNameFromForeignFile(const std::string& path, bool& taken) {
  const eForeignFile what = ForeignFileAt(path);
  taken = what != eForeignFile::kNone && ::unlink(path.c_str()) == 0;
  return what;
}

const char* ForeignFileWords(eForeignFile what) {
  return what == eForeignFile::kSymlink
             ? "is a symbolic link (which may lead outside the log folder)"
             : "has other names (a hard link, which may lie outside the log folder)";
}

const char* ForeignFileKept(eForeignFile what) {
  return what == eForeignFile::kSymlink ? "what it leads to is kept as it was"
                                        : "they keep it as it was";
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace platform
