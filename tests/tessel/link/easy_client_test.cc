#include "tessel/link/easy_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/easy_link_fixture.h"
#include "testkit/stdout_capture.h"

namespace linktest {
namespace {

constexpr const char* kLogin = "serverip = 127.0.0.1\nautoconnect = 1\naccount = opsuser\n";

// Starts server and client with the account "opsuser" and the client's password `password`;
// waits for the first login result.
class LoggedInTest : public EasyLinkTest {
 protected:
  void StartLoggedIn(const std::string& password = "pw",
                     const std::function<void(stClientInfo&)>& adjust = nullptr) {
    WriteAccount("opsuser", "pw", 1);
    WriteLoginFile("global", std::string(kLogin) + "autoreconnect = 1\npassword = " + password);
    if (!m_server) StartServer();
    StartClient(adjust);
    ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 1; }));
  }
  bool Said(const std::string& part) {
    for (const std::string& text : m_outputs)
      if (text.find(part) != std::string::npos) return true;
    return false;
  }
};

// The login texts carry the values as escaped literals: the server reads back exactly what was
// sent. An account file name takes no backslash, so that case logs in without account files.
TEST_F(LoggedInTest, AccountAndPasswordWithQuoteAndBackslashLogInAndALevelOneCommandAnswers) {
  for (const auto& [account, password, check] :
       {std::tuple<std::string, std::string, int>{"o'p", "pa'ss\\w\"", 1},
        {"a\\'b\"c", "x');Logout('", 0}}) {
    SCOPED_TRACE(account);
    SetConfigValue("check_login", check);
    WriteAccount(account, password, 1);
    WriteLoginFile("global", "serverip = 127.0.0.1\nautoconnect = 1\naccount = " + account +
                                 "\npassword = " + password + "\n");
    m_logins = cLoginRecorder();
    StartServer();
    StartClient();
    ASSERT_TRUE(Pump([&] { return !m_logins.results.empty(); }));
    EXPECT_EQ(m_logins.results[0], 1);
    EXPECT_NE(m_server->GetAMServer()->FindAccount(account.c_str()), nullptr);
    ASSERT_GT(Link().SendCmd(1, "Accounts()"), 0);
    EXPECT_TRUE(Pump([&] { return Said("func_Accounts "); })) << "the listing came back as Output";
    m_client.reset();
    m_server.reset();
  }
  SetConfigValue("check_login", 1);
}

TEST_F(LoggedInTest, WrongPasswordIsRefusedAndLoginIsSentAgainOnlyAfterTenSeconds) {
  StartLoggedIn("wrong");
  EXPECT_EQ(m_logins.results[0], 0);
  EXPECT_EQ(Link().GetLoginFailTime(), m_now.load());
  m_client->SetAccount("opsuser", "pw");
  m_now += cBridgeClient::kReloginSeconds;
  PumpFor(300);
  EXPECT_EQ(m_logins.results.size(), 1u) << "ten seconds exactly is not yet past the wait";
  m_now += 1;
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 2; }));
  EXPECT_EQ(m_logins.results[1], 1);
}

TEST_F(LoggedInTest, ClientReconnectsAfterReconnectTimeAndLogsInAgainWhenTheServerReturns) {
  StartLoggedIn("pw", [](stClientInfo& info) { info.reconnecttime = 5; });
  const unsigned short port = m_server->Port();
  m_server.reset();
  ASSERT_TRUE(Pump([&] { return m_logins.disconnects == 1; }));
  StartServer(port);
  m_now += 5;
  PumpFor(300);
  EXPECT_EQ(Link().GetConnectCount(), 1u) << "no connect before reconnecttime has passed";
  m_now += 1;
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 2; }));
  EXPECT_EQ(m_logins.results[1], 1);
  EXPECT_EQ(m_logins.connects, 2);
}

// Against a peer that does not read, the unsent data backs up and the client may not end until
// the peer reads it all. A client without its network client fails to connect at once.
TEST_F(EasyLinkTest, CanEndRefusesWhileUnsentDataRemains) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) + ::listen(listener, 1) +
                   ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len));
  WriteLoginFile("global", "serverip = 127.0.0.1\nautoconnect = 1\n");
  m_client = std::make_unique<cTestClient>(ntohs(addr.sin_port));
  ASSERT_TRUE(m_client->Start());
  ASSERT_TRUE(Pump([&] { return Link().GetNetClientConnect() != nullptr; }));
  std::string reason;
  EXPECT_TRUE(m_client->CanEnd(reason));
  const std::string big(60000, 'x');
  iClient* net = Link().GetNetClient();
  for (int i = 0; i < 400 && net->GetUnsentBytes() < 2 * big.size(); ++i) {
    Link().SendCmd(30, big);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(net->GetUnsentBytes(), 2 * big.size());
  EXPECT_FALSE(m_client->CanEnd(reason));
  EXPECT_EQ(reason, "Send Buffer not empty!");
  const int peer = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
  EXPECT_TRUE(Pump([&] {
    for (char buffer[65536]; ::read(peer, buffer, sizeof buffer) > 0;) {
    }
    return m_client->CanEnd(reason);
  })) << "the client may end once everything is sent";
  ::close(peer);
  ::close(listener);
  testkit::cStdoutCapture quiet;
  Link().ClearNet();
  EXPECT_EQ(Link().Connect(), 0);
}

