#include "tessel/console/groups/cmd_account.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "cmd_group_util.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/record_cmd.h"

namespace {

using Hops = std::vector<std::string>;

// The name this process goes by without a default route.
std::string OwnName() {
  GroupTestHost();
  return cTesselValues::Instance().GetProgram();
}

class AccountGroupTest : public testing::Test {
 protected:
  void SetUp() override {
    GroupTestHost();
    RunInGroup(cCmdAccount::Instance(), "SendPathCmd()");
  }
  stGroupRun Run(const std::string& text) { return RunInGroup(cCmdAccount::Instance(), text); }
  testkit::cTempDir dir_{testkit::cTempDir::kWorkDir};
};

// The setter stands for SendPathCmd in this group: the hops are the leading arguments, the
// last three (parameter, group, text) are dropped.
TEST_F(AccountGroupTest, TheTopPathSetterKeepsTheLeadingHops) {
  struct stCase {
    const char* cmd;
    Hops path;
    const char* out;
  } cases[] = {
      {"SendPathCmd('a','b','Top()',1,'Top()')", {"a", "b"}, "func_ShowTop a b \n"},
      {"SendPathCmd('only','p',0,[=[1]=])", {"only"}, "func_ShowTop only \n"},
      {"SendPathCmd('p',1,'t')", {}, "func_ShowTop \n"},
      {"SendPathCmd()", {}, "func_ShowTop \n"},
      {"SendPathCmd('a',2,'p',1,'t')", {}, "func_LuaSetPathTop error\n"},
      {"SendPathCmd(nil,'b','p',1,'t')", {}, "func_LuaSetPathTop error\n"},
  };
  for (const stCase& c : cases) {
    Run("SendPathCmd('old','x',1,'y')");
    const stGroupRun run = Run(c.cmd);
    EXPECT_TRUE(run.ok) << c.cmd;
    EXPECT_EQ(run.out, c.out) << c.cmd;
    EXPECT_EQ(GetTopPath(), c.path) << c.cmd;
  }
  Run("SendPathCmd('a','b','c','Top()',1,'Top()')");
  EXPECT_EQ(Run("ShowTop()").out, "func_ShowTop a b c \n");
}

TEST_F(AccountGroupTest, ToTopWithoutADefaultRouteSaysSoAndSendsNothing) {
  ASSERT_EQ(GroupTestHost().GetDefaultRoute(), nullptr);
  const stGroupRun run = Run("ToTop('global')");
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.out, "func_ToTop SendPathCmd('" + OwnName() +
                         "','global','Top()',1,'Top()')\nno default route\n");
}

// The names go into the statement as Lua literals: run in this group, where SendPathCmd is
// the setter, the statement gives back exactly the names it was made from.
TEST_F(AccountGroupTest, TheToTopStatementCarriesAnyNameUnchanged) {
  for (const std::string top : {"glo'bal", "a\\b", "x')os.exit(1)--", "line\nend", "]]"}) {
    const std::string cmd = MakeToTopCmd("me'", top);
    EXPECT_TRUE(Run(cmd).ok) << cmd;
    EXPECT_EQ(GetTopPath(), (Hops{"me'", top})) << cmd;
  }
}

TEST_F(AccountGroupTest, TopAndTopedTypedLocallyAnswerOnlyTheConsole) {
  const stGroupRun top = Run("Top()");
  EXPECT_TRUE(top.ok);
  EXPECT_EQ(top.out, "func_Top \nfunc_Top  someone ask for top\n");
  const stGroupRun toped = Run("Toped()");
  EXPECT_TRUE(toped.ok);
  EXPECT_EQ(toped.out, "func_Toped error! can not solve local cmd!\n");
  EXPECT_TRUE(GetTopPath().empty());
}

// An endpoint without a network, so a command can be served as if it had come over a link.
class cLocalBridge : public cBridge {
 public:
  cLocalBridge() {
    AddCmd(1, &cCmdAccount::Instance());
    CreateBridge("toped_test", nullptr);
  }
  void ClearNet() override {}
  void OnConnect(unsigned int) override {}
  bool OnDisconnect(unsigned int) override { return true; }
  void OnLogined(unsigned int, int) override {}
};

