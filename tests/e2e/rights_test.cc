// Rights of console accounts against a real server and tessel_cli: for each kind of operator
// (read-only, everything but @shell, maintenance files only, limited to the map processes)
// what it may run and what is refused, the indirect forms included; every refused line ran
// nothing (the marker file never appears), each refusal is one line and exit code 1.
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/fake_server.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/steps.h"

namespace e2e {
namespace {

struct stRow {
  const char* account;
  const char* rights;
  std::vector<std::string> allowed;  // lines, each with a text its output holds
  std::vector<std::string> refused;  // lines that must be refused, with the right named
};

TEST(RightsE2e, EachKindOfOperatorRunsWhatItMayAndNothingElse) {
  cHome home;
  const std::string marker = (home.path() / "marker").string();
  const std::string touch = "touch " + marker;
  const stRow rows[] = {
      {"viewer",
       "allow = @read",
       {"/4/Ver()|func_Version", "/1/Accounts()|func_Accounts"},
       {"/15/System('" + touch + "')|needs @shell", "/0/pcall(os.execute,'" + touch + "')|@shell",
        "/0/loadstring(\"os.execute('" + touch + "')\")()|@shell",
        "/13/SetConfigValue('x',1)|needs @write", "/7/SendRemoteCmd('map',15,'System()')|@net"}},
      {"gm",
       "allow = @all\ndeny = @shell",
       {"/13/SetConfigValue('x',1)|", "/4/Ver()|func_Version"},
       {"/4/dos('" + touch + "')|needs @shell",
        "/0/if 1 then io.open('" + marker + "','w') end|@shell",
        "/15/Hello() System('" + touch + "')|needs @shell",
        // A replay runs its records with the accounts of the live links they land on.
        "/16/Replay('r/x.rep')|Replay (needs @shell)", "/16/ReplaySpeed(-1)|needs @shell",
        "/10/SimRecv('global',15,'x')|SimRecv (needs @shell)",
        // An alias or a replacement runs later in the lines of whoever types it.
        "/3/AddAlias('v',\"/0/io.open('" + marker + "','w'):close()\")|AddAlias (needs @shell)",
        "/3/AddReplace('Ver()','x')|AddReplace (needs @shell)"}},
      {"deploy",
       "allow = @files,4:Ver",
       {"/4/Ver()|func_Version"},
       {"/6/Hello()|needs @read", "/15/System('" + touch + "')|needs @shell",
        "/4/Restart()|needs @admin",
        // Files outside the maintenance roots and the log folder are not maintenance files.
        "/3/RunRemote('db/accounts/gm.ini')|RunRemote (needs @shell)",
        "/14/add_appender_file('*','../../db/accounts/x.ini')|needs @shell"}},
      {"mapops",
       "allow = @all\ndeny = @shell,@admin\ntargets = map*",
       {"/4/Ver()|func_Version"},
       {"/7/SendRemoteCmd('global',4,'Ver()')|outside its targets",
        "/9/SendToServer('global',4,'Ver()')|outside its targets",
        "/11/SendName('global',4,'Ver()')|outside its targets",
        "/11/CloneClient('global',0,'map9')|outside its targets",
        "/5/ConnectServer('global','127.0.0.1',1)|outside its targets",
        "/13/SetConfigValue('check_login',0)|needs @admin",
        "/13/SetConfigValue('lua_time_limit',0)|needs @admin",
        "/13/SetConfigValue('end_time_limit',1)|needs @admin",
        "/13/SetConfigValue('writefileindex_max_mbytes',0)|needs @admin"}},
  };
  for (const stRow& row : rows) home.account(row.account, "pw", 1, std::string(row.rights) + "\n");
  home.write("exe/init_tessel_server", "function init() end function tick() print('tick ran') end");
  cServerProcess game(home, Words("game", Listen()));
  const std::string address = "127.0.0.1:" + std::to_string(game.WaitPort("game"));
  ASSERT_NE(address, "127.0.0.1:0") << game.Output();

  for (const stRow& row : rows) {
    SCOPED_TRACE(row.account);
    for (const std::string& line : row.allowed) {
      const size_t bar = line.find('|');
      const stCliRun run =
          RunCli(home, {"-u", row.account, "-c", line.substr(0, bar), address}, "pw");
      EXPECT_EQ(run.code, 0) << line << "\n" << run.out << run.err;
      EXPECT_NE(run.out.find(line.substr(bar + 1)), std::string::npos) << line << "\n" << run.out;
    }
    for (const std::string& line : row.refused) {
      const size_t bar = line.find('|');
      const stCliRun run =
          RunCli(home, {"-u", row.account, "-c", line.substr(0, bar), address}, "pw");
      EXPECT_EQ(run.code, 1) << line << "\n" << run.out << run.err;
      EXPECT_TRUE(testkit::InOrder(
          run.out,
          {std::string("refused: ") + row.account + " may not run ", line.substr(bar + 1)}))
          << line;
      EXPECT_NE(run.err.find("refused: "), std::string::npos) << line << "\n" << run.err;
    }
  }
  // What gm's text defines in a script's state stays its own: the console runs the script's.
  RunCli(home,
         {"-u", "gm", "-c",
          "/11/RunScriptString('exe/init_tessel_server', \"function tick() os.execute('" + touch +
              "') end\")",
          address},
         "pw");
  game.Type("v");
  EXPECT_TRUE(game.Ask("/11/RunScript('exe/init_tessel_server','tick')", {"tick ran"}));
  // What a shell line would have made shows within its time; none was started.
  EXPECT_TRUE(game.Ask("/1/Denied()", {"account=viewer", "function=System", "right=@shell"}));
  EXPECT_FALSE(std::filesystem::exists(marker));
  // A viewer's loop keeps to the console's bound; the gm's SetInfoValue shows without controls.
  const size_t mark = game.Output().size();
  RunCli(home,
         {"-u", "viewer", "-c", "/7/for i = 1, 20000 do TraceRemote() print('\\27]0;t\\7') end",
          address},
         "pw");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  RunCli(home,
         {"-u", "gm", "-c", "/4/SetInfoValue('\\27]52;c;aGk=\\7','\\27]0;t\\7')", "-c",
          "/11/ClearAScript('\\27]0;t\\7')", address},
         "pw");
  EXPECT_TRUE(game.Ask("/4/GetInfos()", {"func_GetInfos", "\\x1B]52;c;aGk=\\x07="}));
  const std::string seen = game.Output().substr(mark);
  EXPECT_LT(testkit::CountOf(seen, "func_TraceRemote"), 1000u);
  EXPECT_TRUE(testkit::InOrder(
      seen, {"console lines of narrowed accounts left out", "func_SetInfoValue \\x1B]52"}));
  EXPECT_EQ(seen.find('\33'), std::string::npos);
  game.QuitInOrder();
}

// A served line's commands to other processes carry its origin: each process enforces the lesser
// of its link's rights and the origin's, also at the end of a route of two hops and on a client
// process, which trusts its server; the answers come back to the operator.
TEST(RightsE2e, RightsTravelWithTheCommandsALineSendsOnAndTheAnswersComeBack) {
  testkit::cSteps steps;
  cHome scratch;
  const std::string marker = (scratch.path() / "marker").string();
  const std::string shell = "System('touch " + marker + "')";
  cCluster cluster;
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  for (const cHome* home : {&cluster.globalHome, &cluster.gameHome})
    home->account("noshell", "pw", 16, "allow = @all\ndeny = @shell\n");
  AddAccount(cluster.gameHome, "ops", "pw", 16);
  const std::string game = "127.0.0.1:" + std::to_string(cluster.game->WaitPort("game"));
  const std::string global = "127.0.0.1:" + std::to_string(cluster.global->WaitPort("global"));
  auto cli = [](const cHome& home, const std::string& account, std::vector<std::string> words) {
    words.insert(words.begin(), {"-u", account});
    return RunCli(home, words, "pw");
  };

  TESSEL_STEP(steps, "the answer of the next process comes back to the operator");
  stCliRun run =
      cli(cluster.gameHome, "ops", {"-c", "/9/SendToServer('global',1,'Accounts()')", game});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("func_Accounts global"), std::string::npos) << run.out << run.err;

