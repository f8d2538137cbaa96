#include "tessel/link/easy_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/ping.h"
#include "testkit/easy_link_fixture.h"

namespace linktest {
namespace {

constexpr const char* kLogin =
    "serverip = 127.0.0.1\nautoconnect = 1\nautoreconnect = 1\naccount = opsuser\n";

// A client logged in as "opsuser" with the password "pw".
class LoggedInTest : public EasyLinkTest {
 protected:
  void StartLoggedIn(const std::function<void(stClientInfo&)>& adjust = nullptr) {
    WriteAccount("opsuser", "pw", 1);
    WriteLoginFile("global", std::string(kLogin) + "password = pw\n");
    StartServer();
    StartClient(adjust);
    ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 1; }));
  }
};

bool Contains(const std::vector<std::string>& texts, const std::string& part) {
  for (const std::string& text : texts)
    if (text.find(part) != std::string::npos) return true;
  return false;
}

// The login texts carry the values as escaped literals: the server reads back exactly what was
// sent. An account file name takes no backslash, so that case logs in without account files.
TEST_F(EasyLinkTest, AccountAndPasswordWithQuoteAndBackslashLogInAndALevelOneCommandAnswers) {
  struct Case {
    std::string account, password;
    int checkLogin;
  };
  const Case cases[] = {{"o'p", "pa'ss\\w\"", 1}, {"a\\'b\"c", "x');Logout('", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account);
    GetConfigStore().SetStringValue("check_login", c.checkLogin);
    WriteAccount(c.account, c.password, 1);
    WriteLoginFile("global", "serverip = 127.0.0.1\nautoconnect = 1\naccount = " + c.account +
                                 "\npassword = " + c.password + "\n");
    m_logins = cLoginRecorder();
    m_outputs.clear();
    StartServer();
    StartClient();
    ASSERT_TRUE(Pump([&] { return !m_logins.results.empty(); }));
    EXPECT_EQ(m_logins.results[0], 1);
    EXPECT_NE(m_server->GetAMServer()->FindAccount(c.account.c_str()), nullptr);
    EXPECT_EQ(Link().GetLogined(), 1);

    ASSERT_GT(Link().SendCmd(1, "Accounts()"), 0);
    ASSERT_TRUE(Pump([&] { return !m_outputs.empty(); }));
    EXPECT_TRUE(Contains(m_outputs, "func_Accounts ")) << "the listing came back as Output";
    m_client.reset();
    m_server.reset();
  }
  GetConfigStore().SetStringValue("check_login", 1);
}

TEST_F(EasyLinkTest, WrongPasswordIsRefusedAndLoginIsSentAgainOnlyAfterTenSeconds) {
  WriteAccount("opsuser", "right", 1);
  WriteLoginFile("global", std::string(kLogin) + "password = wrong\n");
  StartServer();
  StartClient();
  ASSERT_TRUE(Pump([&] { return !m_logins.results.empty(); }));
  EXPECT_EQ(m_logins.results[0], 0);
  EXPECT_EQ(Link().GetLoginFailTime(), m_now.load());

  m_client->SetAccount("opsuser", "right");
  m_now += cBridgeClient::kReloginSeconds;
  PumpFor(300);
  EXPECT_EQ(m_logins.results.size(), 1u) << "ten seconds exactly is not yet past the wait";
  m_now += 1;
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 2; }));
  EXPECT_EQ(m_logins.results[1], 1);
  EXPECT_EQ(Link().GetLoginFailTime(), 0);
}

TEST_F(LoggedInTest, ClientReconnectsAfterReconnectTimeAndLogsInAgainWhenTheServerReturns) {
  StartLoggedIn([](stClientInfo& info) { info.reconnecttime = 5; });
  const unsigned short port = m_server->Port();

  m_server.reset();
  ASSERT_TRUE(Pump([&] { return m_logins.disconnects == 1; }));
  EXPECT_EQ(Link().GetDisconnectTime(), m_now.load());
  StartServer(port);
  m_now += 5;
  PumpFor(300);
  EXPECT_EQ(Link().GetConnectCount(), 1u) << "no connect before reconnecttime has passed";
  m_now += 1;
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 2; }));
  EXPECT_EQ(m_logins.results[1], 1);
  EXPECT_EQ(Link().GetConnectCount(), 2u);
  EXPECT_EQ(m_logins.connects, 2);
}

