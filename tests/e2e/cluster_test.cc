// One cluster global <- game <- map serves, in this order: a peer's move of the console's group,
// the console lines of a peer's code left to run later, routes searched from map to global,
// commands and their output along the found route, the top path and the calls a relay drops;
// the maintenance and OS groups between the processes (answers that come back with their
// prefixes in both directions, a file carried to the requester, broadcasts from the top, a clock
// taken over from another process); a fault on the top server that its downstream hears of, a
// route whose next link is gone; and the ordered close.
#include <chrono>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/net_recorder.h"
#include "testkit/steps.h"

namespace e2e {
namespace {

// Typed on a process: sends `cmd` to group `group` of its upstream named `to`.
std::string SendTo(const std::string& to, const std::string& cmd, int group = 4) {
  return "/9/SendToServer('" + to + "'," + std::to_string(group) + ",\"" + cmd + "\")";
}

// The number written right after the last `key` in `text`; `fallback` when there is none.
long NumberAfterLast(const std::string& text, const std::string& key, long fallback) {
  const size_t at = text.rfind(key);
  return at == std::string::npos ? fallback : std::strtol(text.c_str() + at + key.size(), 0, 10);
}

TEST(ClusterE2e, RoutesAnswersFilesBroadcastsProcessesClocksAndTheOrderedClose) {
  cCluster cluster;
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  cServerProcess &game = *cluster.game, &map = *cluster.map, &global = *cluster.global;
  testkit::cSteps steps;
  TESSEL_STEP(steps, "a link's command moves the console's group for its own text only");
  // map's command runs the rest of its text in group 3 (its help comes back), while the next
  // command of another link, and the line the operator types next on game, run where the
  // console was: level 0.
  ASSERT_TRUE(map.Ask(SendTo("game", "ShiftCmd(3) ParseCmd('Help()')", 11), {"[输入命令]"}));
  AddAccount(cluster.gameHome, "plain", "pw", 16);
  testkit::cRawPeer plain(static_cast<unsigned short>(game.WaitPort("game")));
  plain.Write(testkit::CmdFrame(2, "Login('plain','pw')"));
  plain.Write(testkit::CmdFrame(11, "ParseCmd('Help()')"));
  std::vector<char> got;
  const auto saw = [&](const char* title) {
    return std::string(got.begin(), got.end()).find(title) != std::string::npos;
  };
  for (int i = 0; i < 100 && !saw("[命令集合]") && !saw("[输入命令]"); ++i)
    plain.ReadUntil(got, 200);
  EXPECT_TRUE(saw("[命令集合]") && !saw("[输入命令]")) << std::string(got.begin(), got.end());
  size_t mark = game.Output().size();
  ASSERT_TRUE(game.Ask("Help()", {"\t --- "}));
  EXPECT_NE(game.Output().find("[命令集合]", mark), std::string::npos) << game.Output();
  EXPECT_EQ(game.Output().find("[输入命令]", mark), std::string::npos) << game.Output();
  TESSEL_STEP(steps, "what a link's code left to run later prints reaches the console");
  map.Type(SendTo("game", "StartYield(function() Yield(10) SendToServer('none',1,'') end)", 11));
  EXPECT_TRUE(game.WaitOutput("not find client none", mark)) << game.Output();
  TESSEL_STEP(steps, "a call circling between two processes is dropped");
  // map sends a call to game, which hands it back to map as the next named hop; map cannot reach
  // "nobody" and passes it up to game again: the hop count carried along ends the circle.
  map.Type("/7/SendPathCmd('x','game','map','nobody','',1,'Ver()')");
  EXPECT_TRUE(game.WaitOutput(" path longer than 32 hops, dropped.")) << game.Output();
  TESSEL_STEP(steps, "a routed call a peer sent at the largest record size goes on as it came");
  // 101364: the longest command text
  plain.Write(testkit::CmdFrame(
      7, "SendPathCmd('plain','game','map','',6,'io.stderr:write([[relayed whole]]) --" +
             std::string(101364 - 78, '-') + "')"));
  EXPECT_TRUE(map.WaitOutput("relayed whole")) << map.Output();
  // The first command to global is not sent but starts the search, whose answer map prints
  // once global has answered.
  TESSEL_STEP(steps, "the first command to global starts the route search");
  mark = map.Output().size();
  ASSERT_TRUE(
      map.Ask("/7/SendRemoteCmd('global',1,'Accounts()')", {"not find path to des global"}));
  ASSERT_TRUE(map.WaitOutput("func_FindedPathOnRoute path to global finded ", mark))
      << map.Output() << game.Output() << global.Output();
  EXPECT_TRUE(global.WaitOutput("path from map befinded "));
  EXPECT_EQ(map.Output().find("func_Accounts", mark), std::string::npos);
  TESSEL_STEP(steps, "a group global does not have is refused there");
  mark = global.Output().size();
  map.Type("/7/SendRemoteCmd('global',99,'Ver()')");
  EXPECT_TRUE(global.WaitOutput("Handled Exception ", mark)) << global.Output();
  // Contents that would end or nest any Lua long bracket of a naive transfer.
  const std::string contents = "a [[b]] c ]] d ]===] e ]=] f\n[==[ g $[$[ h\n\nend";
  cluster.globalHome.write("servers/logs/brackets.log", contents);
  const long now = static_cast<long>(std::time(nullptr));
  const long ahead = 3 * 86400L;
  const struct {
    cServerProcess& on;  // the process the line is typed on
    std::string line;
    std::vector<std::string> expected;  // what that process prints afterwards, in this order
  } asks[] = {
      {map, "/7/SendRemoteCmd('global',1,'Accounts()')", {"Output() func_Accounts global "}},
      // several lines holding both closing brackets and quotes come back unchanged
      {map,
       "/7/SendRemoteCmd('global',4,[==[dos(\"echo 'A]]'; echo 'B]=] \\\"q\\\"'\")]==])",
       {"A]]\nB]=] \"q\"\n"}},
      {map,
       "/7/SendRemoteCmdParam('global',1,'Account([[game]])','a]=]b')",
       {"Output() func_Account global "}},
      // a search for a name no process has ends at the top, whose answer comes back to map
      {map,
       "/7/SendRemoteCmd('nobody',1,'Ver()')",
       {"func_FindedPathOnRoute path nobody not found "}},
      // the hops to the top server are stored
      {map, "/1/ToTop('global')", {"func_ShowTop map game global \n"}},
      {game, SendTo("global", "Ver()"), {"Output() func_Version ip: ", "程序 global"}},
      {global,
       "/9/SendAccount('global','game',4,\"Ver()\")",
       {"Output() func_Version ip: ", "程序 game 版本"}},
      {map, SendTo("game", "GetInfos()"), {"Output() func_GetInfos game ", "game_port="}},
      {game,
       SendTo("global", "downloadfile('logs/brackets.log')"),
       {"writefileindex file logs/brackets.log index 0", "Output() func_downloadfile ip: ",
        "file logs/brackets.log size " + std::to_string(contents.size())}},
      // BroadCmd reaches the processes right below the sender, and every answer comes back.
      {global, "/4/BroadCmd(6,'Hello()')", {"Output() Hello World!"}},
      // BroadCmdReverse passes itself on from each of them: it reaches the whole cluster.
      {global,
       "/4/BroadCmdReverse(4,'Ver()')",
       {"程序 global 版本", "Output() func_Version ip: ", "程序 game 版本"}},
      // The timer manager's difference set by hand.
      {game, "/15/OS_SetTime(" + std::to_string(now + ahead) + ",'x')", {"TimeDiff"}},
  };
  for (const auto& ask : asks) {
    TESSEL_STEP(steps, "typed: " + ask.line);
    ASSERT_TRUE(ask.on.Ask(ask.line, ask.expected));
  }
  TESSEL_STEP(steps, "the file carried down, the broadcast's answers and the clock set");
  EXPECT_EQ(testkit::ReadFile(cluster.gameHome / "servers/logs/brackets.log"), contents);
  EXPECT_TRUE(game.WaitOutput("程序 map 版本")) << game.Output();
  EXPECT_NEAR(NumberAfterLast(game.Output(), "TimeDiff == ", 0), ahead, 2);
  TESSEL_STEP(steps, "the upstream's clock taken over");
  // The difference follows it back to the machine's clock.
  mark = game.Output().size();
  ASSERT_TRUE(game.Ask(SendTo("global", "OS_QueryTime()", 15), {"Remote date and time: "}));
  EXPECT_NEAR(NumberAfterLast(game.Output().substr(mark), "TimeDiff == ", ahead), 0, 2);

  TESSEL_STEP(steps, "a routed text that sends itself back and forth ends at the hop limit");
  const std::string back = R"(SendRemoteCmd(d,7,"d='"..(d=='map' and 'global' or 'map').."' s="..)"
                           R"(string.format("%q",s).." "..s))";
  mark = map.Output().size();
  map.Type("/7/d='global' s=[[" + back + "]] " + back);
  EXPECT_TRUE(map.WaitOutput(" path longer than 32 hops, dropped.", mark)) << map.Output();
  TESSEL_STEP(steps, "a fault on global");
  // Its exception end tells game, which goes on; with global gone, the
  // route's next link is down and game drops the call.
  mark = game.Output().size();
  global.Type("/12/Null()");
  EXPECT_EQ(global.WaitExit(), 3) << global.Output();
  EXPECT_TRUE(game.WaitOutput("【Exception】on Server global", mark)) << game.Output();
  ASSERT_TRUE(game.WaitOutput("cBridgeClient::OnDisconnect", mark)) << game.Output();
  // A command for the link that is down is refused, not lost without a word.
  EXPECT_TRUE(game.Ask(SendTo("global", "Ver()"), {"client global not connect cmd 4 Ver()"}));
  // The call's origin hears of the drop: it would otherwise take the call for sent.
  mark = game.Output().size();
  EXPECT_TRUE(map.Ask("/7/SendRemoteCmd('global',1,'Accounts()')",
                      {"Output() func_LuaSendPathCmd  next link global break from net. "}));
  EXPECT_TRUE(game.WaitOutput(" next link global break from net. ", mark)) << game.Output();
  // So does a route search: typed where the default route is down, or relayed there.
  EXPECT_TRUE(game.Ask("/7/FindPathOnRoute('global')", {"Route  next link global break from net"}));
  EXPECT_TRUE(map.Ask("/7/FindPathOnRoute('nobody')", {"path nobody not found "}));
  EXPECT_TRUE(game.Ask("/7/SendPathCmd('game','x','',1,'Ver()')", {"Cmd  next link global break"}));

  TESSEL_STEP(steps, "a broadcast sent round a circle of links runs once on each process");
  // game's upstream link, global gone, is pointed at game itself: game is its own upstream.
  AddAccount(cluster.gameHome, "loop", "loop123", 16, true);
  ASSERT_TRUE(game.Ask("/1/ReloadAccounts()", {"func_ReloadAccounts ok"}));
  game.Type("/5/SetConnect('global','127.0.0.1'," + std::to_string(game.WaitPort("game")) +
            ",'loop','loop123')");
  ASSERT_TRUE(game.Ask("/5/Connect('global')", {"login ok loop"})) << game.Output();
  mark = game.Output().size();
  game.Type("/4/BroadCmdReverse(6,'Hello()')");
  EXPECT_TRUE(game.WaitOutput("BroadCmdReverse passed here before, dropped", mark));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // One run here (and its echo) at most; without an end it ran hundreds of times a second.
  EXPECT_LE(testkit::CountOf(game.Output().substr(mark), "Hello World!"), 2u) << game.Output();
  // A broadcast whose text sends itself on again ends once it came round.
  const std::string copy = R"(BroadCmd(4,"s="..string.format("%q",s).." "..s))";
  game.Type("/4/s='" + copy + "' " + copy);
  EXPECT_TRUE(game.WaitOutput("BroadCmd passed here before, dropped", mark)) << game.Output();
  // A route search that comes round to game ends there, and map hears of it.
  EXPECT_TRUE(map.Ask("/7/FindPathOnRoute('nobody')", {"path nobody not found "}));
  // So does a routed command that goes round it until its hop count ends.
  EXPECT_TRUE(map.Ask("/7/SendPathCmd('map','nobody','',1,'Ver()')",
                      {"Output() func_LuaSendPathCmd  path longer than 32 hops, dropped."}));

  TESSEL_STEP(steps, "the ordered close of the leaf process");
  // It ends in order, neither at once nor much later than 3 s.
  const auto closed = std::chrono::steady_clock::now();
  ASSERT_TRUE(map.Ask("/4/Close()", {"func_CloseTessel ip: "}));
  EXPECT_EQ(map.WaitExit(), 0) << map.Output();
  const auto took = std::chrono::steady_clock::now() - closed;
  EXPECT_GE(took, std::chrono::milliseconds(1500));
  EXPECT_LE(took, std::chrono::seconds(15));
  EXPECT_NE(map.Output().find("program quit... "), std::string::npos);
  game.QuitInOrder();
}

// A text that sends itself back and forth between game and global, each leg a command that
// carries its origin and a counter (no two texts alike), ends: the origin's hop count does it,
// also when one leg is code left to run later.
TEST(ClusterE2e, ATextSendingItselfRoundWithItsOriginEndsAt32Hops) {
  cCluster cluster;
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  cServerProcess &game = *cluster.game, &global = *cluster.global;
  // game's leg left to run later: code a command left with StartYield sends on with that
  // command's hop count.
  const std::string later =
      R"x(StartYield(function() Yield(10) SendToServer('global',9,"SendAccount('global','game',)x"
      R"x(11,"..string.format("%q","s="..string.format("%q",s).." "..s)..")") end))x";
  game.Type("/11/s=[[" + later + "]] " + later);
  EXPECT_TRUE(game.WaitOutput(": path longer than 32 hops, dropped."))
      << game.Output() << global.Output();
  const size_t gameMark = game.Output().size(), globalMark = global.Output().size();
  const std::string counted = R"(n=(n or 0)+1 t="n="..n.." s="..string.format("%q",s).." "..s )"
                              R"(SendToServer('global',9,t) SendAccount('global','game',9,t))";
  game.Type("/9/s=[[" + counted + "]] " + counted);
  EXPECT_TRUE(game.WaitOutput(": path longer than 32 hops, dropped.", gameMark) ||
              global.WaitOutput(": path longer than 32 hops, dropped.", globalMark))
      << game.Output() << global.Output();
}

}  // namespace
}  // namespace e2e
