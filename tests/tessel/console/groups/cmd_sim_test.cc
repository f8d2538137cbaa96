#include "tessel/console/groups/cmd_sim.h"

#include <gtest/gtest.h>

#include "cmd_group_util.h"
#include "tessel/link/account_manager.h"

namespace {

class SimGroupLinkTest : public GroupLinkTest {
 protected:
  std::string Sim(const std::string& text) { return RunInGroup(cCmdSim::Instance(), text).out; }
  // Runs a simulation command and cycles until standard output shows `expected`.
  // `seen` receives what was shown.
  ::testing::AssertionResult SimShows(const std::string& cmd, const std::string& expected,
                                      std::string* seen = nullptr) {
    testkit::cStdoutCapture capture;
    const std::string direct = Sim(cmd);
    if (!direct.empty()) return ::testing::AssertionFailure() << cmd << " printed " << direct;
    const bool shown =
        CyclesUntil([&] { return capture.Text().find(expected) != std::string::npos; });
    if (seen != nullptr) *seen = capture.Text();
    if (shown) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << cmd << " never showed " << expected << " in\n"
                                         << capture.Text();
  }
  std::string Id() { return std::to_string(LinkId()); }
  iAccountManagerServer& Accounts() { return *m_server->GetAMServer(); }
};

// The simulated record travels the link's own path: the server runs it for the link and the
// output goes back to the client, which prints it.
TEST_F(SimGroupLinkTest, SimulatedCommandsRunAsTrafficOfTheirLink) {
  const std::string answer = "Output() net id " + Id() + "\n";
  EXPECT_TRUE(SimShows("SimRecvLink('center'," + Id() + ",5,'NetID()')", answer));
  EXPECT_TRUE(SimShows("SimRecvAccount('center','opsuser',5,'NetID()')", answer));
  EXPECT_EQ(Sim("SimRecv('global',3,\"Mark(']]\\\"')\")"), "");
  EXPECT_TRUE(CyclesUntil([&] { return m_client->record.Calls().size() == 1; }));
  EXPECT_EQ(m_client->record.FirstArgs("Mark"), std::vector<std::string>{"]]\""});
}

// A link that is not logged in, or whose account has level 0, is refused as real traffic is:
// the client is told of the refusal and the command does not run.
TEST_F(SimGroupLinkTest, SimRecvLinkMeetsTheLoginAndLevelChecks) {
  const unsigned id = LinkId();
  const std::string cmd = "SimRecvLink('center'," + Id() + ",5,'NetID()')";
  struct stCase {
    std::function<void()> make;
    const char* refusal;
  };
  const stCase cases[] = {
      {[&] { Accounts().SetLogin(id, "opsuser", 0); }, "ChatException_NoPri"},
      {[&] { Accounts().Logout(id); }, "ChatException_NotLogin"},
  };
  for (const stCase& c : cases) {
    {
      testkit::cStdoutCapture quiet;
      c.make();
    }
    std::string seen;
    EXPECT_TRUE(SimShows(cmd, c.refusal, &seen)) << c.refusal;
    testkit::cStdoutCapture later;
    Cycles(10);
    EXPECT_EQ((seen + later.Text()).find("net id"), std::string::npos) << c.refusal;
  }
}

TEST_F(SimGroupLinkTest, SimConnectAndSimDisconnectAreLinkEventsOfTheServer) {
  EXPECT_TRUE(SimShows("SimConnect('center'," + Id() + ")",
                       "center link id " + Id() + "  ip 127.0.0.1 connect"));
  EXPECT_NE(m_host->FindServerAccount("opsuser"), nullptr);
  EXPECT_TRUE(SimShows("SimDisconnect('center'," + Id() + ")",
                       "center link id " + Id() + "  ip 127.0.0.1 disconnect for 网络异常断开"));
  EXPECT_EQ(m_host->FindServerAccount("opsuser"), nullptr);
}

// A server of this process never hands an unknown link to the default route, and a text too
// long for a record is refused rather than cut.
TEST_F(SimGroupLinkTest, UnknownLinksAndAccountsOfAKnownServerAreReported) {
  m_host->SetDefaultRoute(m_client->GetBridgeClient());
  const std::string simNet = "func_SimNet error! can not find link id..\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SimConnect('center',999)", simNet},
      {"SimDisconnect('center',999)", simNet},
      {"SimNet('center',0,3,0)", simNet},
      {"SimRecvLink('center',999,5,'NetID()')", "func_SimRecvLink not find link\n"},
      {"SimRecvAccount('center','nobody',5,'NetID()')", "func_SimRecvAccount not find Account\n"},
      {"SimRecvLink('center'," + Id() + ",5,string.rep('x',200000))",
       "func_SimRecvLink cmd too long\n"},
      {"SimRecv('global',5,string.rep('x',200000))", "func_SimRecv cmd too long\n"},
  };
  testkit::cStdoutCapture capture;
  for (const auto& [cmd, out] : cases) EXPECT_EQ(Sim(cmd), out) << cmd;
  Cycles(20);
  EXPECT_EQ(capture.Text().find("Output() func_Sim"), std::string::npos) << capture.Text();
  EXPECT_NE(m_host->FindServerAccount("opsuser"), nullptr);
}

// A server this process does not have is asked for in the process the default route leads to;
// that side runs the command once, does not pass it on, and its answer comes back.
TEST_F(SimGroupLinkTest, UnknownServersGoOneHopAlongTheDefaultRoute) {
  m_host->SetDefaultRoute(m_client->GetBridgeClient());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SimRecvLink('faraway',1,5,'NetID()')", "Output() func_SimRecvLink not find link\n"},
      {"SimRecvLink(\"far'a]]way\\\\\",1,5,\"Mark(']=]')\")",
       "Output() func_SimRecvLink not find link\n"},
      {"SimNet('faraway',1,3,0)", "Output() func_SimNet error! can not find link id..\n"},
      {"SimConnect('faraway',1)", "Output() func_SimNet error! can not find link id..\n"},
  };
  for (const auto& [cmd, answer] : cases) EXPECT_TRUE(SimShows(cmd, answer));
}

}  // namespace
