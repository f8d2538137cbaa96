// Attacks of a hostile peer on a running tessel_server, one table: after each the server is alive
// and serves a real client (logs in, gets an answer), its memory and log folder have grown within
// bounds, nothing was written outside its home and no code ran for a peer that never logged in.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "tessel/link/origin_record.h"
#include "testkit/fake_server.h"
#include "testkit/net_recorder.h"
#include "testkit/scoped_env.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testkit::CmdFrame;
using testkit::cRawPeer;
using testkit::Frame;
using Clock = std::chrono::steady_clock;

#ifdef TESSEL_SANITIZED  // the sanitizer's allocator keeps up to 256 MiB freed in its quarantine
constexpr long kRssBoundKb = (64 + 256) * 1024;
#else
constexpr long kRssBoundKb = 64 * 1024;
#endif
constexpr uintmax_t kLogBoundBytes = 16 << 20;

uintmax_t FolderBytes(const fs::path& folder) {
  uintmax_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  return total;
}

// A peer that sends `login` at once (unless it is empty); Ask sends a command and waits for `want`
// in what comes back after it, or stops early at `other`.
struct cClient {
  explicit cClient(int port, const std::string& login = "Login('ops','pw')") : peer(port) {
    if (!login.empty()) loggedIn = Ask(2, login, "Logined(1,", "already logined");
  }
  bool Ask(int group, const std::string& text, const std::string& want,
           const std::string& other = "") {
    const size_t mark = got.size();
    if (!peer.Write(CmdFrame(group, text))) return false;
    for (auto end = Clock::now() + std::chrono::milliseconds(kWaitMs); Clock::now() < end;) {
      const bool closed = peer.ReadUntil(got, 50);
      const std::string seen(got.begin() + mark, got.end());
      if (seen.find(want) != std::string::npos) return true;
      if (!other.empty() && seen.find(other) != std::string::npos) return false;
      if (closed) break;
    }
    return false;
  }
  cRawPeer peer;
  std::vector<char> got;
  bool loggedIn = false;
};

