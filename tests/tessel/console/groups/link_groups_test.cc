// The standard groups in a host with a real easy server "center" and its client "global" logged
// in as "opsuser" on 127.0.0.1.
#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "cmd_group_util.h"
#include "tessel/console/shell_jobs.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/easy_client.h"
#include "testkit/file_size_limit.h"
#include "testkit/logger_lines.h"

namespace {

// Counts the login answers the client is told of.
struct cLoginCounter : iConnectDisconnect {
  void OnConnect(unsigned int) override {}
  bool OnDisconnect(unsigned int) override { return true; }
  void OnLogined(unsigned int, int) override { ++logins; }
  size_t logins = 0;
};

// Port 0 (and a port no socket can have) keeps the old port, the echo test's address is dropped
// and the client logs in again; an address table entered with Set is saved and applied, and the
// client's own address still gets in after a disconnect of either kind.
TEST_F(GroupLinkTest, ConnectServerDisconnectAndTheAddressTable) {
  static cLoginCounter counter;  // the client may tell it until the fixture's end
  Link().BindiConnectDisconnect(&counter);
  ASSERT_TRUE(CyclesUntil([&] { return Link().GetLogined() == 1; }));
  stClientInfo& info = Link().GetInfo();
  const auto net = [](const std::string& text) { RunInGroup(cCmdNet::Instance(), text); };
  const auto logsInAfter = [&](const std::string& cmd) {
    const size_t before = counter.logins;
    net(cmd);
    return CyclesUntil([&] { return counter.logins > before; });
  };
  const unsigned short port = info.port;
  for (const char* cmd :
       {"ConnectServer('global','127.0.0.1',0)", "ConnectServer('global','127.0.0.1',70000)"}) {
    info.serverip = "127.0.0.9";
    Link().SetUseIp2(true);
    EXPECT_TRUE(logsInAfter(cmd)) << cmd;
    EXPECT_EQ(info.port, port) << cmd;
    EXPECT_FALSE(Link().IsUseIp2()) << cmd;
  }
  net("Set('center','上海一','127.0.0.1') Set('center','peer','127.0.0.2')");
  net("Set('center','peer','127.0.0.1')");
  net("Set('center','my peer','127.0.0.3') Set('center','x','127.0.0.4\\nevil 10.0.0.1')");
  net("Set('center',string.rep('n',1048576),'127.0.0.5')");  // the next start could not read it
  EXPECT_EQ(testkit::ReadFile("config/nameip_center.ini"), "peer 127.0.0.1\n上海一 127.0.0.1\n");
  EXPECT_EQ(m_server->GetBridgeServer()->GetNameIPs().size(), 2u);
  {  // A save that meets a full disk leaves the file whole.
    testkit::cFileSizeLimit full(8);
    net("Set('center','third','127.0.0.3')");
    EXPECT_FALSE(m_server->GetBridgeServer()->SetNameIP("fifth", "127.0.0.8"));  // said, not passed
  }
  EXPECT_EQ(testkit::ReadFile("config/nameip_center.ini"), "peer 127.0.0.1\n上海一 127.0.0.1\n");
  // Another process of this name saved an entry: it stays, and those not saved here go in; the
  // lines from an empty one on, which a load does not read, stay after the table.
  testkit::WriteFile("config/nameip_center.ini", "other 127.0.0.6\n\nkept 1\n");
  net("Set('center','fourth','127.0.0.7')");
  EXPECT_EQ(testkit::ReadFile("config/nameip_center.ini"),
            "fifth 127.0.0.8\nfourth 127.0.0.7\nother 127.0.0.6\npeer 127.0.0.1\nthird "
            "127.0.0.3\n上海一 127.0.0.1\n\nkept 1\n");
  info.autoreconnect = false;
  for (const char* how : {"DisconnectServer('global')", "Disconnect('global')"}) {
    net(how);
    EXPECT_TRUE(CyclesUntil([&] { return !m_host->FindServerAccount("opsuser"); })) << how;
    EXPECT_TRUE(logsInAfter("Connect('global')")) << how;
    EXPECT_TRUE(CyclesUntil([&] { return m_host->FindServerAccount("opsuser"); })) << how;
  }
}

class SimGroupLinkTest : public GroupLinkTest {
 protected:
  // Runs a simulation command, which prints nothing itself, and cycles until `expected` shows.
  ::testing::AssertionResult Shows(const std::string& cmd, const std::string& expected) {
    testkit::cStdoutCapture capture;
    const std::string direct = RunInGroup(cCmdSim::Instance(), cmd).out;
    if (direct.empty() &&
        CyclesUntil([&] { return capture.Text().find(expected) != std::string::npos; }))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << cmd << " printed " << direct << " then\n"
                                         << capture.Text();
  }
};

// The simulated record travels its link's own path and meets the same login and level checks.
TEST_F(SimGroupLinkTest, SimulatedCommandsRunAsTrafficOfTheirLinkOrAreRefused) {
  const std::string id = std::to_string(LinkId());
  const std::string answer = "Output() net id " + id + "\n";
  EXPECT_TRUE(Shows("SimRecvLink('center'," + id + ",5,'NetID()')", answer));
  EXPECT_TRUE(Shows("SimRecvAccount('center','opsuser',5,'NetID()')", answer));
  EXPECT_EQ(RunInGroup(cCmdSim::Instance(), "SimRecv('global',3,\"Mark(']]\\\"')\")").out, "");
  EXPECT_TRUE(CyclesUntil([&] { return m_client->record.FirstArgs("Mark").size() == 1; }));
  EXPECT_EQ(m_client->record.FirstArgs("Mark")[0], "]]\"");
  // Unknown links of a known server are reported here, a text too long for a record is refused
  // rather than cut, and a server this process does not have is asked for one hop along the
  // default route, which answers once.
  m_host->SetDefaultRoute(&Link());
  CheckGroupCases({
      {&cCmdSim::Instance(), "SimConnect('center',999)", true, "can not find link id"},
      {&cCmdSim::Instance(), "SimRecvAccount('center','nobody',5,'x')", true, "not find Account"},
      {&cCmdSim::Instance(), "SimRecvLink('center'," + id + ",5,string.rep('x',200000))", true,
       "cmd too long"},
      {&cCmdSim::Instance(), "SimRecv('global',5,string.rep('x',200000))", true, "cmd too long"},
  });
  EXPECT_TRUE(Shows("SimRecvLink(\"far'a]]way\\\\\",1,5,\"Mark(']=]')\")",
                    "Output() func_SimRecvLink not find link\n"));
  EXPECT_TRUE(Shows("SimConnect('faraway',1)", "Output() func_SimNet error!"));
  m_host->SetDefaultRoute(nullptr);
  iAccountManagerServer& accounts = *m_server->GetAMServer();
  const std::pair<std::function<void()>, const char*> refusals[] = {
      {[&] { accounts.SetLogin(std::stoul(id), "opsuser", 0); }, "ChatException_NoPri"},
      {[&] { accounts.Logout(std::stoul(id)); }, "ChatException_NotLogin"}};
  for (const auto& [make, refusal] : refusals) {
    testkit::cStdoutCapture quiet;
    make();
    EXPECT_TRUE(Shows("SimRecvLink('center'," + id + ",5,'NetID()')", refusal));
  }
}

// The server's message commands reach the client's group, each once; the password is printed
// only masked; the host group shows the endpoints' groups by name (or the console's);
// ChangeCmdArrayToNext takes only a bound next array; a clone does not connect, and with two
// clients only SendName can tell which one is meant.
TEST_F(GroupLinkTest, MessagesPasswordMaskEndpointGroupsNextArraysAndClones) {
  EXPECT_EQ(m_started.find("s3cretpw"), std::string::npos) << m_started;
  EXPECT_NE(m_started.find("password ********"), std::string::npos) << m_started;
  const std::string id = std::to_string(LinkId());
  std::vector<std::string> marks;
  for (const std::string& cmd : {"SendLink('center'," + id + ",3,\"Mark('1')\")",
                                 "SendToClient('center'," + id + ",3,\"Mark('2')\")",
                                 std::string("SendClients('center',3,\"Mark('3')\")"),
                                 std::string("SendAccount('center','opsuser',3,\"Mark('4')\")")}) {
    EXPECT_EQ(RunInGroup(cCmdMsg::Instance(), cmd).out, "") << cmd;
    marks.push_back(std::to_string(marks.size() + 1));
    EXPECT_TRUE(CyclesUntil([&] { return m_client->record.FirstArgs("Mark") == marks; })) << cmd;
  }
  cCmd *host = &cCmdTessel::Instance(), *test = &cCmdTest::Instance(),
       *script = &cCmdScript::Instance();
  CheckGroupCases(
      {{&cCmdAccount::Instance(), "Account('nobody')", true, "noplayer"},
       {host, "ClientCmds('global')", true, "name cCmd_TestRecord"},
       {host, "ServerCmd('center',6)", true, "Hello"},
       {host, "ClientCmd('global',99)", true, "not find cmd"},
       {host, "ClientCmds('center')", true, "not find client"},
       {host, "ServerCmds('global')", true, "not find server"},
       {test, "ChangeCmdArrayToNext('nosuch',1)", true, "not found"},
       {test, "ChangeCmdArrayToNext('center',1)", true, "not have next"},
       {&cCmdMsg::Instance(), "SendToClient('center',999,3,'Mark()')", true, "not find link"},
       {&cCmdMsg::Instance(), "SendAccount('center','x',3,'Mark()')", true, "not find Account"},
       {&cCmdMsg::Instance(), "SendLink('center'," + id + ",3,('x'):rep(2e5))", true, "not sent"},
       {&cCmdMsg::Instance(), "SendToServer('global',3,('x'):rep(2e5))", true, "not sent"},
       {&cCmdMsg::Instance(), "SendClients('center',3,('x'):rep(2e5))", true, "not sent"},
       {&cCmdMaintain::Instance(), "BroadCmd(3,('x'):rep(2e5))", true, "not sent"},
       {&cCmdMaintain::Instance(), "BroadCmdReverse(-1,('x'):rep(2e5))", true, "not sent"},
       {&cCmdMaintain::Instance(), "BroadCmdReverseName(-1,('x'):rep(2e5),'')", true, "not sent"},
       {script, "CloneClient('global',0,'global')", true, "already have"},
       {script, "CloneClient('global',0,'globalCopy')", true, "Start globalCopy"}});
  cBridgeServer& bridge = *m_server->GetBridgeServer();
  cCmdArray next;
  bridge.BindNext(&next);
  RunInGroup(*test, "ChangeCmdArrayToNext('center',1)");
  EXPECT_TRUE(bridge.IsNext());
  bridge.SetNext(false);
  bridge.BindNext(nullptr);
  ASSERT_NE(m_host->GetTesselClient("globalCopy"), nullptr);
  std::string out;  // a peer's commands clone a bounded number (each holds five log files)
  for (const std::string& text :
       Served(*script, 11, "for i = 1, 70 do CloneClient('global',0,'gc'..i) end"))
    out += text;
  EXPECT_NE(out.find("refused: 64 clients cloned by commands already"), std::string::npos) << out;
  EXPECT_EQ(m_host->GetTesselClient("gc65"), nullptr);
  CyclesUntil([] { return false; }, 100);
  EXPECT_EQ(m_client->record.FirstArgs("Mark").size(), 4u);
  EXPECT_EQ(m_server->GetNetServer()->GetLinkNum(), 1);
  CheckGroupCases({{script, "SendName('globalCopy',1,'Help()')", true, "client not connect"},
                   {script, "Send(1,'Accounts()')", true, "not find easyclient"},
                   {script, "SendName('global',1,'Accounts()')", true, ""}});
  ASSERT_TRUE(CyclesUntil([&] { return !m_client->record.FirstArgs("Output").empty(); }));
  EXPECT_NE(m_client->record.FirstArgs("Output")[0].find("func_Accounts"), std::string::npos);
  m_host->ClearNet();
  m_host.reset();
}

// A peer's exception notice is taken only by the side it is meant for (the end-to-end faults
// suite sees it logged there); a peer that sends them (or echoes that differ) in a loop reaches
// the hook each time but writes no more lines than its link's log budget.
TEST_F(LoggedInTest, PeerExceptionNoticesReachTheirSideOnly) {
  static testing_support::logger_lines fatal("tessel.fetalerror");
  StartLinks(100, "s3cretpw", 20);  // the group's level
  ASSERT_GT(SendServerCmd(m_server->GetNetServer(), 12, "ServerException() ClientException()"), 0);
  ASSERT_TRUE(CyclesUntil([&] { return m_client->notices == 1; }));
  ASSERT_GT(m_client->GetBridgeClient()->SendCmd(12, "ClientException() ServerException()"), 0);
  ASSERT_TRUE(CyclesUntil([&] { return !m_server->notices.empty(); }));
  CyclesUntil([] { return false; }, 50);
  EXPECT_EQ(m_server->notices, std::vector<unsigned int>{LinkId()});
  EXPECT_EQ(m_client->notices, 1);
  fatal.take();
  // Ten entries a link a second, for each of the pair's links: fewer lines than notices, and
  // fewer than the seconds the loop took allow (a slow machine or a sanitizer stretches it).
  auto began = std::chrono::steady_clock::now();
  const auto budget = [&began](size_t n) {
    const auto took = std::chrono::steady_clock::now() - began;
    began = std::chrono::steady_clock::now();
    return std::min<size_t>(n, 20 * (std::chrono::ceil<std::chrono::seconds>(took).count() + 2));
  };
  ASSERT_GT(m_client->GetBridgeClient()->SendCmd(12, "for i = 1, 200 do ClientException() end"), 0);
  ASSERT_TRUE(CyclesUntil([&] { return m_server->notices.size() == 201; }));
  EXPECT_LT(fatal.take().size(), budget(200));
  // So do the lines of echoes that differ (they bounce between the sides as long as cycles run).
  ASSERT_GT(m_client->GetBridgeClient()->SendCmd(6, "for i = 1, 200 do Echo(1, 'e' .. i) end"), 0);
  CyclesUntil([] { return false; }, 50);
  EXPECT_LT(fatal.take().size(), budget(SIZE_MAX));
}

// Every socket and home file the process holds is close-on-exec, and a child that a command
// leaves in the background holds none of them. Shell lines run off the worker: one that reads
// standard input (the console's pipe here, never closed) ends at once, and one that outlives
// the time limit is ended with a line saying so while the host goes on cycling.
TEST_F(GroupLinkTest, ChildrenHoldNoSocketOrLogFileAndShellLinesRunOffTheWorker) {
  namespace fs = std::filesystem;
  const auto ours = [&](const std::string& target) {
    return target.rfind("socket:", 0) == 0 || target.rfind(m_dir->path().string(), 0) == 0;
  };
  const auto held = [](const std::string& pid) {
    std::vector<std::pair<std::string, std::string>> fds;  // target, fd
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + pid + "/fd", ec))
      fds.emplace_back(fs::read_symlink(fd.path(), ec).string(), fd.path().filename().string());
    return fds;
  };
  std::set<std::string> kinds;  // what was checked: "socket:" and the home
  for (const auto& [target, fd] : held("self")) {
    const std::string info = testkit::ReadFile("/proc/self/fdinfo/" + fd);
    const size_t at = info.find("flags:");
    if (!ours(target) || at == std::string::npos) continue;
    kinds.insert(target.substr(0, 7));
    EXPECT_NE(std::stol(info.substr(at + 6), nullptr, 8) & O_CLOEXEC, 0) << target;
  }
  EXPECT_EQ(kinds.size(), 2u);
  SetConfigValue("shell_time_limit", 1);
  testkit::cStdoutCapture out;
  for (const char* line :
       {"System('sleep 30 & echo $! > child.pid')", "System('cat')", "System('sleep 10')"})
    RunInGroup(cCmdOS::Instance(), line);
  const pid_t child = std::atoi(testkit::WaitForFile("child.pid").c_str());
  ASSERT_GT(child, 0);
  for (const auto& [target, fd] : held(std::to_string(child))) EXPECT_FALSE(ours(target)) << target;
  ::kill(child, SIGKILL);
  EXPECT_EQ(out.Text().find("time limit"), std::string::npos) << out.Text();
  const auto ends = [&out] {  // the end lines of the three lines, the last at the limit
    const std::string text = out.Text();
    return testkit::CountOf(text, " end ") == 3 &&
           text.find("time limit of 1 s reached\n end ") != std::string::npos;
  };
  EXPECT_TRUE(CyclesUntil(ends, 20000)) << out.Text();
  SetConfigValue("shell_time_limit", 0);
}

