#include "tessel/host/metrics_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <iostream>
#include <utility>

namespace {

constexpr size_t kMostHead = 8192;         // a scrape's request is a few hundred bytes
constexpr size_t kMostBuffered = 1 << 20;  // of an answer the client has not taken yet

uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int PortOf(int fd) {
  sockaddr_storage at{};
  socklen_t size = sizeof at;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) return 0;
  return ntohs(at.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(at).sin6_port
                                        : reinterpret_cast<sockaddr_in&>(at).sin_port);
}

}  // namespace

bool cMetricsGate::ParseAddress(const std::string& address, sockaddr_storage& at, socklen_t& size) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::string port = address.substr(colon + 1);
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535)
    return false;
  const std::string host = address.substr(0, colon);
  at = {};
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(at);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(value));
    size = sizeof v6;
    return ::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6.sin6_addr) == 1;
  }
  auto& v4 = reinterpret_cast<sockaddr_in&>(at);
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<uint16_t>(value));
  size = sizeof v4;
  return ::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1;
}

cMetricsGate::~cMetricsGate() {
  Stop();
}

bool cMetricsGate::Start(const std::string& address, int innerPort, std::string& error) {
  Stop();
  sockaddr_storage at{};
  socklen_t size = 0;
  if (!ParseAddress(address, at, size)) {
    error = "not an address";
    return false;
  }
  m_listen = ::socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  if (m_listen >= 0) ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&at), size) != 0 ||
      ::listen(m_listen, 128) != 0 || ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    Stop();
    return false;
  }
  m_nPort = PortOf(m_listen);
  m_nInner = innerPort;
  m_bStop = false;
  m_thread = std::thread([this] { Run(); });
  return true;
}

void cMetricsGate::Stop() {
  if (m_thread.joinable()) {
    m_bStop = true;
    [[maybe_unused]] const ssize_t w = ::write(m_wake[1], "x", 1);
    m_thread.join();
  }
  for (stConn& conn : m_conns) Close(conn);
  m_conns.clear();
  for (int* fd : {&m_listen, &m_wake[0], &m_wake[1]})
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  m_nPort = 0;
}

void cMetricsGate::Run() {
  std::vector<pollfd> fds;
  while (!m_bStop.load()) {
    const bool paused = NowMs() < m_acceptAtMs;
    fds.assign({{m_wake[0], POLLIN, 0}, {paused ? -1 : m_listen, POLLIN, 0}});
    for (const stConn& conn : m_conns) {
      const bool waiting = conn.sent < conn.answer.size();
      fds.push_back({conn.client,
                     static_cast<short>(conn.inner < 0 ? POLLIN
                                        : waiting      ? POLLOUT
                                                       : 0),
                     0});
      const bool room = conn.answer.size() - conn.sent < kMostBuffered;
      fds.push_back({conn.inner, static_cast<short>(!conn.answered && room ? POLLIN : 0), 0});
    }
    ::poll(fds.data(), fds.size(), paused ? static_cast<int>(kAcceptPauseMs) : 250);
    const uint64_t nowMs = NowMs();
    size_t kept = 0;
    for (size_t i = 0; i < m_conns.size(); ++i) {
      stConn& conn = m_conns[i];
      const bool late = nowMs - conn.startMs > (conn.inner < 0 ? kRequestMs : kExchangeMs);
      if (late) ++(conn.inner < 0 ? m_idle : m_slow);
      if (late || !Serve(conn, fds[2 + 2 * i].revents, fds[3 + 2 * i].revents))
        Close(conn);
      else if (kept++ != i)
        m_conns[kept - 1] = std::move(conn);
    }
    m_conns.resize(kept);
    if ((fds[1].revents & POLLIN) != 0) Accept(nowMs);
    Report(nowMs);
  }
}

void cMetricsGate::Accept(uint64_t nowMs) {
  for (int n = 0; n < kMostOpen; ++n) {
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        AcceptFailed(nowMs, errno);
      return;
    }
    AcceptedAgain();
    if (m_conns.size() >= static_cast<size_t>(kMostOpen)) {
      // The oldest still sending its request makes room; with none, the new one is refused.
      auto idle = std::find_if(m_conns.begin(), m_conns.end(),
                               [](const stConn& conn) { return conn.inner < 0; });
      if (idle == m_conns.end()) {
        ::close(fd);
        ++m_refused;
        continue;
      }
      Close(*idle);
      m_conns.erase(idle);
      ++m_idle;
    }
    stConn conn;
    conn.client = fd;
    conn.startMs = nowMs;
    m_conns.push_back(std::move(conn));
  }
}

