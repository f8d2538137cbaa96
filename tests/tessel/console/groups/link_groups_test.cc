// The standard groups in a host with a real easy server "center" and its client "global" logged
// in as "opsuser" on 127.0.0.1.
#include <gtest/gtest.h>

#include <mutex>

#include "cmd_group_util.h"
#include "tessel/console/groups/cmd_account.h"
#include "tessel/console/groups/cmd_msg.h"
#include "tessel/console/groups/cmd_net.h"
#include "tessel/console/groups/cmd_script.h"
#include "tessel/console/groups/cmd_sim.h"
#include "tessel/console/groups/cmd_tessel.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/contracts/loglib.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/easy_client.h"

namespace {

// Records the login results the client is told of.
class cLoginRecorder : public iConnectDisconnect {
 public:
  void OnConnect(unsigned int) override {}
  bool OnDisconnect(unsigned int) override { return true; }
  void OnLogined(unsigned int, int result) override { results.push_back(result); }
  std::vector<int> results;
};

class NetGroupLinkTest : public GroupLinkTest {
 protected:
  void SetUp() override {
    GroupLinkTest::SetUp();
    Link().BindiConnectDisconnect(&m_logins);
    ASSERT_TRUE(CyclesUntil([&] { return Link().GetLogined() == 1; }));
  }
  std::string Net(const std::string& text) { return Run(cCmdNet::Instance(), text).out; }
  stClientInfo& Info() { return Link().GetInfo(); }
  // Disconnects the client (by `how`), connects it again and waits for its next login.
  bool Reconnects(const std::string& how) {
    Info().autoreconnect = false;
    const size_t logins = m_logins.results.size();
    Net(how);
    return CyclesUntil([&] { return !m_host->FindServerAccount("opsuser"); }) &&
           (Net("Connect('global')"), CyclesUntil([&] {
              return m_logins.results.size() > logins && m_host->FindServerAccount("opsuser");
            }));
  }
  cLoginRecorder m_logins;
};

// Port 0 (and a port no socket can have) keeps the old port; the echo test's address is
// dropped; the client connects and logs in again.
TEST_F(NetGroupLinkTest, ConnectServerKeepsThePortUnlessOneIsGiven) {
  const unsigned short port = Info().port;
  for (const char* cmd :
       {"ConnectServer('global','127.0.0.1',0)", "ConnectServer('global','127.0.0.1',70000)"}) {
    Info().serverip = "127.0.0.9";
    Link().SetUseIp2(true);
    const size_t logins = m_logins.results.size();
    Net(cmd);
    EXPECT_EQ(Info().port, port) << cmd;
    EXPECT_FALSE(Link().IsUseIp2()) << cmd;
    EXPECT_TRUE(CyclesUntil([&] { return m_logins.results.size() > logins; })) << cmd;
  }
  EXPECT_TRUE(Reconnects("DisconnectServer('global')"));
}

// SetConnect replaces only what is given and does not reconnect; an address table entered with
// Set is saved and applied, and the client's own address still gets in.
TEST_F(NetGroupLinkTest, SetConnectAndTheAddressTable) {
  const stClientInfo before = Info();
  const unsigned connects = Link().GetConnectCount();
  Net("SetConnect('global','',0,'','')");
  EXPECT_EQ(Info().serverip + Info().account + Info().password,
            before.serverip + before.account + before.password);
  Net("SetConnect('global','10.1.2.3',4321,'',\"pw'2\")");
  EXPECT_EQ(Info().serverip + " " + std::to_string(Info().port) + " " + Info().password,
            "10.1.2.3 4321 pw'2");
  EXPECT_EQ(Info().account, before.account);
  EXPECT_EQ(Link().GetConnectCount(), connects);
  Info() = before;
  Net("Set('center','上海一','127.0.0.1') Set('center','peer','127.0.0.2')");
  Net("Set('center','peer','127.0.0.1')");
  EXPECT_EQ(testkit::ReadFile("config/nameip_center.ini"), "peer 127.0.0.1\n上海一 127.0.0.1\n");
  EXPECT_EQ(m_server->GetBridgeServer()->GetNameIPs().size(), 2u);
  EXPECT_TRUE(Reconnects("Disconnect('global')"));
}

class SimGroupLinkTest : public GroupLinkTest {
 protected:
  // Runs a simulation command, which prints nothing itself, and cycles until `expected` shows.
  ::testing::AssertionResult Shows(const std::string& cmd, const std::string& expected) {
    testkit::cStdoutCapture capture;
    const std::string direct = Run(cCmdSim::Instance(), cmd).out;
    if (direct.empty() &&
        CyclesUntil([&] { return capture.Text().find(expected) != std::string::npos; }))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << cmd << " printed " << direct << " then\n"
                                         << capture.Text();
  }
  std::string Id() { return std::to_string(LinkId()); }
};

// The simulated record travels its link's own path and meets the same login and level checks.
TEST_F(SimGroupLinkTest, SimulatedCommandsRunAsTrafficOfTheirLink) {
  const std::string id = Id();
  const std::string answer = "Output() net id " + id + "\n";
  EXPECT_TRUE(Shows("SimRecvLink('center'," + id + ",5,'NetID()')", answer));
  EXPECT_TRUE(Shows("SimRecvAccount('center','opsuser',5,'NetID()')", answer));
  EXPECT_EQ(Run(cCmdSim::Instance(), "SimRecv('global',3,\"Mark(']]\\\"')\")").out, "");
  EXPECT_TRUE(CyclesUntil([&] { return m_client->record.FirstArgs("Mark").size() == 1; }));
  EXPECT_EQ(m_client->record.FirstArgs("Mark")[0], "]]\"");
  iAccountManagerServer& accounts = *m_server->GetAMServer();
  EXPECT_TRUE(Shows("SimConnect('center'," + id + ")", "ip 127.0.0.1 connect"));
  const std::pair<std::function<void()>, const char*> refusals[] = {
      {[&] { accounts.SetLogin(std::stoul(id), "opsuser", 0); }, "ChatException_NoPri"},
      {[&] { accounts.Logout(std::stoul(id)); }, "ChatException_NotLogin"}};
  for (const auto& [make, refusal] : refusals) {
    testkit::cStdoutCapture quiet;
    make();
    EXPECT_TRUE(Shows("SimRecvLink('center'," + id + ",5,'NetID()')", refusal));
  }
  EXPECT_TRUE(Shows("SimDisconnect('center'," + id + ")", "disconnect for 网络异常断开"));
}

// Unknown links of a known server are reported here, a text too long for a record is refused
// rather than cut, and a server this process does not have is asked for one hop along the
// default route, which answers once.
TEST_F(SimGroupLinkTest, UnknownLinksTooLongTextsAndFarServers) {
  m_host->SetDefaultRoute(&Link());
  CheckGroupCases({
      {&cCmdSim::Instance(), "SimConnect('center',999)", true, "can not find link id"},
      {&cCmdSim::Instance(), "SimRecvAccount('center','nobody',5,'x')", true, "not find Account"},
      {&cCmdSim::Instance(), "SimRecvLink('center'," + Id() + ",5,string.rep('x',200000))", true,
       "cmd too long"},
      {&cCmdSim::Instance(), "SimRecv('global',5,string.rep('x',200000))", true, "cmd too long"},
  });
  EXPECT_TRUE(Shows("SimRecvLink(\"far'a]]way\\\\\",1,5,\"Mark(']=]')\")",
                    "Output() func_SimRecvLink not find link\n"));
  EXPECT_TRUE(Shows("SimConnect('faraway',1)", "Output() func_SimNet error!"));
  m_host->SetDefaultRoute(nullptr);
}

TEST_F(GroupLinkTest, MessageCommandsOfTheServerReachTheClientsGroup) {
  const std::string id = std::to_string(LinkId());
  std::vector<std::string> marks;
  for (const std::string& cmd : {"SendLink('center'," + id + ",3,\"Mark('1')\")",
                                 "SendToClient('center'," + id + ",3,\"Mark('2')\")",
                                 std::string("SendClients('center',3,\"Mark('3')\")"),
                                 std::string("SendAccount('center','opsuser',3,\"Mark('4')\")")}) {
    EXPECT_EQ(Run(cCmdMsg::Instance(), cmd).out, "") << cmd;
    marks.push_back(std::to_string(marks.size() + 1));
    EXPECT_TRUE(CyclesUntil([&] { return m_client->record.FirstArgs("Mark") == marks; })) << cmd;
  }
  CheckGroupCases(
      {{&cCmdMsg::Instance(), "SendToClient('center',999,3,'Mark()')", true, "not find link"},
       {&cCmdMsg::Instance(), "SendAccount('center','x',3,'Mark()')", true, "not find Account"}});
  Cycles(20);
  EXPECT_EQ(m_client->record.Calls().size(), 4u);
}

// The client logs in with the password of its login file and prints only its mask; the
// account group lists who is logged in, and ToTop asks along the default route.
TEST_F(GroupLinkTest, AccountsPasswordMaskAndToTop) {
  EXPECT_EQ(m_started.find("s3cretpw"), std::string::npos) << m_started;
  EXPECT_NE(m_started.find("login as account opsuser password ********"), std::string::npos);
  const std::string own = m_host->GetAccount();
  EXPECT_EQ(Run(cCmdAccount::Instance(), "Accounts()").out, "func_Accounts " + own + " opsuser \n");
  EXPECT_NE(Run(cCmdAccount::Instance(), "Account('nobody')").out.find("noplayer"),
            std::string::npos);
  cRecordCmd remote("cCmd_TestRecord", {"SendPathCmd"});
  m_server->GetBridgeServer()->AddCmd(7, &remote);
  m_host->SetDefaultRoute(&Link());
  Run(cCmdAccount::Instance(), "ToTop('top\\'s')");
  EXPECT_TRUE(CyclesUntil([&] { return remote.Texts().size() == 1; }));
  EXPECT_EQ(remote.Texts(), std::vector<std::string>{"SendPathCmd opsuser top's Top() 1 Top()"});
  m_host->SetDefaultRoute(nullptr);
}

// The groups of the host's endpoints by name; a level without a group of the endpoint's own
// shows the console's group of that level.
TEST_F(GroupLinkTest, TheHostGroupShowsTheGroupsOfTheNamedEndpoints) {
  cCmd* host = &cCmdTessel::Instance();
  CheckGroupCases({{host, "ClientCmds('global')", true, "name cCmd_TestRecord"},
                   {host, "ServerCmd('center',6)", true, "Hello"},
                   {host, "ClientCmd('global',99)", true, "not find cmd"},
                   {host, "ClientCmds('center')", true, "not find client"},
                   {host, "ServerCmds('global')", true, "not find server"}});
}

// The clone copies the client's record but does not connect; with two clients Send cannot
// tell which one is meant, SendName can.
TEST_F(GroupLinkTest, CloneClientSendNameAndSend) {
  cCmd* script = &cCmdScript::Instance();
  CheckGroupCases({{script, "CloneClient('global',0,'global')", true, "already have"},
                   {script, "CloneClient('global',0,'globalCopy')", true, "Start globalCopy"}});
  ASSERT_NE(m_host->GetTesselClient("globalCopy"), nullptr);
  CyclesUntil([] { return false; }, 100);
  EXPECT_EQ(m_server->GetNetServer()->GetLinkNum(), 1);
  CheckGroupCases({{script, "SendName('globalCopy',1,'Help()')", true, "client not connect"},
                   {script, "Send(1,'Accounts()')", true, "not find easyclient"},
                   {script, "SendName('global',1,'Accounts()')", true, ""}});
  ASSERT_TRUE(CyclesUntil([&] { return !m_client->record.FirstArgs("Output").empty(); }));
  EXPECT_NE(m_client->record.FirstArgs("Output")[0].find("func_Accounts"), std::string::npos);
  m_host->ClearNet();
  m_host.reset();
}

// The console line //center enters the array ChangeCmdArrayToNext chose.
TEST_F(GroupLinkTest, ChangeCmdArrayToNextSwitchesWhatTheConsoleEnters) {
  cBridgeServer& bridge = *m_server->GetBridgeServer();
  cCmdArray next;
  cCmd* test = &cCmdTest::Instance();
  CheckGroupCases({{test, "ChangeCmdArrayToNext('nosuch',1)", true, "not found"},
                   {test, "ChangeCmdArrayToNext('center',1)", true, "not have next"}});
  EXPECT_FALSE(bridge.IsNext());
  bridge.BindNext(&next);
  Run(*test, "ChangeCmdArrayToNext('center',1)");
  cTesselCmd& console = cTesselCmd::Instance();
  testkit::cStdoutCapture quiet;
  console.ParseCmd("//center", std::cout);
  EXPECT_EQ(console.GetCurCmdArray(), &next);
  console.ParseCmd("//0//", std::cout);
  bridge.SetNext(false);
  bridge.BindNext(nullptr);
}

// A peer's exception notice is taken only by the side it is meant for, and logged there.
class ExceptionLinkTest : public LoggedInTest {
 protected:
  void SetUp() override {
    LoggedInTest::SetUp();
    static std::vector<std::string>* lines = new std::vector<std::string>;
    static std::mutex lock;
    static const bool kept = (loglib::add_appender(
                                  loglib::default_manager(), "tessel.fetalerror",
                                  [](const std::string& line) {
                                    std::lock_guard hold(lock);
                                    lines->push_back(line);
                                  },
                                  1000),
                              true);
    (void)kept;
    m_fatal = [] {
      std::lock_guard hold(lock);
      std::string all;
      for (const std::string& line : *lines) all += line;
      lines->clear();
      return all;
    };
    StartLinks(100, "s3cretpw", 20);  // the group's level
    m_fatal();
  }
  std::function<std::string()> m_fatal;
};

TEST_F(ExceptionLinkTest, PeerExceptionNoticesReachTheirSideOnly) {
  ASSERT_GT(SendServerCmd(m_server->GetNetServer(), 12, "ServerException() ClientException()"), 0);
  ASSERT_TRUE(CyclesUntil([&] { return m_client->notices == 1; }));
  CyclesUntil([] { return false; }, 50);
  EXPECT_TRUE(m_server->notices.empty());
  EXPECT_TRUE(testkit::InOrder(m_fatal(), {"【Exception】on Server global"}));
  ASSERT_GT(m_client->GetBridgeClient()->SendCmd(12, "ClientException() ServerException()"), 0);
  ASSERT_TRUE(CyclesUntil([&] { return !m_server->notices.empty(); }));
  CyclesUntil([] { return false; }, 50);
  EXPECT_EQ(m_server->notices, std::vector<unsigned int>{LinkId()});
  EXPECT_EQ(m_client->notices, 1);
  const std::string fatal = m_fatal();
  EXPECT_TRUE(testkit::InOrder(fatal, {"on Client center link " + std::to_string(LinkId())}));
  EXPECT_EQ(fatal.find("on Server"), std::string::npos);
}

}  // namespace
