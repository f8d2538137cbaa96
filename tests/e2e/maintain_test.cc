// The maintenance and OS command groups between real processes of the cluster: answers that
// come back with their prefixes, broadcasts, files carried to the requester, processes found and
// ended by name, clocks taken over from another process, planned stops and the ordered close.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/cluster.h"

extern char** environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

const bool kIgnorePipe = (::signal(SIGPIPE, SIG_IGN), true);

// Typed on a process: sends `cmd` to group `group` of its upstream named `to`.
std::string SendTo(const std::string& to, int group, const std::string& cmd) {
  return "/9/SendToServer('" + to + "'," + std::to_string(group) + ",\"" + cmd + "\")";
}

// Typed on global: sends `cmd` to group `group` of the downstream logged in as "game".
std::string SendDown(int group, const std::string& cmd) {
  return "/9/SendAccount('global','game'," + std::to_string(group) + ",\"" + cmd + "\")";
}

// The number written right after the last `key` in `text`; `fallback` when there is none.
long NumberAfterLast(const std::string& text, const std::string& key, long fallback) {
  const size_t at = text.rfind(key);
  if (at == std::string::npos) return fallback;
  return std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

// A copy of the sleep program under a name no other process has, started by the test so that
// the finder's commands touch only it. Killed and reaped by the destructor if still there.
class cSleeper {
 public:
  explicit cSleeper(const cHome& home)
      : m_name("tslsleep" + std::to_string(::getpid())), m_path(home.Path() + "/" + m_name) {
    fs::copy_file("/bin/sleep", m_path);
    std::string arg0 = m_name, seconds = "60";
    char* argv[] = {arg0.data(), seconds.data(), nullptr};
    if (::posix_spawn(&m_pid, m_path.c_str(), nullptr, nullptr, argv, environ) != 0) m_pid = -1;
    // Visible under its own program file once the exec is done.
    for (int i = 0; i < 500 && m_pid > 0 && !Execed(); ++i) usleep(2000);
  }
  ~cSleeper() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  const std::string& Name() const { return m_name; }
  bool Running() const { return m_pid > 0 && Execed(); }
  // Reaps the process within the wait bound: the signal that ended it, 0 when it did not end.
  int Reap() {
    int status = 0;
    for (int i = 0; i < kWaitMs / 20 && m_pid > 0; ++i) {
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

 private:
  bool Execed() const {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(m_pid) + "/exe", ec) == m_path;
  }
  std::string m_name;
  std::string m_path;
  pid_t m_pid = -1;
};

struct stAsk {
  const char* name;
  cServerProcess& (cCluster::*on)();  // the process the line is typed on
  std::string line;
  std::vector<std::string> expected;  // what that process prints afterwards, in this order
};

void AskAll(cCluster& cluster, const std::vector<stAsk>& asks) {
  for (const stAsk& ask : asks) {
    SCOPED_TRACE(ask.name);
    cServerProcess& process = (cluster.*ask.on)();
    const size_t mark = process.Output().size();
    process.Type(ask.line);
    size_t from = mark;
    for (const std::string& text : ask.expected) {
      ASSERT_TRUE(process.WaitOutput(text, from)) << text << "\n" << process.Output().substr(mark);
      from = process.Output().find(text, from) + text.size();
    }
  }
}

TEST(MaintainE2e, AnswersAndFilesOfAnotherProcessComeBackWithTheirPrefixes) {
  cCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Map().Output();
  // Contents that would end or nest any Lua long bracket of a naive transfer.
  const std::string contents = "a [[b]] c ]] d ]===] e ]=] f\n[==[ g $[$[ h\n\nend";
  cluster.GlobalHome().Write("servers/logs/brackets.log", contents);
  cluster.GlobalHome().Write("outside.txt", "secret");
  const std::string size = std::to_string(contents.size());
  // Logs for the cleaning: by age (whole days since the last write) and by size (over n MiB).
  const cHome& global = cluster.GlobalHome();
  const std::string mib(1 << 20, 'x');
  for (const char* file : {"servers/a/old.log", "servers/a/recent.log", "servers/a/old.txt"})
    global.Write(file, "log");
  global.Write("servers/b/big.log", mib + "x");
  global.Write("servers/b/exact.log", mib);
  global.Write("servers/b/big.txt", mib + mib);
  const auto written = fs::file_time_type::clock::now();
  for (const auto& [file, hours] :
       {std::pair{"servers/a/old.log", 72}, std::pair{"servers/a/old.txt", 72},
        std::pair{"servers/a/recent.log", 12}})
    fs::last_write_time(global.Path() + "/" + file, written - std::chrono::hours(hours));
  AskAll(cluster, {
                      {"Ver up",
                       &cCluster::Game,
                       SendTo("global", 4, "Ver()"),
                       {"Output() func_Version ip: ", "程序 global 版本"}},
                      {"Ver down",
                       &cCluster::Global,
                       SendDown(4, "Ver()"),
                       {"Output() func_Version ip: ", "程序 game 版本"}},
                      {"GetTime",
                       &cCluster::Game,
                       SendTo("global", 4, "GetTime()"),
                       {"Output() func_GetTime ip: ", "date = ", " time = "}},
                      {"GetInfos",
                       &cCluster::Map,
                       SendTo("game", 4, "GetInfos()"),
                       {"Output() func_GetInfos game ", "game_port="}},
                      {"downloadfile",
                       &cCluster::Game,
                       SendTo("global", 4, "downloadfile('logs/brackets.log')"),
                       {"writefileindex file logs/brackets.log index 0",
                        "Output() func_downloadfile ip: ", "file logs/brackets.log size " + size}},
                      {"downloadfile outside the root",
                       &cCluster::Game,
                       SendTo("global", 4, "downloadfile('../outside.txt')"),
                       {"Output() func_downloadfile ip: ", "file ../outside.txt refused"}},
                      {"cleanlog",
                       &cCluster::Game,
                       SendTo("global", 4, "cleanlog(1)"),
                       {"Output() func_cleanlog ip: ", " ok"}},
                      {"cleanlogl",
                       &cCluster::Game,
                       SendTo("global", 4, "cleanlogl(1)"),
                       {"Output() func_cleanlogl ip: ", " ok"}},
                      {"writefileindex outside the root",
                       &cCluster::Global,
                       SendDown(4, "writefileindex('../evil.txt',0,'x')"),
                       {"writefileindex refused file ../evil.txt"}},
                  });
  EXPECT_EQ(cluster.GameHome().Read("servers/logs/brackets.log"), contents);
  EXPECT_FALSE(fs::exists(cluster.GameHome().Path() + "/evil.txt"));
  EXPECT_FALSE(fs::exists(cluster.GameHome().Path() + "/servers/outside.txt"));
  const std::pair<const char*, bool> kept[] = {
      {"servers/a/old.log", false},        {"servers/a/recent.log", true},
      {"servers/a/old.txt", true},         {"servers/b/big.log", false},
      {"servers/b/exact.log", true},       {"servers/b/big.txt", true},
      {"servers/logs/brackets.log", true},
  };
  for (const auto& [file, stays] : kept)
    EXPECT_EQ(fs::exists(global.Path() + "/" + file), stays) << file;
  EXPECT_NE(cluster.Global().Output().find("delete file "), std::string::npos);
  EXPECT_TRUE(cluster.QuitAll());
}

TEST(MaintainE2e, AnotherProcessFindsAndEndsAProcessByItsProgramName) {
  cCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Map().Output();
  cSleeper sleeper(cluster.GameHome());
  ASSERT_TRUE(sleeper.Running());
  const std::string name = sleeper.Name();
  const std::string find = SendTo("global", 4, "findprocess('" + name + "')");
  const std::string kill = SendTo("global", 4, "killprocess('" + name + "')");
  // Asked before the test reaps it: a process that has ended is not found any more.
  AskAll(cluster,
         {
             {"found", &cCluster::Game, find, {"Output() func_findprocess ip: ", name + " find 1"}},
             {"ended", &cCluster::Game, kill, {"Output() func_killprocess ip: ", name + " kill 1"}},
             {"gone", &cCluster::Game, find, {name + " find 0"}},
             {"nothing left to end", &cCluster::Game, kill, {name + " kill 0"}},
         });
  EXPECT_EQ(sleeper.Reap(), SIGTERM);
  EXPECT_TRUE(cluster.QuitAll());
}

// BroadCmd reaches the processes linked right below the sender; BroadCmdReverse passes itself
// on from each of them, so that it reaches the whole cluster. Every answer goes back over the
// link the command came on.
TEST(MaintainE2e, BroadcastsFromTheTopReachTheProcessesBelowAndTheirAnswersComeBack) {
  cCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Map().Output();
  AskAll(cluster, {
                      {"BroadCmd",
                       &cCluster::Global,
                       "/4/BroadCmd(4,'Ver()')",
                       {"Output() func_Version ip: ", "程序 game 版本"}},
                      {"BroadCmd with another group",
                       &cCluster::Global,
                       "/4/BroadCmd(6,'Hello()')",
                       {"Output() Hello World!"}},
                  });
  EXPECT_EQ(cluster.Map().Output().find("func_Version"), std::string::npos);
  const size_t gameMark = cluster.Game().Output().size();
  AskAll(cluster, {{"BroadCmdReverse",
                    &cCluster::Global,
                    "/4/BroadCmdReverse(4,'Ver()')",
                    {"程序 global 版本", "Output() func_Version ip: ", "程序 game 版本"}}});
  EXPECT_TRUE(cluster.Game().WaitOutput("程序 map 版本", gameMark))
      << cluster.Game().Output().substr(gameMark);
  EXPECT_TRUE(cluster.QuitAll());
}

// The day (days since 1970) of the time planned by RestartTime('10:30'), printed after `from`
// as "YYYY_MM_DD 10:30:00"; -1 when it is not there.
long PlannedDay(const std::string& out, size_t from) {
  const size_t at = out.find(" 10:30:00", from);
  int y = 0, m = 0, d = 0;
  if (at == std::string::npos || at < 10 ||
      std::sscanf(out.c_str() + at - 10, "%4d_%2d_%2d", &y, &m, &d) != 3)
    return -1;
  const std::chrono::year_month_day day{std::chrono::year(y), std::chrono::month(m),
                                        std::chrono::day(d)};
  return std::chrono::sys_days(day).time_since_epoch().count();
}

TEST(MaintainE2e, ClocksPlannedStopsAndTheOrderedClose) {
  cCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Map().Output();
  cServerProcess& game = cluster.Game();
  const long now = static_cast<long>(std::time(nullptr));
  const int aheadDays = 3;
  const long ahead = aheadDays * 86400L;

  // The timer manager's difference set by hand: a restart time is planned on that clock.
  size_t mark = game.Output().size();
  ASSERT_TRUE(cCluster::Ask(game, "/15/OS_SetTime(" + std::to_string(now + ahead) + ",'x')",
                            "Remote date and time: "));
  EXPECT_NEAR(NumberAfterLast(game.Output().substr(mark), "TimeDiff == ", 0), ahead, 2);
  ASSERT_TRUE(cCluster::Ask(game, "/4/RestartTime('10:30')", " 10:30:00"));
  const long aheadDay = PlannedDay(game.Output(), mark);

  // The upstream's clock taken over: the difference follows it back to the machine's clock.
  mark = game.Output().size();
  ASSERT_TRUE(
      cCluster::Ask(game, SendTo("global", 15, "OS_QueryTime()"), "Remote date and time: "));
  EXPECT_NEAR(NumberAfterLast(game.Output().substr(mark), "TimeDiff == ", ahead), 0, 2);
  mark = game.Output().size();
  AskAll(cluster, {
                      {"planned",
                       &cCluster::Game,
                       "/4/RestartTime('10:30')",
                       {"func_RestartTime ip: ", " 10:30:00"}},
                      {"cancelled",
                       &cCluster::Game,
                       "/4/RestartTime('0')",
                       {"func_RestartTime ip: ", "cancel"}},
                      {"hour 24",
                       &cCluster::Game,
                       "/4/RestartTime('24:00')",
                       {"func_RestartTime ip: ", "error time format 格式为 10:30"}},
                      // Set to the present, so that even a setter gone wrong would move nothing.
                      {"machine clock refused",
                       &cCluster::Game,
                       "/4/Time(" + std::to_string(now) + ")",
                       {"func_Time ip: ", "set time failed"}},
                  });
  EXPECT_EQ(aheadDay - PlannedDay(game.Output(), mark), aheadDays) << game.Output();

  // Close on the leaf process: it ends in order, neither at once nor much later than 3 s.
  cServerProcess& map = cluster.Map();
  const auto closed = std::chrono::steady_clock::now();
  ASSERT_TRUE(cCluster::Ask(map, "/4/Close()", "func_CloseTessel ip: "));
  EXPECT_EQ(map.WaitExit(), 0) << map.Output();
  const auto took = std::chrono::steady_clock::now() - closed;
  EXPECT_GE(took, std::chrono::milliseconds(1500));
  EXPECT_LE(took, std::chrono::seconds(15));
  EXPECT_NE(map.Output().find("program quit... "), std::string::npos);
  EXPECT_FALSE(cluster.MapHome().RegistryValue("Software/tessel_server", "exittime").empty());
  EXPECT_TRUE(cluster.QuitAll());
}

}  // namespace
}  // namespace e2e
