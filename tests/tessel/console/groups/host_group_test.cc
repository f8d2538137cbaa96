#include "tessel/console/groups/cmd_tessel.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cmd_group_util.h"
#include "tessel/console/groups/cmd_input.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "testkit/link_test_util.h"

namespace {

TEST(HostGroup, MissingEndpointsAndLocalDoCmdAreReportedAndNothingRuns) {
  GroupTestHost();
  CheckGroupCases(cCmdTessel::Instance(),
                  {{"ServerCmds('nosuch')", true, "not find server\n"},
                   {"ServerCmd('nosuch',3)", true, "not find server\n"},
                   {"DoCmd(3,'Hello()')", true, "func_DoCmd error! can not solve local cmd!\n"}});
}

std::string Traced(cCmdArray& array) {
  std::ostringstream os;
  array.TraceCmds(os);
  return os.str();
}

// The groups of the host's endpoints, by name; a level without a group of the endpoint's own
// shows the console's group of that level.
TEST_F(GroupLinkTest, TheHostGroupShowsTheGroupsOfTheNamedEndpoints) {
  const std::string inputHelp = RunInGroup(cCmdInput::Instance(), "Help()").out;
  const std::string testHelp = RunInGroup(cCmdTest::Instance(), "Help()").out;
  EXPECT_NE(Traced(Link()).find("name cCmd_TestRecord"), std::string::npos);
  CheckGroupCases(cCmdTessel::Instance(),
                  {
                      {"ServerCmds('center')", true, Traced(*m_server->GetBridgeServer())},
                      {"ServerCmd('center',3)", true, inputHelp},
                      {"ServerCmd('center',99)", true, "not find cmd\n"},
                      {"ClientCmds('global')", true, Traced(Link())},
                      {"ClientCmd('global',6)", true, testHelp},
                      {"ClientCmd('global',99)", true, "not find cmd\n"},
                      {"ClientCmds('center')", true, "func_ClientCmds not find client\n"},
                      {"ClientCmd('center',1)", true, "func_ClientCmd not find client\n"},
                      {"ServerCmds('global')", true, "not find server\n"},
                      {"ServerCmd('global',1)", true, "not find server\n"},
                  });
}

// A command served from a link runs another one for the same requester: both outputs come
// back in one reply.
TEST(HostGroup, DoCmdFromALinkRunsForTheSameRequester) {
  using namespace linktest;
  cTempHome home;
  cServerEndpoint server;
  // The process's groups answer through the console: an endpoint clears its own groups when
  // it ends.
  UseConsoleGroups(server);
  cPeer peer(server.Port());
  ASSERT_TRUE(server.LogIn(peer, "gm", "s3cret"));
  peer.ClearRecords();
  ASSERT_NE(peer.SendCmd(0, "Help() DoCmd(6,'Hello()')"), 0);
  const auto atZero = [](const stReceived& r) { return IsCmd(r) && r.Word(0) == 0; };
  ASSERT_TRUE(server.PumpUntil([&] { return peer.Has(atZero); }));
  server.PumpFor(20);
  std::vector<std::string> replies;
  for (const auto& r : peer.Records())
    if (atZero(r)) replies.push_back(r.CmdText());
  ASSERT_EQ(replies.size(), 1u);
  const std::string& reply = replies[0];
  EXPECT_EQ(reply.rfind("Output([[[命令集合]\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("DoCmd(3,'Ver()')\nHello World!\n]])"), std::string::npos) << reply;
}

}  // namespace
