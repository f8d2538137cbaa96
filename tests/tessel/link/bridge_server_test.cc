#include "tessel/link/bridge_server.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tessel/core/config_stores.h"
#include "testkit/link_test_util.h"

namespace {

using namespace linktest;

// A server endpoint on loopback with one connected peer; the accounts gm (level 9) and low
// (level 0) live in the temporary home.
class BridgeServerTest : public testing::Test {
 protected:
  void SetUp() override {
    SetConfigValue("check_login", 1);
    home_.write("db/accounts/gm.ini", "password = s3cret\ncmd = 9\n");
    home_.write("db/accounts/low.ini", "password = p\n");
    peer_ = std::make_unique<cPeer>(server_.Port());
    ASSERT_TRUE(server_.PumpUntil([&] { return server_.Accounts().GetAccount(1) != nullptr; }));
  }
  // Sends a command and pumps until the peer got a record matching `pred`.
  bool Exchange(int cmd, const std::string& text, const cPeer::Pred& pred) {
    peer_->ClearRecords();
    return peer_->SendCmd(cmd, text) != 0 && server_.PumpUntil([&] { return peer_->Has(pred); });
  }
  bool ExpectOutput(int cmd, const std::string& text, const std::string& output) {
    return Exchange(cmd, text, [&](const stReceived& r) {
      return IsCmd(r) && r.CmdText() == OutputCmd(output);
    });
  }
  bool ExpectRefusal(int cmd, const std::string& text, int code) {
    return Exchange(cmd, text,
                    [&](const stReceived& r) { return IsException(r, stMsg_Cmd::s_nType, code); });
  }
  bool LogIn(const std::string& name, const std::string& password) {
    iAccount* account = server_.Accounts().GetAccount(1);
    return peer_->SendCmd(2, "Login('" + name + "','" + password + "')") != 0 &&
           server_.PumpUntil([&] { return account->IsLogin() && account->GetName() == name; });
  }

  testkit::cTempDir home_{testkit::cTempDir::kHome};
  cServerEndpoint server_;
  std::unique_ptr<cPeer> peer_;
};

// A refused login leaves the peer outside every group but the login's; level 0 stays outside
// the levelled groups.
TEST_F(BridgeServerTest, GroupsOtherThanTwoNeedALoginWithALevelAboveZero) {
  EXPECT_TRUE(ExpectOutput(2, "Login('gm','wrong')", "login error 密码错误\n"));
  EXPECT_TRUE(ExpectRefusal(3, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(ExpectRefusal(4, "Count()", ChatException_NotLogin));
  ASSERT_TRUE(LogIn("low", "p"));
  EXPECT_TRUE(ExpectRefusal(4, "Count()", ChatException_NoPri));
  EXPECT_EQ(server_.CountCalls(), 0);
}

TEST_F(BridgeServerTest, GroupTwentyFiveRunsWithoutAccountsUnlessItsCheckAsksForALogin) {
  // No account lookup at all: even a server without an account manager runs it.
  server_.BindAMServer(nullptr);
  EXPECT_TRUE(ExpectOutput(25, "Echo('free')", "free 25"));
  server_.BindAMServer(&server_.Accounts());
  struct cNeedLogin : iCheckCmd {
    HandleChatExceptionEnum CheckCmd(iSend*, unsigned cmd) override {
      ++calls;
      return cmd == 25 ? ChatException_NeedLogin : ChatException_OK;
    }
    int calls = 0;
  } check;
  server_.SetCheck(&check);
  EXPECT_TRUE(ExpectRefusal(25, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(ExpectRefusal(3, "Echo('x')", ChatException_NotLogin));
  EXPECT_EQ(check.calls, 1);  // group 3 never reaches the application's check
  ASSERT_TRUE(LogIn("gm", "s3cret"));
  EXPECT_TRUE(ExpectOutput(25, "Echo('y')", "y 25"));
  EXPECT_TRUE(ExpectOutput(3, "Echo('hello')", "hello 3"));
  server_.SetCheck(nullptr);
}

// Hostile texts in group 2 before a login: nothing but the login calls runs, and no password
// reaches the logs.
TEST_F(BridgeServerTest, ALinkNotLoggedInRunsNothingButTheLoginCallsInGroupTwo) {
  const std::string marker = home_ / "ran";
  for (const std::string& text :
       {"os.execute('touch " + marker + "')", std::string("while true do end"),
        std::string("Logout() Logout()"),
        "Login('gm','s3cret'); os.execute('touch " + marker + "')",
        std::string("Login('gm', 's3cret'..'')"), std::string("Login(gm)"), std::string("x = 1")})
    EXPECT_TRUE(ExpectRefusal(2, text, ChatException_NoPri)) << text;
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(server_.Accounts().GetAccount(1)->IsLogin());
  // The login calls themselves, with blanks and a semicolon, run.
  ASSERT_NE(peer_->SendCmd(2, " Logined( 1 , 'peer' ) ; "), 0);
  ASSERT_TRUE(server_.PumpUntil([&] { return server_.Logined().size() == 1; }));
  // A level-0 account stays inside the login calls too; above level 0 any text runs.
  ASSERT_TRUE(LogIn("low", "p"));
  EXPECT_TRUE(ExpectRefusal(2, "x = 1", ChatException_NoPri));
  EXPECT_TRUE(ExpectOutput(2, "Logout();", "logout ok Account low logout \n"));
  ASSERT_TRUE(LogIn("gm", "s3cret"));
  ASSERT_NE(peer_->SendCmd(2, "Logined(0,'a') Logined(0,'b')"), 0);
  EXPECT_TRUE(server_.PumpUntil([&] { return server_.Logined().size() == 3; }));
  server_.End();
  const std::string log = testkit::ReadFolder(home_.path() / "log");
  EXPECT_NE(log.find("{Login('gm','******')} result 0"), std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

TEST_F(BridgeServerTest, ADisconnectReleasesTheLinkOnlyWhenEveryListenerAgrees) {
  struct cRefuse : iConnectDisconnect {
    void OnConnect(unsigned) override {}
    bool OnDisconnect(unsigned) override { return false; }
    void OnLogined(unsigned, int) override {}
  } refuse;
  struct cBare : cBridgeServer {
  } bare;  // without listeners: an unknown id is agreed and there is nothing to release
  bare.SetNet(server_.GetNetServer());
  EXPECT_TRUE(bare.OnDisconnect(999));
  bare.SetNet(nullptr);
  server_.BindiConnectDisconnect(&refuse);
  peer_.reset();
  ASSERT_TRUE(server_.PumpUntil([&] { return server_.Accounts().GetAccount(1) == nullptr; }));
  // The account manager agreed and dropped the record; the refusing listener keeps the link.
  EXPECT_NE(server_.GetNetServer()->GetLink(1), nullptr);
  EXPECT_FALSE(server_.OnDisconnect(1));
}

TEST_F(BridgeServerTest, TheAddressFileLoadsUntilAnEmptyLineAndABadLineFailsTheLoad) {
  home_.write("nameip.ini", "login 127.0.0.1\n\nlater 127.0.0.9\n");
  EXPECT_TRUE(server_.LoadIP("nameip.ini"));
  ASSERT_EQ(server_.GetNameIPs().size(), 1u);
  home_.write("bad.ini", "one 127.0.0.1\ntwo\n");
  EXPECT_FALSE(server_.LoadIP("bad.ini"));
  EXPECT_EQ(server_.GetNameIPs().at("one"), "127.0.0.1");
}

}  // namespace
