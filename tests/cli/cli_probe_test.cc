// The probes that find out why a link failed end in a few seconds, however slowly the server
// or the resolver answers.
#include "tessel_cli/cli_probe.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tessel_cli/cli_options.h"

namespace {

TEST(CliProbe, AServerThatTricklesItsHandshakeEndsTheTlsProbeInAFewSeconds) {
  // The peer answers the hello with the head of a long TLS record, then sends its body a byte
  // every half second (for 30 s at most).
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof at;
  ::bind(listener, reinterpret_cast<sockaddr*>(&at), size);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size);
  std::atomic<bool> done{false};
  std::thread peer([&] {
    const int fd = ::accept(listener, nullptr, nullptr);
    char hello[4096];
    (void)!::recv(fd, hello, sizeof hello, 0);
    (void)!::send(fd, "\x16\x03\x03\x40\x00", 5, MSG_NOSIGNAL);
    for (int i = 0; i < 60 && !done; ++i) {
      (void)!::send(fd, "", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ::close(fd);
  });
  stCliOptions options;
  options.host = "127.0.0.1";
  options.port = ntohs(at.sin_port);
  const auto start = std::chrono::steady_clock::now();
  const stProbe probe = ProbeTls(options, false);
  // The probe's bound is 3 s in all; 15 s leaves room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  done = true;
  peer.join();
  ::close(listener);
  EXPECT_FALSE(probe.handshakeDone);
  EXPECT_EQ(TlsFailure(probe, options), "the server did not end the hand-shake within 3 s");
  // A host name the resolver does not answer holds the probe no longer either; the probes after
  // it wait for its lookup rather than each leaving a thread of its own on the resolver.
  static std::atomic<int> asked{0};
  SetProbeResolver([](const char*, const char*, const addrinfo*, addrinfo**) {
    return ++asked, ::sleep(60), EAI_FAIL;
  });
  options.host = "cluster.example";
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(ProbeConnect(options), kLookupLate);  // after 60 s, EHOSTUNREACH, before
  EXPECT_EQ(asked, 1);                              // 2, before
  // A name the resolver finds no address for is said so ('No route to host', before).
  SetProbeResolver(
      [](const char*, const char*, const addrinfo*, addrinfo**) { return EAI_NONAME; });
  EXPECT_EQ(ConnectFailure(ProbeConnect(options), options), "no address found for cluster.example");
  SetProbeResolver(nullptr);
}

}  // namespace
