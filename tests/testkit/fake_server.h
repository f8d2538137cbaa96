// A server of the test's own for programs that connect to one (tessel_cli): a plain TCP listener
// on 127.0.0.1 that speaks the link's frames and answers each command record it reads with the
// records a function of the test returns. It serves one connection after another on a thread of
// its own until it is destroyed. Header-only.
#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "testkit/net_recorder.h"

namespace testkit {

class cFakeServer {
 public:
  using tRecords = std::vector<std::pair<int32_t, std::string>>;  // group, text
  // The records to send back for a record's group and text (none: silence; group < 0: close).
  using AnswerFunc = std::function<tRecords(int32_t group, const std::string& text)>;

  explicit cFakeServer(AnswerFunc answer) : m_answer(std::move(answer)) {
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof addr;
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), size);
    ::listen(m_listen, 4);
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &size);
    m_address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    m_thread = std::thread([this] { Serve(); });
  }
  ~cFakeServer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listen);
  }
  const std::string& Address() const { return m_address; }

 private:
  // Waits in short steps until `fd` can be read; false once the server is to end.
  bool Wait(int fd) {
    for (pollfd p{fd, POLLIN, 0}; !m_stop;)
      if (::poll(&p, 1, 50) > 0) return true;
    return false;
  }
  bool Read(int fd, void* into, size_t size) {
    for (size_t got = 0; got < size;) {
      const ssize_t n = Wait(fd) ? ::recv(fd, static_cast<char*>(into) + got, size - got, 0) : 0;
      if (n <= 0) return false;
      got += size_t(n);
    }
    return true;
  }
  void Serve() {
    while (Wait(m_listen)) {
      const int fd = ::accept(m_listen, nullptr, nullptr);
      uint32_t size = 0;
      std::vector<char> r;
      for (bool open = true; open && Read(fd, &size, 4) && (size & 0x7FF00000u) == 0;) {
        const bool ping = size >> 31 != 0;  // an internal frame: read and passed over
        r.resize(size & 0xFFFFFu);
        if ((size < 8 && !ping) || !Read(fd, r.data(), r.size())) break;
        if (ping) continue;
        int32_t group = 0;
        std::memcpy(&group, &r[4], 4);
        for (const auto& [to, text] :
             m_answer(group, std::string(&r[8], strnlen(&r[8], size - 8)))) {
          open = open && to >= 0;
          const std::vector<char> frame = CmdFrame(to, text);
          if (open) (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        }
      }
      ::close(fd);
    }
  }

  AnswerFunc m_answer;
  int m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string m_address;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace testkit
