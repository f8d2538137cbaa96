#include "tessel_server/stdin_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

bool cStdinRelay::Start() {
  int fds[2];
  if (::pipe2(m_stop, O_CLOEXEC) != 0) return false;
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  m_input = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  if (m_input < 0 || ::dup2(fds[0], 0) < 0) return false;
  ::close(fds[0]);
  m_pipe = fds[1];
  m_thread = std::thread([this] { Copy(); });
  return true;
}

void cStdinRelay::StopCopying(int input) {
  if (!m_thread.joinable()) return;
  if (input >= 0) ::dup2(input, 0);
  // Wakes the thread out of its wait on the real input.
  [[maybe_unused]] ssize_t n = ::write(m_stop[1], "x", 1);
  m_thread.join();
}

void cStdinRelay::GiveBack() {
  StopCopying(m_input);
}

cStdinRelay::~cStdinRelay() {
  if (m_thread.joinable()) {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    StopCopying(null);
    if (null >= 0) ::close(null);
  }
  for (int fd : {m_input, m_pipe, m_stop[0], m_stop[1]})
    if (fd >= 0) ::close(fd);
}

bool cStdinRelay::WriteAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(m_pipe, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void cStdinRelay::Copy() {
  char chunk[4096];
  bool lineOpen = false;  // the last byte copied was not a line end
  for (;;) {
    pollfd fds[2] = {{m_input, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return;
    const ssize_t n = ::read(m_input, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    if (!WriteAll(chunk, static_cast<size_t>(n))) return;
    lineOpen = chunk[n - 1] != '\n';
  }
  // The end of the input: finish an open line, then ask the console loop to quit.
  if (lineOpen) WriteAll("\n", 1);
  WriteAll("quit\n", 5);
}
