#include "tessel/host/metrics_gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <utility>

#include "platform/clock.h"

namespace {

constexpr size_t kMostHead = 8192;  // a scrape's request is a few hundred bytes

constexpr std::string_view kFailedAnswer =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 64\r\nConnection: close\r\n\r\n"
    "Error 500: Internal Server Error\nthe metrics could not be built\n";

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

bool cMetricsGate::Start(const std::string& address, Answerer answer, std::string& error) {
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
  m_answer = std::move(answer);
  m_takeAtMs = 0;
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
    const bool taking = platform::SteadyMs() >= m_takeAtMs;
    fds.assign({{m_wake[0], POLLIN, 0}, {m_listen, static_cast<short>(taking ? POLLIN : 0), 0}});
    for (const stConn& conn : m_conns)
      fds.push_back({conn.client, static_cast<short>(conn.answered ? POLLOUT : POLLIN), 0});
    ::poll(fds.data(), fds.size(), 250);
    const uint64_t nowMs = platform::SteadyMs();
    size_t kept = 0;
    for (size_t i = 0; i < m_conns.size(); ++i) {
      stConn& conn = m_conns[i];
      const bool late = nowMs - conn.startMs > (conn.answered ? kExchangeMs : kRequestMs);
      if (late) ++(conn.answered ? m_slow : m_idle);
      if (late || !Serve(conn, fds[2 + i].revents))
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
    // Out of descriptors (or memory), the connection stays queued and the socket ready: taken
    // again at once, the thread would spin on a core until one is freed. It waits a second.
    if (fd < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
        errno != ECONNABORTED) {
      std::cout << "cMetricsGate::Accept can not take a metrics connection: "
                << std::strerror(errno) << "; tries again in " << kRetakeMs / 1000 << " s"
                << std::endl;
      m_takeAtMs = nowMs + kRetakeMs;
    }
    if (fd < 0) return;
    if (m_conns.size() >= static_cast<size_t>(kMostOpen)) {
      // The oldest still sending its request makes room; with none, the new one is refused.
      auto idle = std::find_if(m_conns.begin(), m_conns.end(),
                               [](const stConn& conn) { return !conn.answered; });
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

bool cMetricsGate::Serve(stConn& conn, short events) {
  if (!conn.answered) {
    if ((events & (POLLIN | POLLHUP | POLLERR)) == 0) return true;
    char buffer[4096];
    const ssize_t got =
        ::recv(conn.client, buffer, std::min(sizeof buffer, kMostHead - conn.head.size()), 0);
    if (got <= 0) return got < 0 && (errno == EAGAIN || errno == EINTR);
    conn.head.append(buffer, static_cast<size_t>(got));
    const bool whole = conn.head.find("\r\n\r\n") != std::string::npos ||
                       conn.head.find("\n\n") != std::string::npos;
    if (!whole && conn.head.size() < kMostHead) return true;
    if (!AnswerTo(conn, whole)) return false;
    conn.answered = true;
    // Sent at once where the socket takes it, which it mostly does: one poll round fewer.
    events = POLLOUT;
  }
  if ((events & (POLLOUT | POLLERR | POLLHUP)) == 0) return true;
  const ssize_t put = ::send(conn.client, conn.answer.data() + conn.sent,
                             conn.answer.size() - conn.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (put < 0) return errno == EAGAIN || errno == EINTR;
  conn.sent += static_cast<size_t>(put);
  return conn.sent < conn.answer.size();
}

bool cMetricsGate::AnswerTo(stConn& conn, bool whole) {
  try {
    conn.answer = m_answer(conn.head, whole);
    return true;
  } catch (const std::exception& e) {
    std::snprintf(m_failure, sizeof m_failure, "%s", e.what());
  } catch (...) {
    std::snprintf(m_failure, sizeof m_failure, "an exception of no standard type");
  }
  ++m_failed;
  try {
    conn.answer = std::string(kFailedAnswer);
    return true;
  } catch (...) {
    return false;
  }
}

void cMetricsGate::Close(stConn& conn) {
  // What the client sent after its request is read first: closed with it unread, the socket
  // would be reset, and the end of the answer lost on its way.
  char buffer[4096];
  for (int n = 0; n < 16 && conn.client >= 0 && conn.answered &&
                  ::recv(conn.client, buffer, sizeof buffer, MSG_DONTWAIT) > 0;
       ++n) {
  }
  if (conn.client >= 0) ::close(std::exchange(conn.client, -1));
}

void cMetricsGate::Report(uint64_t nowMs) {
  if (m_idle + m_slow + m_refused + m_failed == 0 || nowMs < m_nextLineMs) return;
  if (m_failed > 0)
    std::cout << "cMetricsGate::Run answered " << m_failed
              << " metrics requests 500 Internal Server Error: their answer could not be built ("
              << m_failure << ")" << std::endl;
  m_failed = 0;
  m_nextLineMs = nowMs + 1000;
  if (m_idle + m_slow + m_refused == 0) return;
  std::cout << "cMetricsGate::Run closed " << m_idle << " metrics connections that sent no request"
            << " within " << kRequestMs / 1000 << " s or made room (" << kMostOpen
            << " open at most), " << m_slow << " still open after " << kExchangeMs / 1000
            << " s; refused " << m_refused << " with " << kMostOpen << " busy" << std::endl;
  m_idle = m_slow = m_refused = 0;
}
