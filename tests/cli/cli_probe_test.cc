// The probes that find out why a link failed end in a few seconds, however slowly the server
// answers.
#include "tessel_cli/cli_probe.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tessel_cli/cli_options.h"

namespace {

// A peer on 127.0.0.1 that answers a hello with the head of a long TLS record and then sends
// its body a byte every half second, until told to stop (or for 30 s).
class cTricklingPeer {
 public:
  cTricklingPeer() {
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof at;
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&at), size);
    ::listen(m_listen, 4);
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&at), &size);
    m_port = ntohs(at.sin_port);
    m_thread = std::thread([this] { Trickle(); });
  }
  ~cTricklingPeer() {
    m_stop = true;
    m_thread.join();
    ::close(m_listen);
  }
  unsigned short Port() const { return m_port; }

 private:
  void Trickle() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pollfd ready{m_listen, POLLIN, 0};
    while (!m_stop && ::poll(&ready, 1, 100) == 0) continue;
    const int fd = m_stop ? -1 : ::accept(m_listen, nullptr, nullptr);
    char hello[4096];
    (void)!::recv(fd, hello, sizeof hello, 0);
    const char head[] = {0x16, 0x03, 0x03, 0x40, 0x00};
    (void)!::send(fd, head, sizeof head, MSG_NOSIGNAL);
    while (!m_stop && std::chrono::steady_clock::now() < end) {
      (void)!::send(fd, "", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (fd >= 0) ::close(fd);
  }

  int m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unsigned short m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

TEST(CliProbe, AServerThatTricklesItsHandshakeEndsTheTlsProbeInAFewSeconds) {
  cTricklingPeer peer;
  stCliOptions options;
  options.host = "127.0.0.1";
  options.port = peer.Port();
  const auto start = std::chrono::steady_clock::now();
  const stProbe probe = ProbeTls(options, false);
  const auto took = std::chrono::steady_clock::now() - start;
  // The probe's bound is 3 s in all; 15 s leaves room for a loaded machine.
  EXPECT_LT(took, std::chrono::seconds(15));
  EXPECT_EQ(probe.connectError, 0);
  EXPECT_FALSE(probe.handshakeDone);
  EXPECT_TRUE(probe.timedOut);
  EXPECT_EQ(TlsFailure(probe, options), "the server did not end the hand-shake within 3 s");
}

}  // namespace
