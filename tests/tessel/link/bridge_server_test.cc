#include "tessel/link/bridge_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tessel/core/config_stores.h"
#include "testkit/file_text.h"
#include "testkit/link_test_util.h"
#include "testkit/temp_dir.h"

namespace {

using namespace linktest;

// A server endpoint on loopback with one connected peer; the account files live in the
// temporary home.
class BridgeServerTest : public testing::Test {
 protected:
  void SetUp() override {
    SetConfigValue("check_login", 1);
    std::filesystem::create_directories("db/accounts");
    WriteAccount("gm", "password = s3cret\ncmd = 9\n");
    WriteAccount("low", "password = p\n");
    ASSERT_NE(server_.Port(), 0);
    peer_ = std::make_unique<cPeer>(server_.Port());
    ASSERT_TRUE(peer_->Connected());
    ASSERT_TRUE(server_.PumpUntil([&] { return server_.Accounts().GetAccount(1) != nullptr; }));
  }
  void TearDown() override { peer_.reset(); }
  void WriteAccount(const std::string& name, const std::string& text) {
    std::ofstream("db/accounts/" + name + ".ini") << text;
  }
  // Sends a command and pumps until the peer got a record matching `pred`.
  bool Exchange(cPeer& peer, int cmd, const std::string& text,
                const std::function<bool(const stReceived&)>& pred) {
    peer.ClearRecords();
    return peer.SendCmd(cmd, text) != 0 && server_.PumpUntil([&] { return peer.Has(pred); });
  }
  bool ExpectOutput(cPeer& peer, int cmd, const std::string& text, const std::string& output) {
    return Exchange(peer, cmd, text, [&](const stReceived& r) {
      return IsCmd(r) && r.CmdText() == OutputCmd(output);
    });
  }
  bool ExpectRefusal(cPeer& peer, int cmd, const std::string& text, int code) {
    return Exchange(peer, cmd, text,
                    [&](const stReceived& r) { return IsException(r, stMsg_Cmd::s_nType, code); });
  }
  bool LogIn(cPeer& peer, const char* name, const char* password) {
    return ExpectOutput(peer, 2, std::string("Login('") + name + "','" + password + "')",
                        std::string("login ok ") + name + " cmd level = " +
                            std::to_string(name == std::string("low") ? 0 : 9) + " 成功登陆\n");
  }

  testkit::cTempDir home_{testkit::cTempDir::kHome};
  cServerEndpoint server_;
  std::unique_ptr<cPeer> peer_;
};

TEST_F(BridgeServerTest, ACommandRunsInItsGroupAndItsOutputComesBackAsOneOutputCommand) {
  ASSERT_TRUE(LogIn(*peer_, "gm", "s3cret"));
  ASSERT_TRUE(ExpectOutput(*peer_, 3, "Echo('hello')", "hello 3"));
  ASSERT_TRUE(ExpectOutput(*peer_, 25, "Echo('there')", "there 25"));
  server_.PumpFor(50);
  auto records = peer_->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Word(0), 25);
}