// A fresh client logs in and is served. A login is tried again until the wait ends when the
// attack's own client, logged in as the same account, is not gone yet, or when the link bound
// closed the connection while the ends of the attack's links are still being counted.
bool Served(int port) {
  for (auto end = Clock::now() + std::chrono::milliseconds(kWaitMs); Clock::now() < end;) {
    cClient client(port);
    if (client.loggedIn) return client.Ask(4, "Ver()", "Output(");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Holds `count` connections to the server that each sent `bytes` and nothing more.
void HoldMany(int port, int count, const std::vector<char>& bytes,
              const std::function<void()>& then) {
  std::vector<std::unique_ptr<cRawPeer>> held;
  for (int i = 0; i < count; ++i) held.emplace_back(std::make_unique<cRawPeer>(port))->Write(bytes);
  then();
}

TEST(AttackE2e, TheServerOutlivesEveryAttackAndStillServesWithinItsBounds) {
  struct stAttack {
    const char* name;
    const char* configInt;  // the configuration's integer file
    std::function<void(cServerProcess&, int port, bool& servedMeanwhile)> run;
    const char* never = "";  // output that must not appear
  };
  const std::vector<char> halfFrame = {100, 0, 0, 0, 'h', 'a', 'l', 'f'};
  const stAttack attacks[] = {
      {"flood of refused 100 KB records", "",
       [](cServerProcess&, int port, bool& served) {
         const std::vector<char> record = CmdFrame(4, std::string(100000, 'f'));
         std::thread flood([&] {
           cRawPeer peer(port);
           for (auto end = Clock::now() + std::chrono::seconds(2); Clock::now() < end;)
             if (!peer.Write(record)) break;
         });
         served = Served(port);
         flood.join();
       }},
      {"half-open links", "",
       [&](cServerProcess&, int port, bool& served) {
         HoldMany(port, 150, halfFrame, [&] { served = Served(port); });
       }},
      {"idle links", "",
       [](cServerProcess&, int port, bool& served) {
         HoldMany(port, 150, {}, [&] { served = Served(port); });
       }},
      {"long answers asked for by a peer that reads none", "",
       [](cServerProcess&, int port, bool& served) {
         cClient client(port);
         for (int i = 0; i < 40; ++i)
           client.peer.Write(CmdFrame(6, "for i = 1, 100000 do Hello() end"));
         served = Served(port);
       }},
      {"empty account name, then Account('')", "check_login = 0\n",
       [](cServerProcess& server, int port, bool&) {
         cClient(port, "Login('','x')");
         ASSERT_TRUE(server.WaitOutput("disconnect for")) << server.Output();
         server.Type("/1/Account('')");
         EXPECT_TRUE(server.WaitOutput("noplayer")) << "a record is left under the empty name";
       }},
      {"Logined from a stranger", "",
       [](cServerProcess&, int port, bool&) {
         cRawPeer(port).Write(CmdFrame(2, "Logined(1,'evil')"));
       },
       "func_Logined"},
      {"a command from a stranger", "",
       [](cServerProcess&, int port, bool&) {
         cRawPeer(port).Write(CmdFrame(4, "io.open('made_by_stranger','w'):close()"));
       }},
      {"bytecode", "",
       [](cServerProcess&, int port, bool&) {
         cClient client(port);
         client.peer.Write(CmdFrame(4, "\x1bLua\x51 not source"));
         EXPECT_TRUE(client.Ask(4, "Ver()", "Output("));
       }},
      {"a login named after a pipe among the account files", "",
       [](cServerProcess&, int port, bool&) {
         EXPECT_TRUE(cClient(port, "").Ask(2, "Login('pipe','pw')", "Logined(0,"));
       }},
      {"Record out of its folder", "",
       [](cServerProcess&, int port, bool&) {
         cClient client(port);
         client.peer.Write(CmdFrame(16, "Record('../../../x')"));
         EXPECT_TRUE(client.Ask(4, "Ver()", "Output("));
       }},
      {"a script state asked for a gigabyte", "lua_memory_limit = 16\n",
       [](cServerProcess& server, int port, bool&) {
         cClient client(port);
         client.peer.Write(CmdFrame(11, "RunScriptString('s', \"x = ('x'):rep(2^30)\")"));
         EXPECT_TRUE(server.WaitOutput("not enough memory (a script's Lua state may hold 16 MiB"));
       }},
  };
  for (const stAttack& attack : attacks) {
    SCOPED_TRACE(attack.name);
    // The home lies two folders down, so that a path climbing out of it stays in `outer`.
    cHome outer;
    fs::create_directories(outer.path() / "a/b");
    auto tmp = std::make_unique<ScopedEnv>("TMPDIR", (outer.path() / "a/b").c_str());
    cHome home;
    tmp.reset();
    AddAccount(home, "ops", "pw", 16);
    ASSERT_EQ(::mkfifo((home / "db/accounts/pipe.ini").c_str(), 0600), 0);  // left by someone
    home.write("config/config_int.ini", attack.configInt);
    home.write("s.lua", "");
    cServerProcess server(home, Words("game", Listen()));
    const int port = server.WaitPort("game");
    ASSERT_GT(port, 0) << server.Output();
    const long rssBefore = RssKb(server.Pid());
    bool servedMeanwhile = true;
    attack.run(server, port, servedMeanwhile);
    EXPECT_TRUE(servedMeanwhile) << server.Output().substr(0, 4000);
    EXPECT_TRUE(Served(port)) << server.Output().substr(0, 4000);
    if (!server.Alive()) {
      ADD_FAILURE() << "the server died\n" << server.Output();
      continue;
    }
    if (*attack.never) {
      EXPECT_EQ(server.Output().find(attack.never), std::string::npos);
    }
    EXPECT_LT(RssKb(server.Pid()) - rssBefore, kRssBoundKb);
    EXPECT_LT(FolderBytes(home.path() / "log"), kLogBoundBytes);
    EXPECT_FALSE(fs::exists(home / "made_by_stranger"));
    EXPECT_EQ(std::distance(fs::directory_iterator(outer.path() / "a"), {}), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(outer.path()), {}), 1);
  }
}

// Each connection is a new link, so a budget per link does not bound a stranger opening and
// closing connections by the hundred: the lines about links coming and going, and those of the
// records its links send before a login (in the exception log and the audit trail), keep to
// budgets of the endpoint, the rest is summed up, and the links are served all the same.
TEST(AttackE2e, ConnectionChurnWritesFewerLinkLinesThanConnections) {
  cHome home;
  AddAccount(home, "ops", "pw", 16);
  cServerProcess server(home, Words("game", Listen()));
  const int port = server.WaitPort("game");
  ASSERT_GT(port, 0) << server.Output();
  constexpr int kConnections = 600;
  std::vector<char> records = CmdFrame(4, "Ver()");
  const std::vector<char> logout = CmdFrame(2, "Logout()");
  for (int i = 0; i < 20; ++i) records.insert(records.end(), logout.begin(), logout.end());
  for (int i = 0; i < kConnections; i += 50) {  // each batch held until its records arrived
    std::vector<std::unique_ptr<cRawPeer>> batch;
    for (int j = 0; j < 50; ++j)
      batch.emplace_back(std::make_unique<cRawPeer>(port))->Write(records);
    std::vector<char> got;
    batch.back()->ReadUntil(got, 100);
  }
  EXPECT_TRUE(Served(port));
  ASSERT_TRUE(server.WaitOutput("lines left out")) << server.Output().substr(0, 4000);
  EXPECT_LT(testkit::CountOf(server.Output(), " link id "), size_t{kConnections});
  EXPECT_TRUE(server.WaitOutput("left out of this log and the audit trail"))
      << server.Output().substr(0, 4000);
  EXPECT_LT(testkit::CountOf(server.Output(), "RefuseStranger"), size_t{kConnections});
  const std::string trail = TrailOf(home);
  for (auto end = Clock::now() + std::chrono::seconds(5);
       CountLines(trail, {"text=Ver()", "outcome=ran"}) == 0 && Clock::now() < end;)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LT(CountLines(trail, {"origin=-\t"}), kConnections);
  EXPECT_GT(CountLines(trail, {"kind=dropped\tcount="}), 0) << "the trail names no line left out";
}

// A logged-in peer that reads its long answers a few KiB a second and asks for one every 2 s is
// waited for in full once; afterwards the worker waits for it only a small share of the time
// (its answers are cut sooner), and another client is served meanwhile; so it stays when the
// peer logs in again after each answer it does not read.
TEST(AttackE2e, APeerThatReadsATrickleIsWaitedForInFullOnlyOnce) {
  cHome home;
  AddAccount(home, "ops", "pw", 16);
  AddAccount(home, "slow", "pw", 16);
  cServerProcess server(home, Words("game", Listen()));
  const int port = server.WaitPort("game");
  ASSERT_GT(port, 0) << server.Output();
  cClient slow(port, "Login('slow','pw')");
  ASSERT_TRUE(slow.loggedIn);
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (int i = 0; !done && i < 300; ++i) {
      if (i % 10 == 0) slow.peer.Write(CmdFrame(6, "for i = 1, 100000 do Hello() end"));
      std::vector<char> bytes;
      slow.peer.ReadUntil(bytes, 100, 8192);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  cClient ops(port);
  int answered = 0;
  for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(500)))
    answered += ops.Ask(4, "Ver()", "func_Version") ? 1 : 0;
  done = true;
  trickle.join();
  EXPECT_EQ(answered, 50);
  // Logging in again gives the link a fresh allowance, but not the links' shared one; answers of
  // 13 MB fill the loopback's buffers.
  size_t from = server.Output().size();
  for (int i = 0; i < 5; ++i)
    for (const auto& [group, text] : {std::pair{6, "for i = 1, 1000000 do Hello() end"},
                                      {2, "Logout()"},
                                      {2, "Login('slow','pw')"}})
      slow.peer.Write(CmdFrame(group, text));
  for (int i = 0; i < 5; ++i, from = server.Output().find("login as", from) + 1)
    ASSERT_TRUE(server.WaitOutput("login as", from)) << server.Output().substr(0, 4000);
  // A routed command's answer is paced as well: sent at once, it passed the send bound and cut
  // the link.
  for (int i = 0; i < 3; ++i)
    slow.peer.Write(CmdFrame(7, "SendPathCmd('me','game','',6,'for i=1,1000000 do Hello() end')"));
  for (const char* text : {"Logout()", "Login('slow','pw')"}) slow.peer.Write(CmdFrame(2, text));
  ASSERT_TRUE(server.WaitOutput("login as", from)) << server.Output().substr(0, 4000);
  EXPECT_EQ(server.Output().find("passed its bound"), std::string::npos);
  EXPECT_EQ(testkit::CountOf(server.Output(), "did not read them within 2 s"), 1u)
      << server.Output().substr(0, 4000);
}

