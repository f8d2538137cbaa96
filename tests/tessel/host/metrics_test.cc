// The metrics' address: only what the exposer takes as written is served on, IPv6 only where
// the web server can listen on it; connections that send nothing do not hold up a scrape.
#include "tessel/host/metrics.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "tessel/host/worker_stats.h"
#include "testkit/stdout_capture.h"

namespace {

TEST(Metrics, OnlyAnAddressWithAPortIsServedOnAsWritten) {
  for (const char* good : {"127.0.0.1:9464", "0.0.0.0:0", "[::1]:9464", "10.1.2.3:65535"})
    EXPECT_TRUE(cMetrics::IsAddress(good)) << good;
  for (const char* bad : {"9464", ":9464", "999.1.1.1:5", "127.0.0.1:65536", "127.0.0.1:",
                          "127.0.0.1:9x", "localhost:9464", "[::1:9464", "127.0.0.1 :9464"})
    EXPECT_FALSE(cMetrics::IsAddress(bad)) << bad;
}

// Where the web server library cannot listen on IPv6, that form is refused saying so.
TEST(Metrics, AnIPv6AddressIsServedOnlyWhereTheLibraryCanListenOnIPv6) {
  cWorkerStats worker;
  cMetrics& metrics = cMetrics::Instance();
  testkit::cStdoutCapture console;
  const bool started = metrics.Start("[::1]:0", "metrics_test", "1", worker);
  EXPECT_EQ(started, cMetrics::ServesIPv6()) << console.Text();
  EXPECT_EQ(metrics.IsOn(), started);
  if (!started) {
    EXPECT_NE(console.Text().find("has no IPv6; give A.B.C.D:PORT"), std::string::npos)
        << console.Text();
  }
  metrics.Stop();
}

// A connection to 127.0.0.1:`port`; -1 when it cannot be made.
int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) return fd;
  ::close(fd);
  return -1;
}

TEST(Metrics, ConnectionsThatSendNothingDoNotHoldUpAScrape) {
  cWorkerStats worker;
  cMetrics& metrics = cMetrics::Instance();
  ASSERT_TRUE(metrics.Start("127.0.0.1:0", "metrics_test", "1", worker));
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) idle.push_back(ConnectLoopback(metrics.Port()));
  const int scrape = ConnectLoopback(metrics.Port());
  ASSERT_GE(scrape, 0);
  const std::string ask = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(::send(scrape, ask.data(), ask.size(), MSG_NOSIGNAL), ssize_t(ask.size()));
  // A scraper gives up after 10 s by default; the idle ones must not make it wait that long.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string reply;
  char chunk[4096];
  for (pollfd readable{scrape, POLLIN, 0}; std::chrono::steady_clock::now() < end;) {
    if (::poll(&readable, 1, 100) <= 0) continue;
    const ssize_t n = ::recv(scrape, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    reply.append(chunk, size_t(n));
  }
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
  EXPECT_NE(reply.find("tessel_"), std::string::npos) << reply;
  for (const int fd : idle) ::close(fd);
  ::close(scrape);
  metrics.Stop();
}

}  // namespace
