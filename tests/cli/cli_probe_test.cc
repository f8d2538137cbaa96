// The probes that find out why a link failed end in a few seconds, however slowly the server
// answers.
#include "tessel_cli/cli_probe.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tessel_cli/cli_options.h"
#include "testkit/file_text.h"
#include "testkit/temp_dir.h"
#include "testkit/tls_files.h"

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
}

// A host name whose lookup does not end holds each probe no longer than its bound.
TEST(CliProbe, AHostNameTheResolverDoesNotAnswerEndsTheProbesInAFewSeconds) {
  static std::atomic<bool> s_release{false};
  SetProbeResolver([](const char*, const char* service, const addrinfo* hints, addrinfo** found) {
    for (int i = 0; i < 6000 && !s_release; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ::getaddrinfo("127.0.0.1", service, hints, found);
  });
  stCliOptions options;
  options.host = "cluster.example";
  options.port = 1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ProbeConnect(options), ETIMEDOUT);
  EXPECT_FALSE(ProbeTls(options, true).tls);
  EXPECT_FALSE(ProbePlain(options));
  // Three bounds of 3 s; each probe waited 60 s for the resolver before.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  s_release = true;
  SetProbeResolver(nullptr);
}

// The operator's certificate maker writes only NAME.crt and NAME.key in its folder, and says
// openssl's reason when openssl fails (a broken CA here).
TEST(TlsCerts, ANameThatLeavesTheFolderIsRefusedAndOpensslsReasonIsShown) {
  const testkit::cTempDir home;
  const std::string certs = home / "certs", err = home / "err";
  auto run = [&](const std::string& name) {
    return std::system(
        ("bash '" + testkit::TlsCertsScript() + "' '" + certs + "' '" + name + "' 2>'" + err + "'")
            .c_str());
  };
  for (const std::string name : {"../out", "a/b", "ca", "x,IP:10.0.0.1"}) {
    EXPECT_NE(run(name), 0) << name;
    EXPECT_NE(testkit::ReadFile(err).find("refused"), std::string::npos) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(home / "out.key"));
  EXPECT_FALSE(std::filesystem::exists(certs));
  home.write("certs/ca.crt", "junk");
  home.write("certs/ca.key", "junk");
  EXPECT_NE(run("game"), 0);
  EXPECT_NE(testkit::ReadFile(err).find("Could not read CA certificate"), std::string::npos)
      << testkit::ReadFile(err);
  EXPECT_NE(testkit::ReadFile(err).find("openssl failed making game in"), std::string::npos);
}

}  // namespace