// A refused login is answered to the peer, which stays outside every group but the login's.
TEST_F(BridgeServerTest, GroupsOtherThanTwoNeedALoginWithALevelAboveZero) {
  EXPECT_TRUE(ExpectOutput(*peer_, 2, "Login('gm','wrong')", "login error 密码错误\n"));
  EXPECT_TRUE(ExpectRefusal(*peer_, 3, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(ExpectRefusal(*peer_, 4, "Count()", ChatException_NotLogin));
  ASSERT_TRUE(LogIn(*peer_, "low", "p"));
  EXPECT_TRUE(ExpectRefusal(*peer_, 4, "Count()", ChatException_NoPri));
  EXPECT_EQ(server_.CountCalls(), 0);
}

TEST_F(BridgeServerTest, GroupTwentyFiveRunsWithoutAccountsUnlessItsCheckAsksForALogin) {
  // No account lookup at all: even a server without an account manager runs it.
  server_.BindAMServer(nullptr);
  EXPECT_TRUE(ExpectOutput(*peer_, 25, "Echo('free')", "free 25"));
  server_.BindAMServer(&server_.Accounts());

  struct cNeedLogin : iCheckCmd {
    HandleChatExceptionEnum CheckCmd(iSend*, unsigned cmd) override {
      ++calls;
      return cmd == 25 ? ChatException_NeedLogin : ChatException_OK;
    }
    int calls = 0;
  } check;
  server_.SetCheck(&check);
  EXPECT_TRUE(ExpectRefusal(*peer_, 25, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(ExpectRefusal(*peer_, 3, "Echo('x')", ChatException_NotLogin));
  EXPECT_EQ(check.calls, 1);  // group 3 never reaches the application's check
  ASSERT_TRUE(LogIn(*peer_, "gm", "s3cret"));
  EXPECT_TRUE(ExpectOutput(*peer_, 25, "Echo('y')", "y 25"));
  server_.SetCheck(nullptr);
}

TEST_F(BridgeServerTest, ALinkNotLoggedInRunsNothingButTheLoginCallsInGroupTwo) {
  std::filesystem::path marker = home_.path() / "ran";
  const std::string escapes[] = {
      "os.execute('touch " + marker.string() + "')",
      "while true do end",
      "Logout() Logout()",
      "Login('gm','s3cret'); os.execute('touch " + marker.string() + "')",
      "Login('gm', 's3cret'..'')",
      "Login(gm)",
      "x = 1",
  };
  for (const std::string& text : escapes)
    EXPECT_TRUE(ExpectRefusal(*peer_, 2, text, ChatException_NoPri)) << text;
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(server_.Accounts().GetAccount(1)->IsLogin());

  // The login calls themselves, with blanks and a semicolon, run.
  ASSERT_NE(peer_->SendCmd(2, " Logined( 1 , 'peer' ) ; "), 0);
  ASSERT_TRUE(server_.PumpUntil([&] { return server_.Logined().size() == 1; }));
  EXPECT_EQ(server_.Logined()[0].second, 1);
  // A level-0 account stays inside the login calls too.
  ASSERT_TRUE(LogIn(*peer_, "low", "p"));
  EXPECT_TRUE(ExpectRefusal(*peer_, 2, "x = 1", ChatException_NoPri));
  EXPECT_TRUE(ExpectOutput(*peer_, 2, "Logout();", "logout ok Account low logout \n"));
  // A logged-in account above level 0 runs any text in group 2.
  ASSERT_TRUE(LogIn(*peer_, "gm", "s3cret"));
  ASSERT_NE(peer_->SendCmd(2, "Logined(0,'a') Logined(0,'b')"), 0);
  EXPECT_TRUE(server_.PumpUntil([&] { return server_.Logined().size() == 3; }));
}

TEST_F(BridgeServerTest, NoPasswordReachesTheLogs) {
  EXPECT_TRUE(ExpectRefusal(*peer_, 2, "Login('gm','s3cret') x()", ChatException_NoPri));
  ASSERT_TRUE(LogIn(*peer_, "gm", "s3cret"));
  server_.End();
  std::string log = testkit::ReadFolder(home_.path() / "log");
  EXPECT_NE(log.find("{Login('gm','******')} result 0"), std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

TEST_F(BridgeServerTest, ADisconnectReleasesTheLinkOnlyWhenEveryListenerAgrees) {
  struct cRefuse : iConnectDisconnect {
    void OnConnect(unsigned) override {}
    bool OnDisconnect(unsigned) override { return false; }
    void OnLogined(unsigned, int) override {}
  } refuse;
  // An id the server does not know: the listeners agreed and there is nothing to release.
  struct cBare : cBridgeServer {
  } bare;
  bare.SetNet(server_.GetNetServer());
  EXPECT_TRUE(bare.OnDisconnect(999));
  bare.SetNet(nullptr);
  server_.BindiConnectDisconnect(&refuse);
  peer_.reset();
  iServer* net = server_.GetNetServer();
  ASSERT_TRUE(server_.PumpUntil([&] { return server_.Accounts().GetAccount(1) == nullptr; }));
  // The account manager agreed and dropped the record; the refusing listener keeps the link.
  EXPECT_NE(net->GetLink(1), nullptr);
  EXPECT_FALSE(server_.OnDisconnect(1));
}

TEST_F(BridgeServerTest, TheAddressFileLoadsUntilAnEmptyLineAndIsRewrittenOnChange) {
  std::ofstream("nameip.ini") << "login 127.0.0.1\n\nlater 127.0.0.9\n";
  EXPECT_TRUE(server_.LoadIP("nameip.ini"));
  ASSERT_EQ(server_.GetNameIPs().size(), 1u);
  server_.SetNameIP("login", "127.0.0.2");
  server_.SetNameIP("chat", "127.0.0.1");
  std::ifstream in("nameip.ini");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text, "chat 127.0.0.1\nlogin 127.0.0.2\n");
  std::ofstream("bad.ini") << "one 127.0.0.1\ntwo\n";
  EXPECT_FALSE(server_.LoadIP("bad.ini"));
  EXPECT_EQ(server_.GetNameIPs().at("one"), "127.0.0.1");
  // The peer's address is allowed; a fresh link of it still comes up.
  cPeer again(server_.Port());
  EXPECT_TRUE(again.Connected());
}

}  // namespace