// The answer of the top server arrives along a path; its return route names the hops back to
// the top, which become the top path.
TEST_F(AccountGroupTest, TopedTakesTheHopsOfItsReturnRoute) {
  cLocalBridge bridge;
  stBindMsg msg;
  struct stCase {
    const char* route;
    Hops path;
  } cases[] = {
      {"SendPathCmd('me','mid','global','Top()',%1%,[=[%2%]=])", {"me", "mid", "global"}},
      {"SendPathCmd('global','p',%1%,[=[%2%]=])", {"global"}},
      {"", {"old"}},  // not along a path: nothing to learn
  };
  for (const stCase& c : cases) {
    Run("SendPathCmd('old','p',1,'t')");
    SetReturnPath(c.route);
    testkit::cStdoutCapture capture;
    ostreamCmd::cServeScope serving(&msg, &bridge, 1);
    EXPECT_TRUE(cCmdAccount::Instance().Do("Toped()"));
    EXPECT_EQ(GetTopPath(), c.path) << c.route;
  }
  EXPECT_TRUE(GetReturnPath().empty());
}

// Records the calls it is sent: SendPathCmd with its arguments, Toped and Output.
class cAccountRecord : public cRecordCmd {
 public:
  cAccountRecord() : cRecordCmd("cCmd_TestRecord", {"SendPathCmd", "Toped", "Output"}) {}
};

class AccountGroupLinkTest : public GroupLinkTest {
 protected:
  stGroupRun Run(const std::string& text) { return RunInGroup(cCmdAccount::Instance(), text); }
  bool Recorded(const cRecordCmd& group, const std::string& call) {
    return CyclesUntil([&] {
      const auto texts = group.Texts();
      return std::find(texts.begin(), texts.end(), call) != texts.end();
    });
  }
};

TEST_F(AccountGroupLinkTest, ListingsShowTheAccountsLoggedInOnTheServers) {
  const std::string own = m_host->GetAccount();
  const std::string id = std::to_string(LinkId());
  EXPECT_EQ(Run("Accounts()").out, "func_Accounts " + own + " opsuser \n");
  EXPECT_EQ(Run("Account('opsuser')").out, "func_Account " + own + " " + id + " opsuser 1");
  EXPECT_EQ(Run("Account('nobody')").out, "func_Account " + own + " noplayer\n");
  EXPECT_FALSE(Run("Account()").ok);
  m_host->SetDefaultRoute(m_client->GetBridgeClient());
  EXPECT_EQ(Run("GetAccount()").ok, true);
  EXPECT_TRUE(Run("assert(GetAccount() == 'opsuser')").ok);
  m_host->SetDefaultRoute(nullptr);
}

// The client reads the password from its login file and logs in with it, printing only a mask.
TEST_F(AccountGroupLinkTest, TheClientShowsOnlyAMaskOfThePassword) {
  EXPECT_NE(m_started.find("password = ********\n"), std::string::npos) << m_started;
  EXPECT_NE(m_started.find("login as account opsuser password ********"), std::string::npos)
      << m_started;
}

// ToTop asks along the default route, in the remote group of the next hop.
TEST_F(AccountGroupLinkTest, ToTopSendsThePathRequestOverTheDefaultRoute) {
  cAccountRecord remote;
  m_server->GetBridgeServer()->AddCmd(7, &remote);
  m_host->SetDefaultRoute(m_client->GetBridgeClient());
  const stGroupRun run = Run("ToTop('top\\'s')");
  EXPECT_EQ(run.out, "func_ToTop SendPathCmd('opsuser','top\\'s','Top()',1,'Top()')\n");
  EXPECT_TRUE(Recorded(remote, "SendPathCmd opsuser top's Top() 1 Top()"));
  m_host->SetDefaultRoute(nullptr);
}

// Top run for a peer answers it with Toped() in its account group, after the output.
TEST_F(AccountGroupLinkTest, TopOverALinkAnswersToped) {
  cAccountRecord account;
  m_client->GetBridgeClient()->AddCmd(1, &account);
  {
    testkit::cStdoutCapture quiet;
    ASSERT_NE(SendCmd(m_client->GetNetClient(), 1, "Top()"), 0);
    EXPECT_TRUE(Recorded(account, "Output func_Top  someone ask for top\n"));
  }
  EXPECT_EQ(account.Texts(),
            (std::vector<std::string>{"Toped", "Output func_Top  someone ask for top\n"}));
}

}  // namespace