  TESSEL_STEP(steps, "a shell line's answer, given after the command ended, comes back too");
  run = cli(cluster.gameHome, "ops",
            {"-c", "/9/SendToServer('global',15,\"System('echo late-answer')\")", game});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("late-answer"), std::string::npos) << run.out << run.err;
  EXPECT_EQ(run.out.find("[not an answer]"), std::string::npos) << run.out;

  TESSEL_STEP(steps, "rights too large for an origin: the command does not go, and it says so");
  const std::string stars(9000, '*');  // a valid pattern, too long to carry
  cluster.gameHome.account("big", "pw", 16, "targets = " + stars);
  run = cli(cluster.gameHome, "big", {"-c", "/9/SendToServer('global',1,'Accounts()')", game});
  EXPECT_TRUE(testkit::InOrder(run.out, {"not sent to global: the rights of big take 9"}));

  TESSEL_STEP(steps, "upstream: the next process refuses what the origin may not run");
  run = cli(cluster.gameHome, "noshell",
            {"-c", "/9/SendToServer('global',15,\"" + shell + "\")", game});
  EXPECT_EQ(run.code, 1) << run.out << run.err;
  EXPECT_TRUE(testkit::InOrder(run.out, {"refused: noshell may not run System (needs @shell)"}));

  TESSEL_STEP(steps, "what one origin defines on the next process is not another origin's");
  cli(cluster.gameHome, "noshell",
      {"-c", "/9/SendToServer('global',15,\"Hook = function() " + shell + " end\")", game});
  cli(cluster.gameHome, "ops", {"-c", "/9/SendToServer('global',15,'Hook()')", game});
  EXPECT_FALSE(std::filesystem::exists(marker));

