// A tessel_server run as a studio runs it in production: its metrics scraped over HTTP, and
// supervised by a service manager through a notify socket of the test's own.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

// The body of an HTTP GET of /metrics on a loopback port; empty when it did not answer 200
// (a read waits 20 s at most).
std::string Scrape(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in at{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
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

// Whether `name` is a metric or label name of lower-case letters and underscores.
bool IsSnakeName(const std::string& name) {
  return !name.empty() &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos;
}

// Every family the program names has HELP then TYPE, the tessel_ prefix, _total on counters,
// base units, and only labels of bounded values. The exposer's own families are the library's.
void ExpectNamingRules(const std::string& text) {
  const std::set<std::string> types = {"counter", "gauge", "histogram"};
  const std::set<std::string> bounded = {"side",    "state",   "reason", "group",
                                         "program", "version", "le"};
  std::istringstream lines(text);
  int families = 0;
  for (std::string line, next; std::getline(lines, line);) {
    if (line.rfind("exposer_", 0) == 0 || line.find(" exposer_") != std::string::npos) continue;
    if (line.rfind("# HELP ", 0) == 0) {
      ++families;
      const std::string name = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_GT(line.size(), 8 + name.size()) << line;
      ASSERT_TRUE(std::getline(lines, next)) << line;
      EXPECT_EQ(next.rfind("# TYPE " + name + " ", 0), 0u) << next;
      const std::string type = next.substr(std::min(next.size(), 8 + name.size()));
      EXPECT_EQ(types.count(type), 1u) << next;
      EXPECT_TRUE(IsSnakeName(name)) << name;
      EXPECT_EQ(name.rfind("tessel_", 0), 0u) << name;
      EXPECT_EQ(type == "counter", name.ends_with("_total")) << name;
      EXPECT_EQ(name.find("_ms"), std::string::npos) << name;
      continue;
    }
    // name{key="value",...} value
    const size_t brace = line.find('{'), space = line.rfind(' ');
    ASSERT_NE(space, std::string::npos) << line;
    EXPECT_TRUE(IsSnakeName(line.substr(0, std::min(brace, space)))) << line;
    if (brace == std::string::npos) continue;
    for (size_t at = brace + 1; at < space && line[at] != '}';) {
      const size_t eq = line.find("=\"", at), close = line.find('"', eq + 2);
      ASSERT_NE(close, std::string::npos) << line;
      EXPECT_EQ(bounded.count(line.substr(at, eq - at)), 1u) << line;
      at = close + 1 + (line[close + 1] == ',');
    }
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
  EXPECT_TRUE(game.WaitOutput("on http://127.0.0.1:" + std::to_string(port) + "/metrics (port "));
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

// A notify socket as systemd binds one: the datagrams the service sends, each with the time the
// kernel took it (so that the test's own pauses do not bunch them up).
class cNotifySocket {
 public:
  struct stNote {
    std::string text;
    double at = 0;  // seconds
  };
  explicit cNotifySocket(const std::string& path) : m_path(path) {
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::snprintf(at.sun_path, sizeof at.sun_path, "%s", path.c_str());
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << path;
  }
  ~cNotifySocket() { ::close(m_fd); }
  std::string Env() const { return "NOTIFY_SOCKET=" + m_path; }

  // The next datagram within `ms`; empty text when none came.
  stNote Next(int ms = kWaitMs) {
    pollfd ready{m_fd, POLLIN, 0};
    stNote note;
    if (::poll(&ready, 1, ms) != 1) return note;
    char text[512], control[CMSG_SPACE(sizeof(timeval))];
    iovec part{text, sizeof text};
    msghdr msg{};
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(m_fd, &msg, 0);
    note.text.assign(text, n > 0 ? static_cast<size_t>(n) : 0);
    if (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr && c->cmsg_type == SO_TIMESTAMP) {
      timeval tv;
      std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
      note.at = static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6;
    }
    return note;
  }
  // Reads until a datagram holding `text` arrived (true) or none came for kWaitMs.
  bool WaitFor(const std::string& text) {
    for (stNote note = Next(); !note.text.empty(); note = Next())
      if (note.text.find(text) != std::string::npos) return true;
    return false;
  }
  // How many datagrams holding `text` arrive until none comes for `quietMs`.
  int CountUntilQuiet(const std::string& text, int quietMs) {
    int count = 0;
    for (stNote note = Next(quietMs); !note.text.empty(); note = Next(quietMs))
      count += note.text.find(text) != std::string::npos;
    return count;
  }

 private:
  std::string m_path;
  int m_fd = -1;
};

// Under systemd: READY once the link upstream logged in, a status line, WATCHDOG from the cycle
// at half the interval asked for (also with no descriptor free) and none while the worker is held,
// STOPPING when SIGTERM begins the orderly end, and exit code 0.
TEST(ProductionE2e, UnderSystemdItNotifiesReadyWatchdogAndStoppingAndEndsOnSigtermInOrder) {
  cHome globalHome, home;
  AddAccount(globalHome, "game", "game-pw", 16);
  WriteLogin(home, "global", "game", "game-pw");
  cServerProcess global(globalHome, Words("global", Listen()));
  cNotifySocket notify(home / "notify");
  std::vector<std::string> words = ConnectTo("global", global.WaitPort("global"));
  words.insert(words.end(), {"console", "=", "1"});
  words = Words("game", words);
  words.insert(words.begin(), {"--nofile=256", TESSEL_SERVER_EXE});
  cServerProcess game(home, words, "/usr/bin/prlimit", {notify.Env(), "WATCHDOG_USEC=200000"});
  ASSERT_TRUE(notify.WaitFor("READY=1")) << game.Output();
  EXPECT_NE(game.Output().find("logined 1 global"), std::string::npos);
  EXPECT_TRUE(notify.WaitFor("STATUS=links 1/1 up, lateness "));

  SCOPED_TRACE("the pings, then none while the worker is held");
  std::vector<double> pings;
  while (pings.size() < 6) {
    const cNotifySocket::stNote note = notify.Next();
    ASSERT_FALSE(note.text.empty());
    if (note.text == "WATCHDOG=1") pings.push_back(note.at);
  }
  for (size_t i = 1; i < pings.size(); ++i) EXPECT_GE(pings[i] - pings[i - 1], 0.09);
  game.Type("all = {} for i = 1, 300 do all[i] = io.open('/dev/null') end");  // none left
  int pinged = 0;
  for (int i = 0; i < 10; ++i) pinged += notify.Next(1000).text == "WATCHDOG=1";
  EXPECT_GE(pinged, 5);
  game.Type("all = nil collectgarbage()");
  game.Type("io.write('held\\n') io.flush() while not io.open('go') do end");
  ASSERT_TRUE(game.WaitOutput("held\n")) << game.Output();
  notify.CountUntilQuiet("", 0);
  EXPECT_EQ(notify.CountUntilQuiet("WATCHDOG=1", 1000), 0);
  home.write("go", "");
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1"));

  SCOPED_TRACE("SIGTERM");
  game.Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1"));
  EXPECT_EQ(game.WaitExit(), 0) << game.Output();
}

// An upstream that takes the connection and never answers the login (its worker hangs, with no
// deadline for logins) holds READY back for 30 s at most, and a line names the link it waited for.
TEST(ProductionE2e, AnUpstreamThatNeverAnswersTheLoginHoldsReadyBackForThirtySecondsAtMost) {
  cHome globalHome, home;
  globalHome.write("config/config_int.ini", "lua_time_limit = 0\nlogin_deadline = 0\n");
  WriteLogin(home, "global", "game", "game-pw");
  cServerProcess global(globalHome, Words("global", Listen()));
  global.Type("io.write('held\\n') io.flush() while true do end");
  ASSERT_TRUE(global.WaitOutput("held\n")) << global.Output();
  cNotifySocket notify(home / "notify");
  cServerProcess game(home, Words("game", ConnectTo("global", global.WaitPort("global"))),
                      TESSEL_SERVER_EXE, {notify.Env()});
  bool ready = false;  // a STATUS note comes every second
  for (int notes = 0; notes < 90 && !ready; ++notes) ready = notify.Next(1000).text == "READY=1";
  EXPECT_TRUE(ready && game.WaitOutput(" still in their first attempt: global\n")) << game.Output();
}

// A service manager that leaves the notes unread (its queue full) does not hold the worker up.
TEST(ProductionE2e, ANotifySocketLeftUnreadDoesNotHoldTheWorker) {
  cHome home;
  cNotifySocket notify(home / "notify");
  cServerProcess game(home, Words("game", {"console", "=", "1"}), TESSEL_SERVER_EXE,
                      {notify.Env(), "WATCHDOG_USEC=2000"});  // a ping every cycle
  std::this_thread::sleep_for(std::chrono::seconds(6));       // some 600 notes unread
  EXPECT_TRUE(game.Ask("print('still' .. 'here')", {"stillhere"})) << game.Output();
  game.QuitInOrder();
}

// Under systemd the standard input is /dev/null: the process runs without a console until it
// is stopped, instead of taking the end of its input for "quit".
TEST(ProductionE2e, WithoutAConsoleTheServiceRunsUntilItIsStopped) {
  cHome home;
  cNotifySocket notify(home / "notify");
  cServerProcess game(home, Words("game", Listen()), TESSEL_SERVER_EXE,
                      {notify.Env(), "INVOCATION_ID=1", "JOURNAL_STREAM=1:1"});  // not its output
  game.CloseInput();
  ASSERT_TRUE(notify.WaitFor("READY=1")) << game.Output();
  EXPECT_NE(game.Output().find("append cout tessel.info"), std::string::npos) << game.Output();
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(notify.WaitFor("STATUS="));
  EXPECT_TRUE(game.Alive());
  game.Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1"));
  EXPECT_EQ(game.WaitExit(), 0) << game.Output();
  // The operator's Restart() ends it in order as well, with the code the unit restarts it on.
  AddAccount(home, "ops", "ops-pw9", 16);
  cServerProcess again(home, Words("game", Listen()), TESSEL_SERVER_EXE,
                       {notify.Env(), "INVOCATION_ID=1"});
  const std::string address = "127.0.0.1:" + std::to_string(again.WaitPort("game"));
  EXPECT_EQ(RunCli(home, {"-u", "ops", "-c", "/4/Restart()", address}, "ops-pw9").code, 0);
  EXPECT_EQ(again.WaitExit(), 5) << again.Output();
}

// tessel_cli status: every process once, in tree order (a process's client links first, then
// the accounts logged in on it), and exit code 0; with one process killed, that process shown
// as unreachable and exit code 1.
TEST(ProductionE2e, StatusShowsTheThreeProcessClusterInTreeOrderAndAKilledOneUnreachable) {
  cCluster cluster;
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  AddAccount(cluster.gameHome, "ops", "ops-pw", 16);
  const std::string address = "127.0.0.1:" + std::to_string(cluster.game->WaitPort("game"));
  const stCliRun run = RunCli(cluster.gameHome, {"status", "-u", "ops", address}, "ops-pw");
  EXPECT_EQ(run.code, 0) << run.err;
  const std::vector<std::string> lines = testkit::Lines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_EQ(lines[0].rfind("game game 1.0.0  up ", 0), 0u) << run.out;
  EXPECT_EQ(lines[1].rfind("├─ global global 1.0.0  up ", 0), 0u) << run.out;
  EXPECT_EQ(lines[2].rfind("└─ map map 1.0.0  up ", 0), 0u) << run.out;
  EXPECT_NE(lines[2].find("  links 1/1  lateness p99 "), std::string::npos) << run.out;

  const stCliRun json =
      RunCli(cluster.gameHome, {"status", "--json", "-u", "ops", address}, "ops-pw");
  EXPECT_EQ(json.code, 0) << json.err;
  EXPECT_TRUE(testkit::InOrder(json.out, {"{\"processes\":[", "{\"name\":\"game\",\"parent\":null",
                                          "{\"name\":\"global\",\"parent\":\"game\"",
                                          "{\"name\":\"map\",\"parent\":\"game\",\"depth\":1,"
                                          "\"reachable\":true,\"program\":\"map\"",
                                          "]}"}));

  AddAccount(cluster.gameHome, "viewer", "viewer-pw", 0);  // may not ask Status(): told so
  const std::string refused =
      RunCli(cluster.gameHome, {"status", "--json", "-u", "viewer", address}, "viewer-pw").out;
  EXPECT_NE(refused.find(R"("reachable":false,"why":"refused by game: )"), refused.npos) << refused;

  SCOPED_TRACE("global killed");
  cluster.global->Signal(SIGKILL);
  ASSERT_TRUE(cluster.game->WaitOutput("cBridgeClient::OnDisconnect client global"));
  const stCliRun lost =
      RunCli(cluster.gameHome, {"status", "-u", "ops", "--wait", "2", address}, "ops-pw");
  EXPECT_EQ(lost.code, 1) << lost.err;
  EXPECT_TRUE(testkit::InOrder(
      lost.out, {"game game", "├─ global  unreachable (no answer within 2 s)\n", "└─ map map"}));
}

// A chain of five processes, each connecting to the one before, seen from the middle one: up
// the chain first, then down.
TEST(ProductionE2e, StatusShowsAFiveProcessChainFromItsMiddleInTreeOrder) {
  cHome homes[5];
  std::vector<std::unique_ptr<cServerProcess>> chain;
  int port = 0;
  for (int i = 0; i < 5; ++i) {
    const std::string name = "p" + std::to_string(i + 1);
    std::vector<std::string> words = Listen();
    if (i > 0) {
      AddAccount(homes[i - 1], name, "chain-pw", 16);
      WriteLogin(homes[i], "p" + std::to_string(i), name, "chain-pw");
      for (const std::string& word : ConnectTo("p" + std::to_string(i), port))
        words.push_back(word);
    }
    chain.push_back(std::make_unique<cServerProcess>(homes[i], Words(name, words)));
    port = chain.back()->WaitPort(name);
    ASSERT_GT(port, 0) << chain.back()->Output();
    if (i == 0) continue;
    ASSERT_TRUE(chain.back()->WaitOutput("logined 1 p" + std::to_string(i)));
  }
  AddAccount(homes[2], "ops", "ops-pw", 16);
  const stCliRun run = RunCli(
      homes[2], {"status", "-u", "ops", "127.0.0.1:" + std::to_string(chain[2]->WaitPort("p3"))},
      "ops-pw");
  EXPECT_EQ(run.code, 0) << run.err;
  const std::vector<std::string> lines = testkit::Lines(run.out);
  const std::vector<std::string> tree = {"p3 p3 ", "├─ p2 p2 ", "│  └─ p1 p1 ", "└─ p4 p4 ",
                                         "   └─ p5 p5 "};
  ASSERT_EQ(lines.size(), tree.size()) << run.out;
  for (size_t i = 0; i < tree.size(); ++i) EXPECT_EQ(lines[i].rfind(tree[i], 0), 0u) << run.out;
}

}  // namespace
}  // namespace e2e