TEST_F(LoggedInTest, PingGoesOutOnlyOnceTheStepsPassFiveSeconds) {
  StartLoggedIn();
  iClient* net = Link().GetNetClient();
  m_client->RunEasy(2500);
  m_client->RunEasy(2500);
  PumpFor(200);
  EXPECT_EQ(net->GetPingTime(), 0u) << "5000 ms exactly sends no ping";
  m_client->RunEasy(1);
  EXPECT_TRUE(Pump([&] { return net->GetPingTime() > 0; }));
}

TEST_F(EasyLinkTest, TheFasterAddressIsChosenByEcho) {
  struct Case {
    const char* ip1;
    const char* ip2;
    std::map<std::string, unsigned long> echo;
    bool useIp2;
  };
  const Case cases[] = {
      {"127.0.0.1", "", {}, false},
      {"127.0.0.1", "127.0.0.2", {{"127.0.0.1", 5}, {"127.0.0.2", 5}}, false},
      {"127.0.0.2", "127.0.0.1", {{"127.0.0.2", kPingFailed}, {"127.0.0.1", 1}}, true},
  };
  WriteLoginFile("global", "autoconnect = 1\n");
  StartServer();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.ip1) + " / " + c.ip2);
    std::vector<std::string> asked;
    m_logins = cLoginRecorder();
    StartClient([&](stClientInfo& info) {
      info.serverip = c.ip1;
      info.serverip2 = c.ip2;
      info.autologin = false;
      Link().SetEcho([&](const char* host, int) {
        asked.emplace_back(host);
        return c.echo.at(host);
      });
    });
    EXPECT_EQ(asked.size(), c.echo.size()) << "no echo without a second address";
    EXPECT_EQ(Link().IsUseIp2(), c.useIp2);
    EXPECT_TRUE(Pump([&] { return m_logins.connects == 1; })) << "connected to 127.0.0.1";
    m_client.reset();
  }
}

TEST_F(EasyLinkTest, ConnectWithoutANetworkClientFailsAtOnceWithAMessage) {
  WriteLoginFile("global", "serverip = 127.0.0.1\n");
  StartServer();
  StartClient();
  ASSERT_NE(Link().GetNetClient(), nullptr);
  cTestClient never(m_server->Port(), "never");
  for (cBridgeClient* link : {never.GetBridgeClient(), &Link()}) {
    link->ClearNet();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(link->Connect(), 0);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("has no net client"),
              std::string::npos);
  }
}

// A listening socket that accepts but reads nothing until told, with a small receive buffer so
// the client's data backs up quickly.
class cSilentListener {
 public:
  cSilentListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(m_fd, 1);
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~cSilentListener() {
    if (m_peer >= 0) ::close(m_peer);
    ::close(m_fd);
  }
  // Accepts the link and reads what is waiting, without blocking.
  void Drain() {
    if (m_peer < 0) m_peer = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK);
    char buffer[65536];
    while (m_peer >= 0 && ::read(m_peer, buffer, sizeof buffer) > 0) {
    }
  }
  unsigned short port = 0;

 private:
  int m_fd = -1;
  int m_peer = -1;
};