  TESSEL_STEP(steps, "downstream: a client process holds its server's origin to its rights");
  run = cli(cluster.gameHome, "noshell",
            {"-c", "/9/SendAccount('game','map',15,\"" + shell + "\")", game});
  EXPECT_EQ(run.code, 1) << run.out << run.err;
  EXPECT_TRUE(testkit::InOrder(run.out, {"refused: noshell may not run System (needs @shell)"}));

  TESSEL_STEP(steps, "a route of two hops: what the origin may run is answered, the rest refused");
  ASSERT_TRUE(cluster.map->Ask("/7/FindPathOnRoute('global')", {"path to global finded"}));
  run = cli(cluster.globalHome, "noshell", {"-c", "/7/SendRemoteCmd('map',4,'Ver()')", global});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("程序 map"), std::string::npos) << run.out << run.err;
  run = cli(cluster.globalHome, "noshell",
            {"-c", "/7/SendRemoteCmd('map',15,\"" + shell + "\")", global});
  EXPECT_EQ(run.code, 1) << run.out << run.err;
  EXPECT_TRUE(testkit::InOrder(run.out, {"refused: noshell may not run System (needs @shell)"}));

  TESSEL_STEP(steps, "an answer runs only where its command came from, not where its names say");
  cluster.gameHome.account("narrow", "pw", 16, "allow = @read,@files,@net\ntargets = global\n");
  cluster.globalHome.write("servers/taken.txt", "global's");
  run = cli(cluster.gameHome, "narrow",
            {"-c", "/7/SendPathCmd('narrow','game','global','',4,'Ver()')", "-c",
             "/7/SendPathCmd('map','game','global','',4,\"downloadfile('taken.txt')\")", game});
  EXPECT_TRUE(testkit::InOrder(run.out, {"程序 global", "may not run SendPathCmd answered on map"}))
      << run.out << run.err;
  EXPECT_FALSE(std::filesystem::exists(cluster.mapHome / "servers/taken.txt"));

  TESSEL_STEP(steps, "the far process names the origin, not the link it came by");
  EXPECT_TRUE(cluster.map->Ask("/1/Denied()",
                               {"account=noshell", "origin=noshell@global", "function=System"}));
  EXPECT_FALSE(std::filesystem::exists(marker));
  cluster.map->QuitInOrder();
  EXPECT_EQ(
      CountLines(TrailOf(cluster.mapHome), {"source=routed\torigin=noshell@global", "text=Ver()"}),
      1);

  TESSEL_STEP(steps, "a loop of marks while an answer is awaited leaves the worker free");
  cli(cluster.gameHome, "noshell",
      {"-c",
       "/11/SendToServer('global',11,'local t=os.clock() while os.clock()-t<1 do end') "
       "ParseCmd('/2/for i=1,100000 do Mark(i) end')",
       game});
  EXPECT_EQ(cli(cluster.gameHome, "noshell", {"-c", "/4/Ver()", game}).code, 0);

  TESSEL_STEP(steps, "answers awaited from a process whose link went down are not waited for");
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the marks before wait for global
  const auto start = std::chrono::steady_clock::now();
  cli(cluster.gameHome, "ops", {"-c", "/9/SendToServer('global',11,'os.exit(1)')", game});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// An upstream that never answers the login (here one typed by hand) would run what waits behind
