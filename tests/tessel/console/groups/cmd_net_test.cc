#include "tessel/console/groups/cmd_net.h"

#include <gtest/gtest.h>

#include "cmd_group_util.h"
#include "tessel/console/groups/cmd_sim.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"

namespace {

// Both groups report every name they do not know, and nothing else happens.
TEST(NetSimGroups, UnknownNamesAreReportedWithTheirOwnMessages) {
  GroupTestHost();
  testkit::cTempDir dir(testkit::cTempDir::kWorkDir);
  const std::string notFind = "not find nosuch\n";
  const std::string simNet = "func_SimNet error! can not find link id..\n";
  const std::vector<std::pair<cCmd*, std::vector<stGroupCase>>> groups = {
      {&cCmdNet::Instance(),
       {
           {"ForbitAccept('nosuch')", true, "unknow server nosuch\n"},
           {"DisconnectServer('nosuch')", true, "func_Disconnect " + notFind},
           {"Disconnect('nosuch')", true, "func_Disconnect " + notFind},
           {"ConnectServer('nosuch','127.0.0.1',0)", true, "func_ConnectServer " + notFind},
           {"Connect('nosuch')", true, "func_Connect " + notFind},
           {"SetAutoConnect('nosuch',1)", true, notFind},
           {"SetConnectIP('nosuch','127.0.0.2')", true, notFind},
           {"SetConnect('nosuch','127.0.0.2',1,'a','b')", true, notFind},
           {"Client('nosuch')", true, notFind},
           {"Brother('nosuch')", true, notFind},
           {"TraceRecieveCmdA('nosuch',1)", true, "unknow name\n"},
           {"TraceSendCmdA('nosuch',1)", true, "unknow name\n"},
           {"TraceLink('nosuch',1)", true, "func_TraceLink not server \n"},
           {"Server('nosuch')", true, "func_TraceServer not server \n"},
           {"Set('nosuch','peer','127.0.0.1')", true, "func_SetNameIP not server \n"},
           {"List('nosuch')", true, "func_ListNameIP not server \n"},
           {"NetID()", true, "func_NetID error! can not solve local cmd!\n"},
       }},
      {&cCmdSim::Instance(),
       {
           {"SimNet('nosuch',1,3,0)", true, simNet},
           {"SimConnect('nosuch',1)", true, simNet},
           {"SimDisconnect('nosuch',1)", true, simNet},
           {"SimRecv('nosuch',3,'Hello()')", true, "func_SimRecv not find client\n"},
           {"SimRecvAccount('nosuch','gm',3,'Hello()')", true,
            "func_SimRecvAccount not find server\n"},
           {"SimRecvLink('nosuch',1,3,'Hello()')", true, "func_SimRecvLink not find link\n"},
       }},
  };
  for (const auto& [group, cases] : groups) CheckGroupCases(*group, cases);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

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
    // The first login's answer may still be on its way; later logins are counted from here.
    ASSERT_TRUE(CyclesUntil([&] { return Link().GetLogined() == 1; }));
    m_logins.results.clear();
  }
  std::string Net(const std::string& text) { return RunInGroup(cCmdNet::Instance(), text).out; }
  stClientInfo& Info() { return Link().GetInfo(); }
  // Cycles until the client has logged in once more than `logins` times.
  bool LoggedInAgain(size_t logins) {
    return CyclesUntil([&] {
      return m_logins.results.size() > logins && m_logins.results.back() == 1 &&
             m_host->FindServerAccount("opsuser") != nullptr;
    });
  }

  cLoginRecorder m_logins;
};