TEST_F(EasyLinkTest, CanEndRefusesWhileUnsentDataRemains) {
  cSilentListener listener;
  WriteLoginFile("global", "serverip = 127.0.0.1\nautoconnect = 1\n");
  m_client = std::make_unique<cTestClient>(listener.port);
  ASSERT_TRUE(m_client->Start());
  ASSERT_TRUE(Pump([&] { return Link().GetNetClientConnect() != nullptr; }));
  std::string reason;
  EXPECT_TRUE(m_client->CanEnd(reason));

  const std::string big(60000, 'x');
  iClient* net = Link().GetNetClient();
  // Sent until the data has plainly backed up behind the peer that does not read.
  for (int i = 0; i < 400 && net->GetUnsentBytes() < 2 * big.size(); ++i) {
    Link().SendCmd(30, big);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(net->GetUnsentBytes(), 2 * big.size());
  EXPECT_FALSE(m_client->CanEnd(reason));
  EXPECT_EQ(reason, "Send Buffer not empty!");

  reason.clear();
  EXPECT_TRUE(Pump([&] {
    listener.Drain();
    return m_client->CanEnd(reason);
  })) << "the client may end once everything is sent";
}

TEST_F(EasyLinkTest, LoginFileChoiceAndUnreadableFileGiveTheFallbacks) {
  namespace fs = std::filesystem;
  fs::create_directories("config");
  std::ofstream("config/login.ini") << "serverip = 10.0.0.9\naccount = common\n";
  cTestClient client(1);
  std::string path;
  ASSERT_TRUE(client.GetLoginFile(path));
  EXPECT_EQ(path, "config/login.ini");
  WriteLoginFile("global", "serverip = 10.0.0.1\nautoconnect = true\nautoreconnect = 1\n");
  ASSERT_TRUE(client.GetLoginFile(path));
  EXPECT_EQ(path, "config/login_global.ini") << "the name-specific file comes first";

  stClientInfo info;
  client.LoadInfo(info);
  EXPECT_EQ(info.serverip, "10.0.0.1");
  EXPECT_FALSE(info.autoconnect) << "only 0 and 1 are read as a flag";
  EXPECT_TRUE(info.autoreconnect);
  EXPECT_EQ(info.account, "");

  // A file that exists but fails while it is read gives the fallbacks, none of its text.
  fs::remove("config/login_global.ini");
  fs::create_symlink("/proc/self/mem", "config/login_global.ini");
  stClientInfo unreadable;
  unreadable.serverip2 = "keep";
  client.LoadInfo(unreadable);
  EXPECT_EQ(unreadable.serverip, "127.0.0.1");
  EXPECT_EQ(unreadable.account, "opsuser");
  EXPECT_EQ(unreadable.password, "mxmx");
  EXPECT_EQ(unreadable.serverip2, "keep");

  fs::remove("config/login_global.ini");
  fs::remove("config/login.ini");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(client.GetLoginFile(path));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(path, "");
  EXPECT_NE(out.find("not find login file under path "), std::string::npos);
  EXPECT_NE(out.find("by the name /login_global.ini or /login.ini"), std::string::npos);
}

TEST_F(LoggedInTest, ACloneStartsWithItsOwnNameAndNeverConnectsByItself) {
  StartLoggedIn();
  cEasyClient* clone = m_client->Clone("global2", 0);
  ASSERT_NE(clone, nullptr);
  EXPECT_STREQ(clone->GetName(), "global2");
  EXPECT_NE(clone->GetNetClient(), nullptr);
  const stClientInfo& info = clone->GetBridgeClient()->GetInfo();
  EXPECT_FALSE(info.autoconnect);
  EXPECT_FALSE(info.autoreconnect);
  EXPECT_EQ(info.port, m_server->Port());
  PumpFor(100);
  EXPECT_EQ(clone->GetBridgeClient()->GetConnectCount(), 0u);
  clone->ClearNet();
}

// A command served on the server side sees the requester's account and its own side; an
// exception notice with code 6 makes the client drop the link, other codes are only logged.
TEST_F(EasyLinkTest, ServedCommandsSeeTheRequesterAndCodeSixDisconnectsTheClient) {
  WriteAccount("opsuser", "pw", 1);
  WriteLoginFile("global", std::string(kLogin) + "password = pw\n");
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
  StartClient();
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 1; }));
  Link().SendCmd(3, "Who()");
  ASSERT_TRUE(Pump([&] { return Contains(m_outputs, "opsuser 1 0"); }))
      << ::testing::PrintToString(m_outputs);

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