// An answer made later goes to the very connection that asked: once that one has gone and a
// newcomer holds its link id, a shell line's output reaches nobody.
TEST_F(GroupLinkTest, AShellLinesAnswerNeverReachesANewcomerOnTheRequestersLinkId) {
  const std::string go = (m_dir->path() / "go").string();
  const std::string line =
      "dos('while [ ! -e " + go + " ]; do sleep 0.02; done; echo late-$((40+2))')";
  cBridgeServer& server = *m_server->GetBridgeServer();
  server.SetReleaseOnDisconnect(false);
  const unsigned id = LinkId();
  testkit::cStdoutCapture out;
  for (const size_t newcomer : {0u, 1u}) {
    std::filesystem::remove(go);
    Link().SendCmd(cCmdMaintain::kLevel, line);
    ASSERT_TRUE(CyclesUntil([] { return cShellJobs::Instance().Pending() == 1; }));
    if (newcomer) {
      server.OnDisconnect(id);
      server.OnConnect(id);
    }
    testkit::WriteFile(go, "");
    ASSERT_TRUE(CyclesUntil([] { return cShellJobs::Instance().Pending() == 0; }));
    // The link keeps the order of what is sent over it: a mark sent now comes after any answer.
    SendCmd(m_server->GetNetServer()->GetLink(id), 1, "Mark(" + std::to_string(newcomer) + ")");
    ASSERT_TRUE(CyclesUntil([&] { return m_client->record.FirstArgs("Mark").size() > newcomer; }));
    EXPECT_EQ(testkit::CountOf(out.Text(), "late-42"), 1u) << newcomer;
  }
}

}  // namespace
