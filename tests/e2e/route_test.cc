// Commands routed along paths of links on the cluster global <- game <- map: a route search
// from map to global, commands and their output along the found route, the top path, and the
// calls a relay drops.
#include <signal.h>

#include <gtest/gtest.h>

#include "e2e/cluster.h"

namespace e2e {
namespace {

class RouteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_cluster.Ready()) << m_cluster.Game().Output(); }

  // Searches the route from map to global: the first command is not sent but starts the
  // search, whose answer map prints once global has answered.
  void FindRouteToGlobal() {
    const size_t mark = Map().Output().size();
    ASSERT_TRUE(
        Map().Ask("/7/SendRemoteCmd('global',1,'Accounts()')", "not find path to des global"));
    ASSERT_TRUE(Map().WaitOutput("func_FindedPathOnRoute path to global finded ", mark))
        << Map().Output() << Game().Output() << Global().Output();
    EXPECT_TRUE(Global().WaitOutput("path from map befinded "));
    EXPECT_EQ(Map().Output().find("func_Accounts", mark), std::string::npos);
  }

  cServerProcess& Map() { return m_cluster.Map(); }
  cServerProcess& Game() { return m_cluster.Game(); }
  cServerProcess& Global() { return m_cluster.Global(); }

  cCluster m_cluster;
};

TEST_F(RouteTest, AFoundRouteCarriesCommandsToGlobalAndTheirOutputBackIntact) {
  FindRouteToGlobal();
  const std::pair<const char*, const char*> cases[] = {
      // typed on map, and what map prints when the answer is back
      {"/7/SendRemoteCmd('global',1,'Accounts()')", "Output() func_Accounts global "},
      // several lines holding both closing brackets and quotes come back unchanged
      {"/7/SendRemoteCmd('global',4,[==[dos(\"echo 'A]]'; echo 'B]=] \\\"q\\\"'\")]==])",
       "A]]\nB]=] \"q\"\n"},
      {"/7/SendRemoteCmdParam('global',1,'Account([[game]])','a]=]b')",
       "Output() func_Account global "},
      // a search for a name no process has ends at the top, whose answer comes back to map
      {"/7/SendRemoteCmd('nobody',1,'Ver()')", "func_FindedPathOnRoute path nobody not found "},
      // the hops to the top server are stored
      {"/1/ToTop('global')", "func_ShowTop map game global \n"},
      {"/1/ShowTop()", "func_ShowTop map game global \n"},
  };
  for (const auto& [line, expected] : cases) EXPECT_TRUE(Map().Ask(line, expected));
  // A group global does not have is refused there.
  const size_t mark = Global().Output().size();
  Map().Type("/7/SendRemoteCmd('global',99,'Ver()')");
  EXPECT_TRUE(Global().WaitOutput("Handled Exception ", mark)) << Global().Output();
  EXPECT_TRUE(m_cluster.QuitAll());
}

TEST_F(RouteTest, RelaysDropLoopingAndCirclingCallsAndCallsWhoseNextLinkIsDown) {
  const std::pair<const char*, const char*> dropped[] = {
      // game is named twice, and the name behind its second place is linked nowhere
      {"/7/SendPathCmd('map','game','x','game','y','',1,'Ver()')", " path 形成了死循环."},
      // map sends the call to game, which hands it back to map as the next named hop; map
      // cannot reach "nobody" and passes it up to game again: the hop count ends the circle
      {"/7/SendPathCmd('x','game','map','nobody','',1,'Ver()')",
       " path longer than 32 hops, dropped."},
  };
  for (const auto& [line, said] : dropped) {
    const size_t mark = Game().Output().size();
    Map().Type(line);
    EXPECT_TRUE(Game().WaitOutput(said, mark)) << Game().Output();
  }
  FindRouteToGlobal();
  size_t mark = Game().Output().size();
  Global().Signal(SIGKILL);
  EXPECT_NE(Global().WaitExit(), 0);
  ASSERT_TRUE(Game().WaitOutput("cBridgeClient::OnDisconnect", mark)) << Game().Output();
  mark = Game().Output().size();
  Map().Type("/7/SendRemoteCmd('global',1,'Accounts()')");
  EXPECT_TRUE(Game().WaitOutput(" next link global break from net. ", mark)) << Game().Output();
  EXPECT_TRUE(m_cluster.QuitAll());
}

}  // namespace
}  // namespace e2e
