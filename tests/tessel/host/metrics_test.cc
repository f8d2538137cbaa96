// The metrics' address: only what the exposer takes as written is served on, IPv6 only where
// the web server can listen on it; idle connections or ones sending a body hold up no scrape.
#include "tessel/host/metrics.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "netlib/net_counters.h"
#include "tessel/core/cmd.h"
#include "tessel/host/worker_stats.h"
#include "testkit/descriptor_limit.h"
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
TEST(Metrics, AnIPv6AddressIsRefusedSayingSoWhereTheLibraryHasNoIPv6) {
  if (cMetrics::ServesIPv6()) GTEST_SKIP() << "this civetweb listens on IPv6";
  cWorkerStats worker;
  testkit::cStdoutCapture console;
  EXPECT_FALSE(cMetrics::Instance().Start("[::1]:0", "metrics_test", "1", worker));
  EXPECT_NE(console.Text().find("has no IPv6; give A.B.C.D:PORT"), std::string::npos)
      << console.Text();
}

// A scraper gives up after 10 s by default: connections that send nothing (100 of them held it
// 25 s), or that trickle a request body a byte at a time (the web server read it to its end),
// must not make it wait; the idle ones closed are said.
TEST(Metrics, ConnectionsThatSendNothingOrTrickleABodyDoNotHoldUpAScrape) {
  cWorkerStats worker;
  testkit::cStdoutCapture console;
  ASSERT_TRUE(cMetrics::Instance().Start("127.0.0.1:0", "metrics_test", "1", worker));
  sockaddr_in at{AF_INET,
                 htons(static_cast<uint16_t>(cMetrics::Instance().Port())),
                 {htonl(INADDR_LOOPBACK)},
                 {}};
  std::vector<int> fds{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};  // held, 90 idle, 9 slow
  if (testkit::cDescriptorLimit none; none.held) {  // no busy accept loop with none free
    ASSERT_EQ(::connect(fds[0], reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const std::clock_t before = std::clock();
    ::usleep(2000000);
    EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 5);  // a tenth of a core
  }
  for (int i = 0; i <= 99; ++i) {
    fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(fds.back(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const std::string body = "GET /metrics HTTP/1.1\r\nHost: t\r\nContent-Length: 99999\r\n\r\n";
    if (i >= 90 && i < 99) ::send(fds.back(), body.data(), body.size(), MSG_NOSIGNAL);
  }
  const std::string ask = "GET /metrics HTTP/1.0\r\n\r\n";
  ::send(fds.back(), ask.data(), ask.size(), MSG_NOSIGNAL);
  std::string reply(4096, '\0');
  ssize_t got = -1;  // within 10 s, the trickling ones sending a byte every 250 ms
  for (int n = 0; n < 40 && got <= 0; ++n, ::usleep(250000)) {
    for (int i = 91; i < 100; ++i) ::send(fds[i], "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    got = ::recv(fds.back(), reply.data(), reply.size(), MSG_DONTWAIT);
  }
  reply.resize(std::max<ssize_t>(0, got));
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
  ASSERT_GT(::recv(fds[91], reply.data(), reply.size(), 0), 0);  // a body is refused at once
  EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
  for (const int fd : fds) ::close(fd);
  cMetrics::Instance().Stop();
  EXPECT_NE(console.Text().find("metrics connections that sent no request within 2 s or made "
                                "room (64 open at most)"),
            std::string::npos)
      << console.Text();
  EXPECT_NE(console.Text().find("accept metrics connections: Too many open files"),
            std::string::npos);
}

// Cuts without a reason and with a program's own reason are exported ("none", "other").
TEST(Metrics, EveryCutCountedIsExportedUnderAReason) {
  for (const uint32_t reason : {0u, 99u}) netlib::CountCut(reason, false);
  const std::string text = cMetrics::Instance().Text();
  for (const std::string label : {"none", "other"})
    EXPECT_NE(text.find("disconnects_total{reason=\"" + label + "\"} 1\n"), std::string::npos);
}

// A group named longer than a slot, or "other", keeps one series: a long name took a new slot
// whenever the lookup had forgotten it (more groups ran than it keeps), cut inside a character
// (no UTF-8: a scrape is refused); "other" stood beside the overflow's series.
TEST(Metrics, AGroupWithALongNameOrNamedOtherKeepsOneSeries) {
  struct cNamed : cCmd {
    void bind_cln(lua_State*) override {}
    const char* GetName() override { return name; }
    const char* name = "cCmd_Short";
  };
  std::vector<cNamed> groups(41);
  std::vector<std::string> names(30, "cCmd_");
  for (int i = 2; i < 30; ++i) groups[i].name = (names[i] += std::to_string(i)).c_str();
  groups[0].name = "cCmd_AGroupWhoseNameIsLongerThanAMetricsSlots队列";
  groups[1].name = "other";
  for (int i = 0; i < 3 * 41; ++i) cMetrics::Instance().NoteCmd(groups[i % 41], 1000);
  const std::string text = cMetrics::Instance().Text(), other = "_total{group=\"other\"}",
                    series = "_total{group=\"cCmd_AGroupWhoseNameIsLongerThanAMetricsSlots\"}";
  EXPECT_TRUE(text.find(series) != text.npos && text.find(series) == text.rfind(series)) << text;
  EXPECT_EQ(text.find(other), text.rfind(other)) << text;
}

}  // namespace
