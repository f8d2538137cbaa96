#include "tessel/link/easy_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/console_color.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/in_order.h"
#include "testkit/link_fixture.h"
#include "testkit/stdout_capture.h"

namespace linktest {
namespace {

using EasyClientTest = LinkTest;

// The login texts carry the values as escaped literals: the server reads back exactly what was
// sent. A password may hold anything; without login checks no account file is read.
TEST_F(EasyClientTest, AccountAndPasswordWithQuoteAndBackslashLogIn) {
  for (const auto& [account, password, check] :
       {std::tuple<std::string, std::string, int>{"o'p", "pa'ss\\w\"", 1},
        {"a'b", "x');Logout('\\\"", 0}}) {
    SCOPED_TRACE(account);
    SetConfigValue("check_login", check);
    WriteAccount(account, password, 1);
    m_home.login("global", account, password, "autoconnect = 1\n");
    m_logins = cLoginRecorder();
    m_client.reset();
    StartServer();
    StartClient();
    ASSERT_TRUE(Pump([&] { return !m_logins.results.empty(); }));
    EXPECT_EQ(m_logins.results[0], 1);
    EXPECT_NE(Accounts().FindAccount(account.c_str()), nullptr);
  }
  SetConfigValue("check_login", 1);
}

// Logged in as "opsuser" with the wrong password first: the login is sent again only after ten
// seconds; a served command sees the requester; a lost server is connected again after the
// reconnect time; a clone connects with the record it copied (the connect line on a background
// of its own), which the server refuses a second time; an exception notice with code 6 makes the
// client drop the link, other codes are logged.
TEST_F(EasyClientTest, ALoggedInClientThroughRefusalReloginReconnectCloneAndExceptionNotices) {
  cFnCmd who("cCmd_TestWho", [](lua_State* L) {
    luareg::def(L, "Who", [] {
      iAccount* account = ServingAccount();
      get_gout() << (account != nullptr ? account->GetName() : "none") << " "
                 << (get_gout().GetBridgeAs<cBridgeServer>() != nullptr) << " "
                 << (get_gout().GetBridgeAs<cBridgeClient>() != nullptr);
    });
  });
  WriteAccount("opsuser", "pw", 1);
  m_home.login("global", "opsuser", "wrong", "autoconnect = 1\nautoreconnect = 1\n");
  StartServer();
  StartClient([](stClientInfo& info) { info.reconnecttime = 5; });
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 1; }));
  EXPECT_EQ(m_logins.results[0], 0);
  EXPECT_EQ(Link().GetLoginFailTime(), m_now.load());
  m_client->SetAccount("opsuser", "pw");
  m_now += cBridgeClient::kReloginSeconds;
  PumpFor(300);
  EXPECT_EQ(m_logins.results.size(), 1u) << "ten seconds exactly is not yet past the wait";
  m_now += 1;
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 2; }));
  EXPECT_EQ(m_logins.results[1], 1);

  const unsigned short port = m_server->Port();
  m_server.reset();
  ASSERT_TRUE(Pump([&] { return m_logins.disconnects == 1; }));
  m_now -= 3600;  // the clock set back an hour: the wait runs from then, not for an hour more
  PumpFor(50);
  StartServer(port);
  Bridge().AddCmd(3, &who);
  m_now += 5;
  PumpFor(300);
  EXPECT_EQ(Link().GetConnectCount(), 1u) << "no connect before reconnecttime has passed";
  m_now += 1;
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 3; }));
  EXPECT_EQ(m_logins.results[2], 1);
  EXPECT_EQ(m_logins.connects, 2);
  Link().SendCmd(3, "Who()");
  ASSERT_TRUE(Pump([&] { return Said("opsuser 1 0"); })) << ::testing::PrintToString(Outputs());

  Link().GetInfo().serverip2 = "127.0.0.1";  // the same server: the choice shows in the echoes
  Link().SetUseIp2(true);
  cEasyClient* clone = nullptr;
  {
    testkit::cStdoutCapture shown;
    clone = m_client->Clone("global2", 0);
    EXPECT_EQ(shown.Text().find("GetPing"), std::string::npos) << "a clone sends no echoes";
  }
  ASSERT_NE(clone, nullptr);
  cBridgeClient& copy = *clone->GetBridgeClient();
  EXPECT_TRUE(copy.IsUseIp2());
  EXPECT_FALSE(copy.GetInfo().autoconnect);
  EXPECT_FALSE(copy.GetInfo().autoreconnect);
  cLoginRecorder logins;
  copy.BindiConnectDisconnect(&logins);
  {
    testkit::cStdoutCapture shown;
    ScopedEnv color("TESSEL_COLOR", "1");
    const int attribute = platform::CurrentAttribute();
    ASSERT_NE(copy.Connect(), 0);
    EXPECT_TRUE(testkit::InOrder(
        shown.Text(), {platform::AnsiSequence(0xD0 | (attribute & 0x0F)) + "client global2 connect",
                       "\n" + platform::AnsiSequence(attribute)}));
  }
  EXPECT_TRUE(Pump([&] { return clone->HandleMsg(), !logins.results.empty(); }));
  EXPECT_EQ(logins.results, std::vector<int>{0});
  const unsigned id = Accounts().FindAccount("opsuser")->GetLinkID();
  EXPECT_EQ(id, 1u);
  clone->ClearNet();

  unsigned long size = 0;
  for (int code : {ChatException_NoCmd, ChatException_InternalWrong}) {
    m_server->GetNetServer()->GetLink(id)->Send(Msg_GetException(1004, code, size), size);
    PumpFor(200);
    EXPECT_EQ(m_logins.disconnects, code == ChatException_InternalWrong ? 2 : 1) << code;
  }
}