// The name-specific login file comes first; a file that exists but fails while it is read gives
// the fallbacks, none of its text.
TEST_F(EasyLinkTest, LoginFileChoiceAndUnreadableFileGiveTheFallbacks) {
  namespace fs = std::filesystem;
  m_home->write("config/login.ini", "serverip = 10.0.0.9\naccount = common\n");
  cTestClient client(1);
  std::string path;
  ASSERT_TRUE(client.GetLoginFile(path));
  EXPECT_EQ(path, "config/login.ini");
  WriteLoginFile("global", "serverip = 10.0.0.1\nautoconnect = true\nautoreconnect = 1\n");
  ASSERT_TRUE(client.GetLoginFile(path));
  EXPECT_EQ(path, "config/login_global.ini");
  stClientInfo info;
  client.LoadInfo(info);
  EXPECT_EQ(info.serverip, "10.0.0.1");
  EXPECT_FALSE(info.autoconnect) << "only 0 and 1 are read as a flag";
  EXPECT_TRUE(info.autoreconnect);
  EXPECT_EQ(info.account, "");
  fs::remove("config/login_global.ini");
  fs::create_symlink("/proc/self/mem", "config/login_global.ini");
  stClientInfo unreadable;
  unreadable.serverip2 = "keep";
  client.LoadInfo(unreadable);
  EXPECT_EQ(unreadable.serverip + unreadable.account + unreadable.password + unreadable.serverip2,
            "127.0.0.1opsusermxmxkeep");
}

// Asked to, the clone connects with the record it copied: the same server and account, which
// that server refuses a second time.
TEST_F(LoggedInTest, ACloneNeverConnectsByItselfAndConnectsWithTheRecordItCopied) {
  StartLoggedIn();
  cEasyClient* clone = m_client->Clone("global2", 0);
  ASSERT_NE(clone, nullptr);
  cBridgeClient& link = *clone->GetBridgeClient();
  EXPECT_FALSE(link.GetInfo().autoconnect || link.GetInfo().autoreconnect);
  EXPECT_EQ(link.GetInfo().port, m_server->Port());
  PumpFor(100);
  EXPECT_EQ(link.GetConnectCount(), 0u);
  cLoginRecorder logins;
  link.BindiConnectDisconnect(&logins);
  ASSERT_NE(link.Connect(), 0);
  EXPECT_TRUE(Pump([&] { return clone->HandleMsg(), !logins.results.empty(); }));
  EXPECT_EQ(logins.results, std::vector<int>{0});
  EXPECT_EQ(m_server->GetAMServer()->FindAccount("opsuser")->GetLinkID(), 1u);
  clone->ClearNet();
}

// A command served on the server side sees the requester's account and its own side; an
// exception notice with code 6 makes the client drop the link, other codes are only logged.
TEST_F(LoggedInTest, ServedCommandsSeeTheRequesterAndCodeSixDisconnectsTheClient) {
  cTestCmd who("cCmd_TestWho", [](lua_State* L) {
    luareg::def(L, "Who", [] {
      iAccount* account = ServingAccount();
      get_gout() << (account != nullptr ? account->GetName() : "none") << " "
                 << (get_gout().GetBridgeAs<cBridgeServer>() != nullptr) << " "
                 << (get_gout().GetBridgeAs<cBridgeClient>() != nullptr);
    });
  });
  m_server = std::make_unique<cTestServer>();
  m_server->GetBridgeServer()->AddCmd(3, &who);
  ASSERT_TRUE(m_server->Start());
  StartLoggedIn();
  Link().SendCmd(3, "Who()");
  ASSERT_TRUE(Pump([&] { return Said("opsuser 1 0"); })) << ::testing::PrintToString(m_outputs);
  iSend* link = m_server->GetNetServer()->GetLink(
      m_server->GetAMServer()->FindAccount("opsuser")->GetLinkID());
  unsigned long size = 0;
  for (int code : {ChatException_NoCmd, ChatException_InternalWrong}) {
    link->Send(Msg_GetException(1004, code, size), size);
    PumpFor(200);
    EXPECT_EQ(m_logins.disconnects, code == ChatException_InternalWrong ? 1 : 0) << code;
  }
}

}  // namespace
}  // namespace linktest
