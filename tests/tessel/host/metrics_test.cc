// The metrics' address: only what is served as written is taken; the served port is the only
// one open; idle connections or ones sending a body hold up no scrape.
#include "tessel/host/metrics.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "netlib/net_counters.h"
#include "tessel/core/cmd.h"
#include "tessel/host/metrics_gate.h"
#include "tessel/host/worker_stats.h"
#include "testkit/child_process.h"
#include "testkit/descriptor_limit.h"
#include "testkit/in_order.h"
#include "testkit/stdout_capture.h"

namespace {

TEST(Metrics, OnlyAnAddressWithAPortIsServedOnAsWritten) {
  for (const char* good : {"127.0.0.1:9464", "0.0.0.0:0", "[::1]:9464", "10.1.2.3:65535"})
    EXPECT_TRUE(cMetrics::IsAddress(good)) << good;
  for (const char* bad : {"9464", ":9464", "999.1.1.1:5", "127.0.0.1:65536", "127.0.0.1:",
                          "127.0.0.1:9x", "localhost:9464", "[::1:9464", "127.0.0.1 :9464"})
    EXPECT_FALSE(cMetrics::IsAddress(bad)) << bad;
}

// The sockets this process listens on.
int Listening() {
  int listening = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    int on = 0;
    socklen_t size = sizeof on;
    ::getsockopt(std::stoi(fd.path().filename()), SOL_SOCKET, SO_ACCEPTCONN, &on, &size);
    listening += on;
  }
  return listening;
}

// A socket for the metrics port, whose address `at` gets; it waits 20 s at most for a reply.
int MetricsSocket(sockaddr_in& at, int port = cMetrics::Instance().Port()) {
  at = {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// The whole answer of the metrics port to one request; what came when a read waited 20 s.
std::string Ask(const std::string& request, int port = cMetrics::Instance().Port()) {
  sockaddr_in at{};
  const int fd = MetricsSocket(at, port);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0)
    for (char chunk[4096]; ssize_t got = std::max<ssize_t>(::recv(fd, chunk, sizeof chunk, 0), 0);)
      reply.append(chunk, static_cast<size_t>(got));
  ::close(fd);
  return reply;
}

// The served port is the only one the metrics open: a web server's port on loopback behind it
// let any local user hold its threads with idle connections (100 made a scrape wait 24 s). The
// answers a scraper sees stay those of that web server, and say the connection closes.
TEST(Metrics, OnlyTheServedPortIsOpenAndItAnswersAsAWebServer) {
  cWorkerStats worker;
  const int before = Listening();
  ASSERT_TRUE(cMetrics::Instance().Start("127.0.0.1:0", "metrics_test", "1", worker));
  EXPECT_EQ(Listening(), before + 1);
  const std::string scrape = Ask("GET /metrics HTTP/1.0\r\n\r\n");
  EXPECT_EQ(scrape.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                         "Content-Length: " +
                             std::to_string(scrape.size() - scrape.find("\r\n\r\n") - 4) +
                             "\r\nConnection: close\r\n\r\n# HELP exposer_transferred_bytes_total",
                         0),
            0u)
      << scrape;
  EXPECT_TRUE(
      testkit::InOrder(scrape, {"tessel_build_info{program=\"metrics_test\",version=\"1\"} 1\n"}));
  EXPECT_NE(Ask("GET /metrics HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n")
                .find("\r\nContent-Encoding: gzip\r\n"),
            std::string::npos);
  for (const auto& [request, status] :
       std::map<std::string, std::string>{{"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
                                          {"PUT /metrics HTTP/1.0\r\n\r\n", "HTTP/1.0 405 "},
                                          {"hello\r\n\r\n", "HTTP/1.0 400 "},
                                          {"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/2.0 505 "}})
    EXPECT_EQ(Ask(request).rfind(status, 0), 0u) << request;
  cMetrics::Instance().Stop();
  EXPECT_EQ(Listening(), before);
}

// An answer that threw (out of memory) ended the process: it is answered 500, said, and served.
TEST(Metrics, AnAnswerThatCannotBeBuiltIsAnswered500AndTheGateGoesOn) {
  testkit::cStdoutCapture console;
  cMetricsGate gate;
  std::string error;
  ASSERT_TRUE(gate.Start(
      "127.0.0.1:0",
      [first = true](std::string_view, bool) mutable -> std::string {
        if (std::exchange(first, false)) throw std::bad_alloc();
        return "HTTP/1.1 200 OK\r\n\r\n";
      },
      error));
  EXPECT_EQ(Ask("GET /metrics HTTP/1.0\r\n\r\n", gate.Port()).substr(0, 12), "HTTP/1.1 500");
  EXPECT_EQ(Ask("GET /metrics HTTP/1.0\r\n\r\n", gate.Port()), "HTTP/1.1 200 OK\r\n\r\n");
  gate.Stop();
  EXPECT_NE(console.Text().find("answer could not be built (std::bad_alloc)"), std::string::npos);
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
  std::vector<int> fds;  // 90 idle ones, 9 trickling, then the scrape
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
    for (int i = 90; i < 99; ++i) ::send(fds[i], "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    got = ::recv(fds.back(), reply.data(), reply.size(), MSG_DONTWAIT);
  }
  reply.resize(std::max<ssize_t>(0, got));
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
  ASSERT_GT(::recv(fds[90], reply.data(), reply.size(), 0), 0);  // a body is refused at once
  EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
  for (const int fd : fds) ::close(fd);
  cMetrics::Instance().Stop();
  EXPECT_TRUE(testkit::InOrder(console.Text(),
                               {"metrics connections that sent no request within 2 s or made "
                                "room (64 open at most)"}));
}

// Out of descriptors, a connection waiting on the metrics port could not be taken, and the
// gate took it again at once, spinning on a core; it says so, waits, and serves it afterwards.
TESSEL_CHILD_SCENARIO(metrics_out_of_descriptors) {
  cWorkerStats worker;
  if (!cMetrics::Instance().Start("127.0.0.1:0", "metrics_test", "1", worker)) return 3;
  sockaddr_in at{};
  const int fd = MetricsSocket(at);
  {
    const testkit::cDescriptorLimit none;  // no descriptor more for the gate to take it with
    ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    ::send(fd, "GET /metrics HTTP/1.0\r\n\r\n", 25, MSG_NOSIGNAL);
    ::usleep(1500000);
  }
  char reply[16] = {};
  return ::recv(fd, reply, sizeof reply - 1, MSG_WAITALL) > 0 &&
                 std::string(reply).starts_with("HTTP/1.1 200")
             ? 0
             : 4;
}

TEST(Metrics, AConnectionThatCannotBeTakenForWantOfDescriptorsIsSaidAndServedLater) {
#ifdef TESSEL_SANITIZED
  // A sanitizer checks memory through a pipe of its own: with no descriptor left it reports a
  // sound object as a bad one (UBSan's type check on std::cout in the gate's line).
  GTEST_SKIP() << "a sanitizer's own checks need descriptors";
#endif
  testkit::cTempDir dir;
  const stChildResult r = RunChildScenario(dir.path(), "metrics_out_of_descriptors", false);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("cMetricsGate::Accept can not take a metrics connection: Too many open "
                       "files; tries again in 1 s"),
            std::string::npos)
      << r.out;
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