// A cmd = 1 account redefines the login group's functions every way it can think of, also by
// code it leaves to run later. The next operator's login never reaches those definitions, which
// would keep the password in a file, and the operator logs in and is served.
TEST(AttackE2e, ALowAccountNeverSeesTheNextOperatorsPassword) {
  cHome home;
  AddAccount(home, "low", "lowpw", 1);
  AddAccount(home, "ops", "0ps-secret", 16);
  cServerProcess server(home, Words("game", Listen()));
  const int port = server.WaitPort("game");
  ASSERT_GT(port, 0) << server.Output();
  cClient low(port, "Login('low','lowpw')");
  ASSERT_TRUE(low.loggedIn);
  const std::string keep =
      "function(a, p) local f = io.open('stolen', 'a') f:write(p, '\\n') f:close() end";
  const std::string attempts[] = {
      "Login = " + keep,
      "_G.Login = " + keep,
      "rawset(_G, 'Login', " + keep + ")",
      "getfenv(0).Login = " + keep,
      "getfenv(Logout).Login = " + keep,
      "loadstring([[Login = " + keep + "]])()",
      "package.loaded._G.Login = " + keep,
      "local m = {} package.seeall(m) getmetatable(m).__index.Login = " + keep,
      "string.format = " + keep,
      // A kept chunk the account took hold of (setfenv hands it back), called after its run.
      "if ... then rawset(_G, 'Log' .. 'in', " + keep + ") else K = setfenv(1, getfenv(1)) end",
      "K(1)",
  };
  int mark = 0;
  for (const std::string& attempt : attempts) {
    SCOPED_TRACE(attempt);
    low.peer.Write(CmdFrame(2, attempt));
    const std::string n = std::to_string(++mark);
    EXPECT_TRUE(low.Ask(2, "Mark(" + n + ")", "Marked(" + n + ")"));
  }
  low.peer.Write(CmdFrame(11, "StartYield(function() Yield(100) ParseCmd([[/2/Login = " + keep +
                                  "]]) print('deferred ' .. 'done') io.stdout:flush() end)"));
  ASSERT_TRUE(server.WaitOutput("deferred done")) << server.Output();
  cClient ops(port, "Login('ops','0ps-secret')");
  EXPECT_TRUE(ops.loggedIn);
  EXPECT_TRUE(ops.Ask(4, "Ver()", "Output("));
  EXPECT_FALSE(fs::exists(home / "stolen"));
  EXPECT_EQ(server.Output().find("0ps-secret"), std::string::npos);
}

