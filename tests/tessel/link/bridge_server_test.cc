#include "tessel/link/bridge_server.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/file_text.h"
#include "testkit/link_fixture.h"

namespace linktest {
namespace {

// The server's own groups 3, 4 and 25 hold Echo (prints its argument and the group) and Count;
// the plain peer is connected; the accounts gm (level 9) and low (level 0) exist.
class BridgeServerTest : public LinkTest {
 protected:
  void SetUp() override {
    SetConfigValue("check_login", 1);
    WriteAccount("gm", "s3cret", 9);
    WriteAccount("low", "p", 0);
    StartServer();
    for (int group : {3, 4, 25}) Bridge().AddCmd(group, &groups_);
    Bridge().BindiConnectDisconnect(&told_);
    ASSERT_TRUE(ConnectPeer());
  }
  void TearDown() override { m_peerLink.reset(), m_server.reset(); }
  bool Answers(int group, const std::string& text, const std::string& output) {
    return Exchange(group, text, [&](const testkit::stDelivery& d) { return IsOutput(d, output); });
  }
  bool Refuses(int group, const std::string& text, int code) {
    return Exchange(group, text, [&](const testkit::stDelivery& d) {
      return IsException(d, stMsg_Cmd::s_nType, code);
    });
  }
  bool LogIn(const std::string& name, const std::string& password) {
    return Exchange(
        2, "Login('" + name + "','" + password + "')",
        [](const testkit::stDelivery& d) { return d.CmdText().starts_with("Logined(1"); });
  }

  int counted_ = 0;
  cFnCmd groups_{"cCmd_TestGroups", [this](lua_State* L) {
                   luareg::def(L, "Echo", [](const char* text) {
                     get_gout() << text << " " << GetServingCmdLevel();
                   });
                   luareg::def(L, "Count", [this] { ++counted_; });
                 }};
  cLoginRecorder told_;  // the server's listener: Logined calls that ran reach it
};

// Before a login only the login calls run in group 2 and nothing in the other groups below 20;
// level 0 stays inside the login calls; no password reaches the logs. Groups from 20 on run
// without accounts unless the application's check asks for a login.
TEST_F(BridgeServerTest, ALinkRunsNothingButTheLoginCallsUntilLoggedInAboveLevelZero) {
  Bridge().BindAMServer(nullptr);  // no account lookup at all for them
  EXPECT_TRUE(Answers(25, "Echo('free')", "free 25"));
  Bridge().BindAMServer(&Accounts());
  struct cNeedLogin : iCheckCmd {
    HandleChatExceptionEnum CheckCmd(iSend*, unsigned cmd) override {
      return ++calls, cmd == 25 ? ChatException_NeedLogin : ChatException_OK;
    }
    int calls = 0;
  } check;
  Bridge().SetCheck(&check);
  EXPECT_TRUE(Refuses(25, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(Answers(2, "Login('gm','wrong')", "login error 密码错误\n"));
  EXPECT_TRUE(Refuses(3, "Echo('x')", ChatException_NotLogin));
  EXPECT_EQ(check.calls, 1);  // groups below 20 never reach the application's check
  EXPECT_TRUE(Refuses(4, "Count()", ChatException_NotLogin));
  const std::string marker = m_home / "ran";
  for (const std::string& text :
       {"os.execute('touch " + marker + "')", std::string("while true do end"),
        std::string("Logout() Logout()"),
        "Login('gm','s3cret'); os.execute('touch " + marker + "')",
        std::string("Login('gm', 's3cret'..'')"), std::string("Login(gm)"), std::string("x = 1")})
    EXPECT_TRUE(Refuses(2, text, ChatException_NoPri)) << text;
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(Accounts().GetAccount(1)->IsLogin());
  // The login calls themselves, with blanks and a semicolon, run; each tells the listeners.
  auto runs = [&](const std::string& text, size_t calls) {
    const size_t told = told_.results.size();
    return SendCmd(m_peerLink->client, 2, text) != 0 &&
           Pump([&] { return told_.results.size() == told + calls; });
  };
  EXPECT_TRUE(runs(" Logined( 1 , 'peer' ) ; ", 1));
  ASSERT_TRUE(LogIn("low", "p"));
  EXPECT_TRUE(Refuses(4, "Count()", ChatException_NoPri));
  EXPECT_TRUE(Refuses(2, "x = 1", ChatException_NoPri));
  EXPECT_TRUE(Answers(2, "Logout();", "logout ok Account low logout \n"));
  ASSERT_TRUE(LogIn("gm", "s3cret"));
  EXPECT_TRUE(Answers(3, "Echo('hello')", "hello 3"));
  EXPECT_TRUE(Answers(25, "Echo('y')", "y 25"));
  Bridge().SetCheck(nullptr);
  EXPECT_TRUE(runs("Logined(0,'a') Logined(0,'b')", 2)) << "above level 0 any text runs";
  EXPECT_EQ(counted_, 0);
  m_server->End();
  const std::string log = testkit::ReadFolder(m_home.path() / "log");
  EXPECT_NE(log.find("{Login('gm','******')} result 0"), std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

TEST_F(BridgeServerTest, ADisconnectReleasesTheLinkOnlyWhenEveryListenerAgrees) {
  struct cRefuse : cLoginRecorder {
    bool OnDisconnect(unsigned) override { return false; }
  } refuse;
  cBridgeServer bare;  // without listeners: an unknown id is agreed and there is nothing to release
  bare.SetNet(m_server->GetNetServer());
  EXPECT_TRUE(bare.OnDisconnect(999));
  bare.SetNet(nullptr);
  Bridge().BindiConnectDisconnect(&refuse);
  m_peerLink.reset();
  ASSERT_TRUE(Pump([&] { return Accounts().GetAccount(1) == nullptr; }));
  // The account manager agreed and dropped the record; the refusing listener keeps the link.
  EXPECT_NE(m_server->GetNetServer()->GetLink(1), nullptr);
  EXPECT_FALSE(Bridge().OnDisconnect(1));
}

}  // namespace
}  // namespace linktest
