// A tessel_server run as a studio runs it in production: its metrics scraped over HTTP.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

// The body of an HTTP GET of /metrics on a loopback port; empty when it did not answer 200.
std::string Scrape(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  const std::string ask = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(ask.size())) {
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) reply.append(chunk, n);
  }
  ::close(fd);
  const size_t body = reply.find("\r\n\r\n");
  return reply.rfind("HTTP/1.1 200", 0) == 0 && body != std::string::npos ? reply.substr(body + 4)
                                                                          : "";
}

// Sample lines by series ("name{labels}"), with their values.
std::map<std::string, double> Samples(const std::string& text) {
  std::map<std::string, double> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.rfind(' ');
    if (!line.empty() && line[0] != '#' && space != std::string::npos)
      samples[line.substr(0, space)] = std::atof(line.c_str() + space + 1);
  }
  return samples;
}

// Every family the program names has HELP then TYPE, the tessel_ prefix, _total on counters,
// base units, and only labels of bounded values. The exposer's own families are the library's.
void ExpectNamingRules(const std::string& text) {
  const std::regex help(R"(# HELP (\w+) \S.*)"), type(R"(# TYPE (\w+) (counter|gauge|histogram))");
  const std::regex sample(R"(([a-z_]+)(\{([a-z_]+)="[^"]*"(,([a-z_]+)="[^"]*")*\})? \S+)");
  const std::set<std::string> bounded = {"side",    "state",   "reason", "group",
                                         "program", "version", "le"};
  std::istringstream lines(text);
  std::smatch m, t;
  int families = 0;
  for (std::string line, next; std::getline(lines, line);) {
    if (line.rfind("exposer_", 0) == 0 || line.find(" exposer_") != std::string::npos) continue;
    if (std::regex_match(line, m, help)) {
      ++families;
      const std::string name = m[1];
      ASSERT_TRUE(std::getline(lines, next)) << line;
      ASSERT_TRUE(std::regex_match(next, t, type)) << next;
      EXPECT_EQ(t[1], name);
      EXPECT_EQ(name.rfind("tessel_", 0), 0u) << name;
      EXPECT_EQ(t[2] == "counter", name.ends_with("_total")) << name;
      EXPECT_EQ(name.find("_ms"), std::string::npos) << name;
      continue;
    }
    ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
    for (const std::string& label : {m[3].str(), m[5].str()})
      if (!label.empty()) EXPECT_EQ(bounded.count(label), 1u) << line;
  }
  EXPECT_GE(families, 15);
}

// The sum of the values of every series of a family.
double Sum(const std::map<std::string, double>& samples, const std::string& family) {
  double sum = 0;
  for (const auto& [series, value] : samples)
    if (series == family || series.rfind(family + "{", 0) == 0) sum += value;
  return sum;
}

TEST(ProductionE2e, MetricsAnswerInTheTextFormatAndMoveWithLinksCommandsAndRefusals) {
  cHome home, mapHome;
  AddAccount(home, "map", "map-pw", 16);
  AddAccount(home, "viewer", "viewer-pw", 0);
  WriteLogin(mapHome, "game", "map", "map-pw");
  cServerProcess game(home, Words("game", {"listen", "=", "0", "metrics", "=", "127.0.0.1:0"}));
  const int port = game.WaitPort("metrics");
  ASSERT_GT(port, 0) << game.Output();
  const std::string first = Scrape(port);
  ExpectNamingRules(first);
  auto before = Samples(first);
  EXPECT_EQ(before["tessel_build_info{program=\"game\",version=\"1.0.0\"}"], 1);
  const std::string loggedIn = "tessel_links{side=\"server\",state=\"logged_in\"}";
  EXPECT_EQ(before[loggedIn], 0);

  SCOPED_TRACE("a client logs in, three commands run, a login and a command are refused");
  cServerProcess map(mapHome, Words("map", ConnectTo("game", game.WaitPort("game"))));
  ASSERT_TRUE(map.WaitOutput("logined 1 game")) << map.Output();
  for (int i = 0; i < 3; ++i) game.Type("/13/ViewConfigValue('x')");
  const std::string address = "127.0.0.1:" + std::to_string(game.WaitPort("game"));
  EXPECT_EQ(RunCli(home, {"-u", "viewer", "-c", "Hello()", address}, "wrong").code, 2);
  EXPECT_EQ(RunCli(home, {"-u", "viewer", "-c", "/6/Hello()", address}, "viewer-pw").code, 2);
  std::map<std::string, double> after;
  for (int i = 0; i < 100 && (after = Samples(Scrape(port)))[loggedIn] != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(after[loggedIn], 1);
  const std::string config = "tessel_commands_total{group=\"cCmd_Config\"}";
  EXPECT_GE(after[config] - before[config], 3);
  EXPECT_EQ(after["tessel_login_failures_total"] - before["tessel_login_failures_total"], 1);
  EXPECT_GE(Sum(after, "tessel_refusals_total") - Sum(before, "tessel_refusals_total"), 1);
  EXPECT_GT(Sum(after, "tessel_link_received_records_total"),
            Sum(before, "tessel_link_received_records_total"));
  EXPECT_GT(after["tessel_worker_cycles_total"], before["tessel_worker_cycles_total"]);
  game.QuitInOrder();
}

}  // namespace
}  // namespace e2e