bool cMetricsGate::Serve(stConn& conn, short clientEvents, short innerEvents) {
  char buffer[16384];
  if (conn.inner < 0) {
    if ((clientEvents & (POLLIN | POLLHUP | POLLERR)) == 0) return true;
    const ssize_t got =
        ::recv(conn.client, buffer, std::min(sizeof buffer, kMostHead - conn.head.size()), 0);
    if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EINTR);
    conn.head.append(buffer, static_cast<size_t>(got));
    const bool whole = conn.head.find("\r\n\r\n") != std::string::npos ||
                       conn.head.find("\n\n") != std::string::npos;
    return whole || conn.head.size() >= kMostHead ? HandOver(conn) : true;
  }
  if ((innerEvents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    const ssize_t got = ::recv(conn.inner, buffer, sizeof buffer, 0);
    if (got > 0) conn.answer.append(buffer, static_cast<size_t>(got));
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) conn.answered = true;
  }
  if (conn.sent < conn.answer.size() && (clientEvents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
    const ssize_t put = ::send(conn.client, conn.answer.data() + conn.sent,
                               conn.answer.size() - conn.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    conn.sent += static_cast<size_t>(std::max<ssize_t>(put, 0));
  }
  if (conn.sent == conn.answer.size()) {
    conn.answer.clear();
    conn.sent = 0;
  }
  return !conn.answered || !conn.answer.empty();
}

// Connects to the web server (on loopback, waiting a second at most), gives it the request and
// ends the writing side: a scrape sends nothing after its request.
bool cMetricsGate::HandOver(stConn& conn) {
  conn.inner = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval second{1, 0};
  sockaddr_in at{AF_INET, htons(static_cast<uint16_t>(m_nInner)), {htonl(INADDR_LOOPBACK)}, {}};
  if (conn.inner < 0 ||
      ::setsockopt(conn.inner, SOL_SOCKET, SO_SNDTIMEO, &second, sizeof second) != 0 ||
      ::connect(conn.inner, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::send(conn.inner, conn.head.data(), conn.head.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(conn.head.size())) {
    ++m_unpassed;
    m_unpassedError = errno;
    return false;
  }
  ::shutdown(conn.inner, SHUT_WR);
  ::fcntl(conn.inner, F_SETFL, ::fcntl(conn.inner, F_GETFL) | O_NONBLOCK);
  conn.head.clear();
  return true;
}

void cMetricsGate::Close(stConn& conn) {
  // What the client sent after its request is read first: closed with it unread, the socket
  // would be reset, and the end of the answer lost on its way.
  char buffer[4096];
  for (int n = 0; n < 16 && conn.client >= 0 && conn.inner >= 0 &&
                  ::recv(conn.client, buffer, sizeof buffer, MSG_DONTWAIT) > 0;
       ++n) {
  }
  for (int* fd : {&conn.client, &conn.inner})
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
}

// The connection stays in the listener's queue: the listener stays ready, and polled at once it
// made the gate's thread run at full speed (a core's half) as long as no descriptor was free.
void cMetricsGate::AcceptFailed(uint64_t nowMs, int error) {
  if (m_acceptFailed++ == 0)
    std::cout << "cMetricsGate::Run can not accept metrics connections: " << std::strerror(error)
              << "; tries again every " << kAcceptPauseMs << " ms" << std::endl;
  m_acceptAtMs = nowMs + kAcceptPauseMs;
}

void cMetricsGate::AcceptedAgain() {
  if (m_acceptFailed == 0) return;
  std::cout << "cMetricsGate::Run accepts metrics connections again after " << m_acceptFailed
            << " failed attempts" << std::endl;
  m_acceptFailed = 0;
}

void cMetricsGate::Report(uint64_t nowMs) {
  if (m_idle + m_slow + m_refused + m_unpassed == 0 || nowMs < m_nextLineMs) return;
  m_nextLineMs = nowMs + 1000;
  if (m_unpassed != 0)
    std::cout << "cMetricsGate::Run closed " << m_unpassed
              << " metrics connections unanswered: the web server could not be reached: "
              << std::strerror(m_unpassedError) << std::endl;
  m_unpassed = 0;
  if (m_idle + m_slow + m_refused == 0) return;
  std::cout << "cMetricsGate::Run closed " << m_idle << " metrics connections that sent no request"
            << " within " << kRequestMs / 1000 << " s or made room (" << kMostOpen
            << " open at most), " << m_slow << " still open after " << kExchangeMs / 1000
            << " s; refused " << m_refused << " with " << kMostOpen << " busy" << std::endl;
  m_idle = m_slow = m_refused = 0;
}
