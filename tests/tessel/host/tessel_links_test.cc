// The host with a real easy server and easy client of its own on 127.0.0.1: the walks over them,
// the lookups by name and by account, and the hooks the host installs.
#include "tessel/host/tessel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host_fixture.h"
#include "tessel/console/cmd.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/host/tessel_values.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/link/net_help.h"

namespace {

class cMarkCmd : public cCmd {
 public:
  ~cMarkCmd() override { Clear(); }
  void bind_cln(lua_State* L) override {
    luareg::def(L, "Mark", [this](const char* text) { marks.emplace_back(text); });
  }
  const char* GetName() override { return "cCmd_TestMark"; }
  std::vector<std::string> marks;
};

class cServer : public cEasyServer {
 public:
  explicit cServer(unsigned maxlinks) : m_nMaxLinks(maxlinks) {}
  void GetInfo(stServerInfo& info) override {
    info.bindip = 0x7F000001;
    info.maxlinks = m_nMaxLinks;
  }
  const char* GetName() override { return "center"; }

 private:
  unsigned m_nMaxLinks;
};

class cClient : public cEasyClient {
 public:
  explicit cClient(cServer& server) : m_server(server) { GetBridgeClient()->AddCmd(1, &mark); }
  void GetInfo(stClientInfo& info) override {
    LoadInfo(info);
    info.port = m_server.GetNetServer()->GetPort();
  }
  const char* GetName() override { return "global"; }
  cMarkCmd mark;

 private:
  cServer& m_server;
};

class HostLinksTest : public HostTest {
 protected:
  // A host with one server and one client of it, logged in as "opsuser".
  void StartLinks(unsigned maxlinks = 100) {
    std::filesystem::create_directories("config");
    std::filesystem::create_directories("db/accounts");
    std::ofstream("config/login_global.ini")
        << "serverip = 127.0.0.1\nautoconnect = 1\naccount = opsuser\npassword = pw\n";
    std::ofstream("db/accounts/opsuser.ini") << "password = pw\ncmd = 1\n";
    m_server = std::make_unique<cServer>(maxlinks);
    m_client = std::make_unique<cClient>(*m_server);
    m_host->Init();
    m_host->SetTesselServer(m_server.get());
    m_host->SetTesselClient(m_client.get());
    ASSERT_TRUE(m_host->Start(false));
    ASSERT_TRUE(CyclesUntil([&] { return m_host->FindServerAccount("opsuser") != nullptr; }));
  }
  void TearDown() override {
    if (m_server) {
      m_host->ClearNet();
      m_host.reset();
    }
    m_client.reset();
    m_server.reset();
    HostTest::TearDown();
  }
  // Runs cycles until pred holds, at most about ms.
  bool CyclesUntil(const std::function<bool()>& pred, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 2) {
      Cycles(1);
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  std::unique_ptr<cServer> m_server;
  std::unique_ptr<cClient> m_client;
};

TEST_F(HostLinksTest, LookupsFindEndpointsLinksAndTheOwnAccount) {
  StartLinks();
  cBridgeClient* route = m_client->GetBridgeClient();
  EXPECT_EQ(m_host->FindBridge("center"), m_server->GetBridgeServer());
  EXPECT_EQ(m_host->FindBridge("global"), route);
  EXPECT_EQ(m_host->FindBridge("nobody"), nullptr);

  iSend* onServer = m_host->FindServerAccount("opsuser");
  ASSERT_NE(onServer, nullptr);
  EXPECT_NE(onServer->GetID(), 0) << "the server's link of that account";
  int found = -1;
  EXPECT_EQ(m_host->FindLinkProgram("global", found), m_client->GetNetClient());
  EXPECT_EQ(found, 1);
  EXPECT_EQ(m_host->FindLinkProgram("opsuser", found), onServer);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(m_host->FindLinkProgram("nobody", found), nullptr);
  EXPECT_EQ(found, 0);

  const std::string program = cTesselValues::Instance().GetProgram();
  EXPECT_EQ(m_host->GetAccount(), program);
  EXPECT_EQ(m_host->IsAccount("opsuser"), 0);
  m_host->SetDefaultRoute(route);
  EXPECT_STREQ(m_host->GetAccount(), "opsuser");
  EXPECT_EQ(m_host->IsAccount("opsuser"), 1);
  EXPECT_EQ(m_host->IsAccount(program.c_str()), 1) << "the program's name stays its own";
  m_host->SetDefaultRoute(nullptr);
  EXPECT_EQ(m_host->GetAccountFather(), program) << "the login answer named the server";
}

TEST_F(HostLinksTest, CommandsToAllServersSkipServersOfManyLinksOnlyForManagers) {
  for (unsigned maxlinks : {100u, 1000u}) {
    SCOPED_TRACE(maxlinks);
    StartLinks(maxlinks);
    m_host->SendCmdAllServerManager(1, "Mark('manager')");
    m_host->SendCmdAllServer(1, "Mark('all')");
    ASSERT_TRUE(CyclesUntil(
        [&] { return !m_client->mark.marks.empty() && m_client->mark.marks.back() == "all"; }));
    const std::vector<std::string> expected = maxlinks < 1000
                                                  ? std::vector<std::string>{"manager", "all"}
                                                  : std::vector<std::string>{"all"};
    EXPECT_EQ(m_client->mark.marks, expected);
    TearDown();
    SetUp();
  }
}

TEST_F(HostLinksTest, HooksAnswerTheConsoleAndTheProgramValues) {
  StartLinks();
  std::ostringstream os;
  EXPECT_TRUE(cTesselCmd::Instance().ShiftCmdType("global", false, os));
  EXPECT_NE(os.str().find("cmd bridge switch to global"), std::string::npos);
  cTesselCmd::Instance().ShiftCmdType("", true, os);
  EXPECT_TRUE(IsTesselServer());
  std::ostringstream infos;
  cTesselValues::Instance().GetInfos(infos);
  EXPECT_NE(infos.str().find("center=1,"), std::string::npos) << infos.str();
}

TEST_F(HostLinksTest, EndStopsReconnectingAndClearsTheNetwork) {
  StartLinks();
  m_host->End();
  EXPECT_EQ(m_server->GetNetServer(), nullptr);
  EXPECT_EQ(m_client->GetNetClient(), nullptr);
  EXPECT_FALSE(m_client->GetBridgeClient()->GetInfo().autoreconnect);
}

// The host started with standard input closed: the pipes it makes must not take descriptor 0.
TESSEL_CHILD_SCENARIO(host_closed_stdin) {
  ::close(0);
  cTessel host;
  struct stat st {};
  if (::fstat(0, &st) != 0) return 1;
  return S_ISCHR(st.st_mode) ? 0 : 2;
}

TEST(HostStandardFds, AClosedStandardInputIsOpenedOnDevNull) {
  cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_closed_stdin", false);
  EXPECT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
}

}  // namespace
