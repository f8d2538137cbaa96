// The maintenance groups between real processes of the cluster: answers that come back with
// their prefixes in both directions, a file carried to the requester, and broadcasts from the
// top that reach the processes below.
#include <gtest/gtest.h>

#include "e2e/cluster.h"

namespace e2e {
namespace {

// Typed on a process: sends `cmd` to group 4 of its upstream named `to`.
std::string SendTo(const std::string& to, const std::string& cmd) {
  return "/9/SendToServer('" + to + "',4,\"" + cmd + "\")";
}

TEST(MaintainE2e, AnswersFilesAndBroadcastsCrossTheLinksOfTheCluster) {
  cCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Map().Output();
  // Contents that would end or nest any Lua long bracket of a naive transfer.
  const std::string contents = "a [[b]] c ]] d ]===] e ]=] f\n[==[ g $[$[ h\n\nend";
  cluster.GlobalHome().write("servers/logs/brackets.log", contents);
  const struct {
    cServerProcess& (cCluster::*on)();  // the process the line is typed on
    std::string line;
    std::vector<std::string> expected;  // what that process prints afterwards, in this order
  } asks[] = {
      {&cCluster::Game, SendTo("global", "Ver()"), {"Output() func_Version ip: ", "程序 global"}},
      {&cCluster::Global,
       "/9/SendAccount('global','game',4,\"Ver()\")",
       {"Output() func_Version ip: ", "程序 game 版本"}},
      {&cCluster::Map,
       SendTo("game", "GetInfos()"),
       {"Output() func_GetInfos game ", "game_port="}},
      {&cCluster::Game,
       SendTo("global", "downloadfile('logs/brackets.log')"),
       {"writefileindex file logs/brackets.log index 0", "Output() func_downloadfile ip: ",
        "file logs/brackets.log size " + std::to_string(contents.size())}},
      // BroadCmd reaches the processes right below the sender, and every answer comes back.
      {&cCluster::Global, "/4/BroadCmd(6,'Hello()')", {"Output() Hello World!"}},
      // BroadCmdReverse passes itself on from each of them: it reaches the whole cluster.
      {&cCluster::Global,
       "/4/BroadCmdReverse(4,'Ver()')",
       {"程序 global 版本", "Output() func_Version ip: ", "程序 game 版本"}},
  };
  for (const auto& ask : asks) {
    SCOPED_TRACE(ask.line);
    cServerProcess& process = (cluster.*ask.on)();
    const size_t mark = process.Output().size();
    process.Type(ask.line);
    for (const std::string& text : ask.expected)
      ASSERT_TRUE(process.WaitOutput(text, mark)) << text << "\n" << process.Output().substr(mark);
    EXPECT_TRUE(testkit::InOrder(process.Output().substr(mark), ask.expected));
  }
  EXPECT_EQ(testkit::ReadFile(cluster.GameHome() / "servers/logs/brackets.log"), contents);
  EXPECT_TRUE(cluster.Game().WaitOutput("程序 map 版本")) << cluster.Game().Output();
  EXPECT_TRUE(cluster.QuitAll());
}

}  // namespace
}  // namespace e2e