// Against a listener that never reads, the unsent data backs up and the client may not end until
// it is all read. A client without its network client fails to connect at once.
TEST_F(EasyClientTest, CanEndRefusesWhileUnsentDataRemains) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0), small = 4096;
  ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  WriteLogin("serverip = 127.0.0.1\nautoconnect = 1\n");
  m_client = std::make_unique<cTestClient>(ntohs(addr.sin_port));
  ASSERT_TRUE(m_client->Start());
  ASSERT_TRUE(Pump([&] { return Link().GetNetClientConnect() != nullptr; }));
  std::string reason;
  EXPECT_TRUE(m_client->CanEnd(reason));
  for (int i = 0; i < 400 && Link().GetNetClient()->GetUnsentBytes() < 120000; ++i) {
    Link().SendCmd(30, std::string(60000, 'x'));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_FALSE(m_client->CanEnd(reason));
  EXPECT_EQ(reason, "Send Buffer not empty!");
  const int peer = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
  char buffer[65536];
  EXPECT_TRUE(Pump([&] {
    while (::read(peer, buffer, sizeof buffer) > 0) continue;
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
TEST_F(EasyClientTest, LoginFileChoiceAndUnreadableFileGiveTheFallbacks) {
  m_home.write("config/login.ini", "serverip = 10.0.0.9\naccount = common\n");
  cTestClient client(1);
  std::string path;
  ASSERT_TRUE(client.GetLoginFile(path));
  EXPECT_EQ(path, "config/login.ini");
  WriteLogin("serverip = 10.0.0.1\n");
  stClientInfo info;
  client.LoadInfo(info);
  EXPECT_EQ(info.serverip, "10.0.0.1");
  EXPECT_EQ(info.account, "");
  std::filesystem::remove("config/login_global.ini");
  std::filesystem::create_symlink("/proc/self/mem", "config/login_global.ini");
  stClientInfo unreadable;
  unreadable.serverip2 = "keep";
  client.LoadInfo(unreadable);
  EXPECT_EQ(unreadable.serverip, "127.0.0.1");
  EXPECT_EQ(unreadable.account, "opsuser");
  EXPECT_EQ(unreadable.password, "mxmx");
  EXPECT_EQ(unreadable.serverip2, "keep");
  // The folder: the executable's file name, then its exe name with the map suffix, not the
  // name without either.
  const std::pair<const char*, const char*> folders[] = {
      {"config/server", "config"},
      {"config/server_3", "config/server_3"},
      {"config/server.exe", "config/server.exe"}};
  for (const auto& [made, chosen] : folders) {
    std::filesystem::create_directories(made);
    EXPECT_EQ(cEasyClient::LoginFolder("server.exe", "server_3"), chosen) << made;
  }
}

}  // namespace
}  // namespace linktest