// it with our rights, and a process below whose login waits runs what comes without an origin
// with its own: neither gets an operator's command, and the operator's line fails.
TEST(RightsE2e, AnOperatorsCommandGoesNeitherUpNorDownBeforeTheLoginIsAnswered) {
  testkit::cSteps steps;
  testkit::cFakeServer upstream([](int32_t, auto&) { return testkit::cFakeServer::tRecords{}; });
  cHome home, mapHome;
  AddAccount(home, "ops", "pw", 16);
  WriteLogin(home, "global", "game", "");  // no password: no login of its own
  cServerProcess game(home, Words("game", {"listen", "=", "0", "connect", "=",
                                           "global:" + upstream.Address().substr(10)}));
  const std::string address = "127.0.0.1:" + std::to_string(game.WaitPort("game"));
  auto ops = [&](const std::string& line) {
    return RunCli(home, {"-u", "ops", "-c", line, address}, "pw");
  };
  ASSERT_TRUE(game.WaitOutput("信息不全")) << game.Output();  // the link is up
  // Login named in a string logs nothing in: the operator's line still goes.
  game.Type("/9/SendToServer('global',2,\"Note('Login') --[[Login('a','b')]]\")");
  ASSERT_TRUE(game.Ask("/4/Ver()", {"func_Version"}));  // the line before has run
  EXPECT_EQ(ops("/9/SendToServer('global',15,'Ver()')").code, 0);
  game.Type("/9/SendToServer('global',2,\"Login('game','game123')\")");
  stCliRun run = ops("/9/SendToServer('global',15,'Ver()')");
  EXPECT_TRUE(
      testkit::InOrder(run.out, {"not sent to global: the login to global is not answered yet"}));
  EXPECT_EQ(run.code, 1) << run.err;

  TESSEL_STEP(steps, "down: a link whose login waits on a slow hash check");
  home.write("db/accounts/map.ini", "password = $pbkdf2-sha256$10000000$c2FsdHNhbHQ$" +
                                        std::string(43, 'A') + "\ncmd = 16\nprocess = 1\n");
  WriteLogin(mapHome, "game", "map", "map123");
  cServerProcess map(mapHome, Words("map", ConnectTo("game", game.WaitPort("game"))));
  ASSERT_TRUE(map.WaitOutput("login as account map")) << map.Output();
  run = ops("/9/SendClients('game',15,'Ver()')");
  EXPECT_NE(run.out.find(": it has not logged in yet"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace e2e