// Port 0 (and a port no socket can have) keeps the old port; the address the echo test chose
// is dropped; the client connects and logs in again.
TEST_F(NetGroupLinkTest, ConnectServerKeepsThePortUnlessOneIsGiven) {
  const unsigned short port = Info().port;
  for (const char* cmd :
       {"ConnectServer('global','127.0.0.1',0)", "ConnectServer('global','127.0.0.1',70000)"}) {
    Info().serverip = "127.0.0.9";
    Info().serverip2 = "127.0.0.8";
    Link().SetUseIp2(true);
    const unsigned connects = Link().GetConnectCount();
    const size_t logins = m_logins.results.size();
    Net(cmd);
    EXPECT_EQ(Info().serverip, "127.0.0.1") << cmd;
    EXPECT_EQ(Info().port, port) << cmd;
    EXPECT_FALSE(Link().IsUseIp2()) << cmd;
    EXPECT_EQ(Link().GetConnectCount(), connects + 1) << cmd;
    EXPECT_TRUE(LoggedInAgain(logins)) << cmd;
  }
}

TEST_F(NetGroupLinkTest, SetConnectReplacesOnlyWhatIsGivenAndDoesNotReconnect) {
  const stClientInfo before = Info();
  const unsigned connects = Link().GetConnectCount();
  EXPECT_EQ(Net("SetConnect('global','',0,'','')"), "这是客户端 global\n");
  EXPECT_EQ(Net("SetConnectIP('global','')"), "这是客户端 global\n");
  EXPECT_EQ(Info().serverip, before.serverip);
  EXPECT_EQ(Info().port, before.port);
  EXPECT_EQ(Info().account, before.account);
  EXPECT_EQ(Info().password, before.password);

  EXPECT_EQ(Net("SetConnect('global','10.1.2.3',4321,'',\"pw'2\")"), "这是客户端 global\n");
  EXPECT_EQ(Info().serverip, "10.1.2.3");
  EXPECT_EQ(Info().port, 4321);
  EXPECT_EQ(Info().account, before.account);
  EXPECT_EQ(Info().password, "pw'2");
  Net("SetConnect('global','',0,'other','')");
  EXPECT_EQ(Info().account, "other");
  Net("SetConnectIP('global','10.9.9.9')");
  EXPECT_EQ(Info().serverip, "10.9.9.9");
  EXPECT_EQ(Link().GetConnectCount(), connects);
  EXPECT_NE(Link().GetNetClientConnect(), nullptr);
}

TEST_F(NetGroupLinkTest, DisconnectAndConnectTheClientLink) {
  Info().autoreconnect = false;
  for (const char* cmd : {"Disconnect('global')", "DisconnectServer('global')"}) {
    EXPECT_EQ(Net(cmd).rfind("client global disconnected \n", 0), 0u) << cmd;
    EXPECT_TRUE(CyclesUntil([&] { return m_host->FindServerAccount("opsuser") == nullptr; }))
        << cmd;
    const size_t logins = m_logins.results.size();
    Net("Connect('global')");
    EXPECT_TRUE(LoggedInAgain(logins)) << cmd;
  }
}

TEST_F(NetGroupLinkTest, SetEntersSavesAndAppliesAnAllowedAddress) {
  Net("Set('center','上海一','127.0.0.1')");
  Net("Set('center','peer','127.0.0.2')");
  Net("Set('center','peer','127.0.0.1')");
  const std::map<std::string, std::string> expected = {{"peer", "127.0.0.1"},
                                                       {"上海一", "127.0.0.1"}};
  EXPECT_EQ(m_server->GetBridgeServer()->GetNameIPs(), expected);
  EXPECT_EQ(testkit::ReadFile("config/nameip_center.ini"), "peer 127.0.0.1\n上海一 127.0.0.1\n");
  const std::string table = "cBridgeServer::TraceIP\tpeer 127.0.0.1\n\t上海一 127.0.0.1\n";
  EXPECT_EQ(Net("List('center')"), table);
  EXPECT_EQ(Net("List()"), table);
  // The applied table admits the client's own address: it still gets in.
  Info().autoreconnect = false;
  Net("Disconnect('global')");
  ASSERT_TRUE(CyclesUntil([&] { return m_host->FindServerAccount("opsuser") == nullptr; }));
  const size_t logins = m_logins.results.size();
  Net("Connect('global')");
  EXPECT_TRUE(LoggedInAgain(logins));
}

}  // namespace