bool Holds(const std::vector<char>& bytes, const std::string& text) {
  return std::string(bytes.begin(), bytes.end()).find(text) != std::string::npos;
}

// A record of the origin type: `kind`, the hash of the command it goes with, its text.
std::vector<char> OriginFrame(uint32_t kind, uint32_t hash, const std::string& text) {
  const uint32_t fields[3] = {kind, 0, hash};
  std::string body(reinterpret_cast<const char*>(fields), sizeof fields);
  return Frame(stMsg_Origin::kType, body + text + '\0');
}

// The origin a process sends before the command (`group`, `text`) it goes with.
std::vector<char> OriginFrame(int group, const std::string& text, const std::string& rights) {
  return OriginFrame(stMsg_Origin::kOrigin, CmdHash(group, text), rights);
}

// An operator's account that claims an origin is refused, whatever the origin; a process
// account's claim holds the command it goes with to the origin's rights as well as its own.
TEST(AttackE2e, OnlyAProcessAccountMayClaimAnOriginAndTheClaimOnlyNarrows) {
  cHome home;
  AddAccount(home, "ops", "pw", 16);
  AddAccount(home, "proc", "procpw", 16, true);
  AddAccount(home, "boss", "bosspw", 16);
  cServerProcess server(home, Words("game", Listen()));
  const int port = server.WaitPort("game");
  ASSERT_GT(port, 0) << server.Output();
  const std::string touch = "os.execute('touch claimed')";
  cClient ops(port, "Login('ops','pw')");
  ASSERT_TRUE(ops.loggedIn);
  ASSERT_TRUE(ops.peer.Write(OriginFrame(4, "Ver()", "root\nroot@far\n")));
  EXPECT_TRUE(ops.Ask(4, "Ver()", "refused: ops may not claim an origin (not a process account)"));
  cClient proc(port, "Login('proc','procpw')");
  ASSERT_TRUE(proc.loggedIn);
  // Its greeting (it may claim) comes ahead of the answer to its login, not after it.
  const std::string greeted(proc.got.begin(), proc.got.end());
  EXPECT_LT(greeted.find("claim"), greeted.find("Logined(1,"));
  const std::string address = "127.0.0.1:" + std::to_string(port);
  const std::string early = "/9/SendAccount('game','proc',20,'E()')";
  EXPECT_NE(RunCli(home, {"-u", "boss", "-c", early, address}, "bosspw")
                .out.find("not sent to proc: it has not said yet whether it reads origins"),
            std::string::npos);
  ASSERT_TRUE(proc.peer.Write(OriginFrame(stMsg_Origin::kHello, 0, "")));
  ASSERT_TRUE(ops.peer.Write(OriginFrame(stMsg_Origin::kHello, 0, "")));
  ASSERT_TRUE(proc.peer.Write(OriginFrame(0, touch, "ro\nro@far\33]0;x\7\n+@read\n-\n@\n")));
  EXPECT_TRUE(proc.Ask(0, touch, "(needs @shell)"));
  EXPECT_NE(std::string(proc.got.begin(), proc.got.end()).find("refused: ro may not run"),
            std::string::npos);
  EXPECT_TRUE(server.Ask("/1/Denied()", {"origin=ro@far\\x1B]0;x\\x07 function"}));
  // Only a routed call passes a process outside the origin's targets; any other text of the
  // route group is held to them.
  ASSERT_TRUE(proc.peer.Write(OriginFrame(7, touch, "tg\ntg@far\n+@all\n-\n@map\n")));
  EXPECT_TRUE(proc.Ask(7, touch, "refused: tg may not run commands on game (outside its targets)"));
  // Without an origin the process account runs with its own rights.
  EXPECT_TRUE(proc.Ask(4, "Ver()", "func_Version"));
  ASSERT_TRUE(proc.peer.Write(OriginFrame(4, "Ver()", "nb\nnb\n")));  // no process named
  EXPECT_TRUE(proc.Ask(4, "Ver()", "refused: the origin sent with the command cannot be read"));
  EXPECT_FALSE(fs::exists(home / "claimed"));
  // A command another operator sends to the operator's link comes without that operator's
  // origin and rights; the process account's link gets them.
  for (const char* to : {"ops", "proc"})
    EXPECT_EQ(RunCli(home,
                     {"-u", "boss", "--wait", "20", "-c",
                      "/9/SendAccount('game','" + std::string(to) + "',20,'Sent()')", address},
                     "bosspw")
                  .code,
              0);
  for (cClient* client : {&ops, &proc}) {
    for (auto end = Clock::now() + std::chrono::milliseconds(kWaitMs);
         Clock::now() < end && !Holds(client->got, "Sent()");)
      client->peer.ReadUntil(client->got, 50);
    EXPECT_TRUE(Holds(client->got, "Sent()"));
  }
  EXPECT_FALSE(Holds(ops.got, "boss@game"));
  EXPECT_TRUE(Holds(proc.got, "boss@game"));
  // Code left to run later answers to a narrower file reloaded, or a Kick, of the process account
  // a carried command came by, and to a reload after the operator's session ended (its file, or
  // the rights of logins without one).
  const std::string later =
      "StartYield(function() while true do Yield(20) os.execute('touch later') end end)";
  for (const std::string end : {"procReloadAccounts()", "procKick('proc')", "bossReloadAccounts()",
                                "anonReloadAccounts()"}) {
    const std::string name = end.substr(0, 4), file = "db/accounts/" + name + ".ini";
    if (name == "anon")
      server.Type("/13/SetConfigValue('check_login',0)");
    else
      AddAccount(home, name, name + "pw", 16, name == "proc");
    ASSERT_TRUE(server.Ask("/1/ReloadAccounts()", {"func_ReloadAccounts ok"}));
    auto boss = name != "proc"
                    ? std::make_unique<cClient>(port, "Login('" + name + "','" + name + "pw')")
                    : nullptr;
    ASSERT_TRUE(boss || proc.peer.Write(OriginFrame(11, later, "dd\ndd@far\n*\n-\n@\n")));
    ASSERT_TRUE((boss ? *boss : proc).peer.Write(CmdFrame(11, later)));
    for (int i = 0; i < 100 && !fs::exists(home / "later"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    boss.reset();
    if (name == "anon")
      server.Type("/13/SetConfigString('rights_without_account','@read')");
    else
      home.write(file, testkit::ReadFile(home / file) + "deny = @shell\n");
    ASSERT_TRUE(server.Ask("/1/" + end.substr(4), {"func_"}));
    ASSERT_TRUE(fs::remove(home / "later")) << end;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(home / "later")) << end;
  }
  // The line of the command sent to the operator's link says the origin stopped there; the one
  // sent to the process account's link carried it.
  server.QuitInOrder();
  const std::string trail = TrailOf(home);
  EXPECT_EQ(CountLines(trail, {"origin=boss@game", "\tuncarried=ops\t", "'ops',20"}), 1)
      << testkit::ReadFolder(home.path() / "log/audit");
  EXPECT_EQ(CountLines(trail, {"\tuncarried="}), 1);
  // The claim and the origins refused before their texts ran name no right the account lacked.
  EXPECT_EQ(CountLines(trail, {"outcome=refused\tright=-\t"}), 3);
}

// A peer that never logged in sends records of every type and of the groups around the login
// group, each carrying terminal controls (C0, raw and encoded C1) and a line that forges a log
// entry. The console and every log keep none of those bytes raw; the refusals of the system's
// records leave one line for the link.
TEST(AttackE2e, AStrangersRecordsPutNoRawByteOfTheirsOnTheConsoleOrInALog) {
  cHome home;
  AddAccount(home, "ops", "pw", 16);
  const std::string forged = "\n06_01 00:00:00 【ExceptionLog Exception】link #9 forged";
  // The upstream names itself with the same bytes in its login answer.
  testkit::cFakeServer upstream([](int32_t, const std::string& text) {
    if (!text.starts_with("Login(")) return testkit::cFakeServer::tRecords{};
    return testkit::cFakeServer::tRecords{
        {2,
         "Logined(1,'\\27]0;owned\\7\\155[31m\\n06_01 00:00:00 【ExceptionLog Exception】link #9 "
         "forged')"}};
  });
  WriteLogin(home, "global", "game", "pw");
  home.write("exe/init_tessel_server", "function init() end");
  cServerProcess server(home, Words("game", {"listen", "=", "0", "connect", "=",
                                             "global:" + upstream.Address().substr(10)}));
  const int port = server.WaitPort("game");
  ASSERT_GT(port, 0) << server.Output();
  EXPECT_TRUE(server.WaitOutput("func_Logined  logined 1 \\x1B]0;owned\\x07")) << server.Output();
  // ESC sequences, BEL, a raw C1 CSI (\233) and an encoded one (\302\233), the forged line.
  const std::string evil = "\33[2J\33]0;owned\7\23331m\302\2331m" + forged + "\r";
  cClient stranger(port, "");
  for (uint16_t type : {1001, 1002, 1003, 1005, 1006, 999})
    stranger.peer.Write(Frame(type, type == 1003 ? evil + '\0' : evil.substr(0, 8)));
  for (int32_t group : {0, 1, 2, 4, 19, 20, 25, -1}) stranger.peer.Write(CmdFrame(group, evil));
  ASSERT_TRUE(stranger.Ask(2, "Login('ops','wrong')", "Logined(0,")) << server.Output();
  // An operator's line while a peer's command runs names that command, its controls escaped.
  cClient ops(port);
  // ... and of a long one its start only: it is printed again at every typed line.
  ops.peer.Write(
      CmdFrame(4, "while not io.open('go') do end --[[" + evil + std::string(4000, 'y') + "]]"));
  // Asked again until the command runs: its login may be answered a little later.
  bool named = false;
  for (int i = 0; i < 100 && !named; ++i) {
    const size_t mark = server.Output().size();
    server.Type("--");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    named = server.Output().find("cur cmd is while", mark) != std::string::npos;
  }
  EXPECT_TRUE(named) << server.Output();
  testkit::WriteFile(home.path() / "go", "");
  // A failed command's line names its text on one line.
  ops.peer.Write(CmdFrame(4, "error('x') --[[" + evil + "]]"));
  EXPECT_TRUE(server.WaitOutput("cCmd::Do error cmd cCmd_Maintain do error('x') --[[\\x1B"));
  EXPECT_NE(server.Output().find("end --[[\\x1B[2J\\x1B]0;owned\\x07"), std::string::npos);
  EXPECT_NE(server.Output().find("... (3862 bytes more)"), std::string::npos);
  // A Lua error's message is the peer's text: in a group and in a script alike, one line.
  ops.peer.Write(CmdFrame(4, "error([[" + evil + "]])"));
  ops.peer.Write(
      CmdFrame(11, "RunScriptString('exe/init_tessel_server',[==[error([[" + evil + "]])]==])"));
  EXPECT_TRUE(server.WaitOutput("exe/init_tessel_server [string")) << server.Output();
  EXPECT_EQ(server.Output().find(std::string(200, 'y')), std::string::npos);
  server.QuitInOrder();
  const std::string seen = server.Output() + testkit::ReadFolder(home.path() / "log");
  for (const char* raw : {"\33", "\7", "\23331m", "\302\233"})
    EXPECT_EQ(seen.find(raw), std::string::npos) << testkit::ReadFolder(home.path() / "log");
  EXPECT_EQ(seen.find(forged), std::string::npos);
  EXPECT_EQ(testkit::CountOf(server.Output(), "RefuseStranger"), 1u);
}

}  // namespace
}  // namespace e2e
