#include "platform/home_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/folders.h"

namespace platform {

namespace {

eHomeFile Refuse(const std::string& path, const std::string& cause, std::string* why) {
  if (why != nullptr) *why = path + " " + cause;
  return eHomeFile::kRefused;
}

std::string TooLarge(std::size_t maxBytes) {
  return "is larger than " + std::to_string(maxBytes) + " bytes; it is not read";
}

bool Fail(const std::string& cause, std::string* why) {
  if (why != nullptr) *why = cause;
  return false;
}

// Reads from the non-blocking `fd` into `text` until a line end, its end or `text` is full,
// waiting for a pipe's bytes `waitMs` at most; an empty text is a failure.
bool ReadUntilLineEnd(int fd, int waitMs, std::string& text, std::string* why) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::size_t have = 0;
  while (have < text.size() && std::memchr(text.data(), '\n', have) == nullptr) {
    const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
    if (n == 0) break;
    if (n > 0) {
      have += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    const int error = errno;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (error != EAGAIN)
      return Fail(std::string("it cannot be read: ") + std::strerror(error), why);
    if (left <= 0) return Fail("nothing came within " + std::to_string(waitMs) + " ms", why);
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left)) < 0 && errno != EINTR)
      return Fail(std::string("it cannot be read: ") + std::strerror(errno), why);
  }
  text.resize(have);
  return have > 0 || Fail("it holds nothing", why);
}

}  // namespace

bool ReadFirstLine(const std::string& path, std::size_t maxBytes, int waitMs, std::string& line,
                   std::string* why) {
  line.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fail(std::string("it cannot be opened: ") + std::strerror(errno), why);
  struct stat st {};
  const bool kind = ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode));
  std::string text(maxBytes, '\0');
  const bool read = kind ? ReadUntilLineEnd(fd, waitMs, text, why)
                         : Fail("it is neither a regular file nor a pipe", why);
  ::close(fd);
  if (read) line.assign(text, 0, std::min(text.find('\n'), text.size()));
  return read;
}

eHomeFile ReadHomeFile(const std::string& path, std::size_t maxBytes, std::string& text,
                       std::string* why, const std::string& within) {
  text.clear();
  // Not blocking: a pipe without a writer opens at once (and is refused below) instead of
  // holding the reading thread until someone writes to it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      if (why != nullptr) *why = path + " does not exist";
      return eHomeFile::kMissing;
    }
    Refuse(path, std::string("cannot be opened: ") + std::strerror(error), why);
    errno = error;
    return eHomeFile::kRefused;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Refuse(path, "is no regular file; it is not read", why);
  }
  if (!within.empty() && !OpenedInFolder(fd, within)) {
    ::close(fd);
    return Refuse(path, "lies outside " + within + "; it is not read", why);
  }
  if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return Refuse(path, TooLarge(maxBytes), why);
  }
  // Files of /proc tell no size: the read stops one byte past the bound whatever the size says.
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      text.clear();
      return Refuse(path, std::string("cannot be read: ") + std::strerror(error), why);
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
      ::close(fd);
      text.clear();
      return Refuse(path, TooLarge(maxBytes), why);
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return eHomeFile::kRead;
}

}  // namespace platform
