#include "tessel/link/bridge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/bridge_double.h"
#include "testkit/file_size_limit.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/link_fixture.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace linktest {
namespace {

// The server's own groups 3, 4, 20, 21 and 25 hold Echo (prints its argument and the group),
// Count and Hit; the plain peer is connected; the accounts gm (level 9) and low (level 0) exist.
class BridgeTest : public LinkTest {
 protected:
  void SetUp() override {
    SetConfigValue("check_login", 1);
    WriteAccount("gm", "s3cret", 9);
    WriteAccount("low", "p", 0);
    StartServer();
    for (int group : {3, 4, 20, 21, 25}) Bridge().AddCmd(group, &groups_);
    Bridge().BindiConnectDisconnect(&told_);
    ASSERT_TRUE(ConnectPeer());
  }
  void TearDown() override {
    m_peerLink.reset();
    m_server.reset();
  }
  int counted_ = 0, hits_ = 0;
  cFnCmd groups_{"cCmd_TestGroups", [this](lua_State* L) {
                   luareg::def(L, "Echo", [](const char* text) {
                     get_gout() << text << " " << GetServingCmdLevel();
                   });
                   luareg::def(L, "Count", [this] { ++counted_; });
                   luareg::def(L, "Hit", [this] { ++hits_; });
                 }};
  cLoginRecorder told_;  // the server's listener: Logined calls that ran reach it
  // The application's checks: group 25 needs a login, group 21 is refused, as a record too.
  struct cCheck : iCheckCmd, iCheckCmdMsg {
    HandleChatExceptionEnum CheckCmd(iSend*, unsigned cmd) override {
      ++calls;
      return cmd == 25 ? ChatException_NeedLogin
                       : (cmd == 21 ? ChatException_NoPri : ChatException_OK);
    }
    HandleChatExceptionEnum CheckCmdMsg(iSend*, stMsg_Cmd* r) override {
      ++calls;
      return r->cmd == 21 ? ChatException_ParamWrong : ChatException_OK;
    }
    int calls = 0;
  } check_;
};

// Before a login only Login and Logout run in group 2 and nothing in the other groups below 20;
// level 0 stays inside the login calls; no password reaches the logs. Groups from 20 on run
// without accounts unless the application's check asks for a login.
TEST_F(BridgeTest, ALinkRunsNothingButTheLoginCallsUntilLoggedInAboveLevelZero) {
  Bridge().BindAMServer(nullptr);  // no account lookup at all for them
  EXPECT_TRUE(PeerAnswered(25, "Echo('free')", "free 25"));
  Bridge().BindAMServer(&Accounts());
  Bridge().SetCheck(&check_);
  EXPECT_TRUE(PeerRefused(25, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(PeerAnswered(2, "Login('gm','wrong')", "login error 密码错误\n"));
  EXPECT_TRUE(PeerRefused(3, "Echo('x')", ChatException_NotLogin));
  EXPECT_EQ(check_.calls, 1);  // groups below 20 never reach the application's check
  EXPECT_TRUE(PeerRefused(4, "Count()", ChatException_NotLogin));
  const std::string marker = m_home / "ran";
  for (const std::string& text :
       {"os.execute('touch " + marker + "')", std::string("while true do end"),
        std::string("Logout() Logout()"),
        "Login('gm','s3cret'); os.execute('touch " + marker + "')",
        std::string("Login('gm', 's3cret'..'')"), std::string("Login(gm)"), std::string("x = 1"),
        std::string("Logined(1,'evil')")})
    EXPECT_TRUE(PeerRefused(2, text, ChatException_NoPri)) << text;
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(Accounts().GetAccount(1)->IsLogin());
  // The login calls themselves, with blanks and a semicolon, run; each tells the listeners.
  auto runs = [&](const std::string& text, size_t calls) {
    const size_t told = told_.results.size();
    return SendCmd(m_peerLink->client, 2, text) != 0 &&
           Pump([&] { return told_.results.size() == told + calls; });
  };
  EXPECT_TRUE(runs(" Login( 'low' , 'wrong' ) ; ", 1));
  ASSERT_TRUE(PeerLogIn("low", "p"));
  EXPECT_TRUE(PeerRefused(4, "Count()", ChatException_NoPri));
  EXPECT_TRUE(PeerRefused(2, "x = 1", ChatException_NoPri));
  EXPECT_TRUE(PeerAnswered(2, "Logout();", "logout ok Account low logout \n"));
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  EXPECT_TRUE(PeerAnswered(3, "Echo('hello')", "hello 3"));
  EXPECT_TRUE(PeerAnswered(25, "Echo('y')", "y 25"));
  Bridge().SetCheck(nullptr);
  EXPECT_TRUE(runs("Logined(1,'evil') Login('a','b') Login('a','b')", 2))
      << "above level 0 any text runs, but a server side takes no Logined";
  EXPECT_EQ(counted_, 0);
  m_server->End();
  const std::string log = testkit::ReadFolder(m_home.path() / "log");
  EXPECT_NE(log.find("{Login('gm','******')} result 0"), std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

// A stranger's records of the system's own types, and its commands of groups below 20 other than
// the login group, are refused as not logged in and counted; the application's record types and
// groups from 20 on go on to its own handling. Once logged in, the same records are handled.
TEST_F(BridgeTest, AStrangerGetsOnlyTheLoginGroupAmongTheSystemsRecords) {
  testkit::cCountingBind app;
  int appType = 0;
  Bridge().GetMsg().Register(appType, &app);
  testkit::cStdoutCapture out;
  const std::string shown = "\1shown", record(shown.c_str(), shown.size() + 1);
  EXPECT_TRUE(PeerRecordRefused(stMsg_Out::s_nType, record, ChatException_NotLogin));
  EXPECT_TRUE(PeerRefused(3, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(PeerAnswered(25, "Echo('free')", "free 25"));
  testkit::Send(m_peerLink->client, testkit::MakeRecord(uint16_t(appType), "app"));
  EXPECT_TRUE(Pump([&] { return app.calls == 1; }));
  EXPECT_EQ(Bridge().GetStrangerRefused(), 2u);
  EXPECT_EQ(out.Text().find(shown), std::string::npos);
  const size_t before = out.Text().size();
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  const std::string forging = "x]\n01_01 00:00:00 forged\x1b[2J";
  testkit::Send(m_peerLink->client, testkit::MakeRecord(uint16_t(stMsg_Out::s_nType), record));
  testkit::Send(m_peerLink->client,
                testkit::MakeRecord(uint16_t(stMsg_Out::s_nType), forging + '\0'));
  // Handled now: shown on the console without their control bytes.
  EXPECT_TRUE(Pump([&] { return out.Text().find("forged", before) != std::string::npos; }));
  EXPECT_NE(out.Text().find("shown", before), std::string::npos);
  EXPECT_EQ(out.Text().find(shown), std::string::npos);
  EXPECT_EQ(out.Text().find("\x1b[2J"), std::string::npos);
  // In the link's log each record's text stays on its own line, its controls escaped.
  m_server->End();
  const std::string log = testkit::ReadFolder(m_home.path() / "log");
  EXPECT_NE(log.find("【Out】 [\\x01shown]"), std::string::npos) << log;
  EXPECT_NE(log.find("【Out】 [x]\\x0A01_01 00:00:00 forged\\x1B[2J]"), std::string::npos) << log;
  EXPECT_EQ(log.find("\n01_01"), std::string::npos);
}

// A link's name (CloneClient takes any) starts its log folders' names: they stay in the log
// folder whatever separators or control bytes it holds.
TEST_F(BridgeTest, ALinkNameWithSeparatorsKeepsItsLogFoldersInTheLogFolder) {
  cBridgeServer named;
  named.CreateBridge("../../escaped/x\n", nullptr);
  EXPECT_FALSE(std::filesystem::exists(m_home.path() / "escaped"));
  const std::string log = "log/" + cTesselValues::Instance().GetExeName();
  EXPECT_TRUE(std::filesystem::is_directory(m_home.path() / log / ".._.._escaped_x__msg"));
  cBridgeServer longName;  // past the longest file name of the system
  longName.CreateBridge((std::string(300, 'n') + "\u4e16").c_str(), nullptr);
  EXPECT_TRUE(
      std::filesystem::is_directory(m_home.path() / log / (std::string(200, 'n') + "_msg")));
}

TEST_F(BridgeTest, ADisconnectReleasesTheLinkOnlyWhenEveryListenerAgrees) {
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

// The command script sees only what the endpoint accepted: a stranger's text never reaches it.
TEST_F(BridgeTest, TheCommandScriptRunsOnlyAcceptedCommands) {
  KLuaScript script("cmd");
  script.DoString("function Count() reached = (reached or 0) + 1 end");
  SetCmdScript(&script);
  EXPECT_TRUE(PeerRefused(4, "Count()", ChatException_NotLogin));
  EXPECT_TRUE(PeerRefused(2, "Count()", ChatException_NoPri));
  EXPECT_TRUE(PeerLogIn("gm", "s3cret"));
  EXPECT_TRUE(PeerAnswered(3, "Count() Echo('x')", "x 3"));
  SetCmdScript(nullptr);
  EXPECT_EQ(script.DoString("assert(reached == 1)"), 0);
}

// What a link defines stays in its own environment, which cannot take the group's functions
// and goes when its account logs out (the next account does not see it) or the link goes down.
TEST_F(BridgeTest, ALinksDefinitionsAreItsOwnAndGoWithTheLink) {
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  EXPECT_TRUE(PeerAnswered(3, "mine = 'kept' Echo('set')", "set 3"));
  EXPECT_TRUE(PeerAnswered(3, "Echo(mine)", "kept 3"));
  EXPECT_TRUE(Exchange(3, "Echo = print", [](const testkit::stDelivery& d) {
    return d.CmdText().find("Echo is a function of the group") != std::string::npos;
  }));
  EXPECT_EQ(groups_.PeerEnvCount(), 1u);
  EXPECT_TRUE(groups_.Do("assert(mine == nil) Echo('console')"));
  EXPECT_TRUE(PeerAnswered(2, "Logout()", "logout ok Account gm logout \n"));
  WriteAccount("ops", "pw", 9);
  ASSERT_TRUE(PeerLogIn("ops", "pw"));
  EXPECT_TRUE(PeerAnswered(3, "Echo(tostring(mine))", "nil 3"));
  m_peerLink.reset();
  EXPECT_TRUE(Pump([&] { return groups_.PeerEnvCount() == 0; }));
}

// A record named without a login (SetLogin, or every record when logins are not needed) is
// logged in for its server: the login deadline passes and the link stays up. It does not keep
// its link: the id is given back when the link goes down.
TEST_F(BridgeTest, ALinkNamedWithoutALoginOutlivesTheLoginDeadlineAndIsReleasedWhenItGoesDown) {
  m_server->SetLoginDeadline(100);
  Accounts().SetLogin(1, "opsuser", 1);
  PumpFor(600);
  iServerLink* link = m_server->GetNetServer()->GetLink(1);
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(link->IsConnect());
  m_peerLink.reset();
  EXPECT_TRUE(Pump([&] { return m_server->GetNetServer()->GetLink(1) == nullptr; }));
}

// A logout makes the link a stranger again in every respect: its records are refused as before a
// login, and the login deadline, running anew from the logout, cuts it.
TEST_F(BridgeTest, ALogoutReturnsTheLinkToTheStateBeforeItsLogin) {
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  m_server->SetLoginDeadline(100);
  EXPECT_TRUE(PeerAnswered(2, "Logout()", "logout ok Account gm logout \n"));
  EXPECT_TRUE(PeerRefused(3, "Echo('x')", ChatException_NotLogin));
  EXPECT_TRUE(Pump([&] { return Accounts().GetAccount(1) == nullptr; })) << "the link is cut";
}

// A logged-in account of level 0 that floods refused records leaves at most the bound of exception
// entries a second; a summary line counts the rest.
TEST_F(BridgeTest, ALinkThatFloodsRefusedRecordsLeavesABoundedLog) {
  ASSERT_TRUE(PeerLogIn("low", "p"));
  testkit::cStdoutCapture quiet;
  constexpr size_t kFlood = 500;
  m_peer.Clear();
  for (size_t i = 0; i < kFlood; ++i) SendCmd(m_peerLink->client, 4, "Count()");
  const auto notice = testkit::RecordOf(stMsg_Exception::s_nType);
  ASSERT_TRUE(Pump([&] { return m_peer.Count(notice) == kFlood; }));
  const auto log = [&] { return testkit::ReadFolder(m_home.path() / "log"); };
  ASSERT_TRUE(Pump([&] { return log().find("log entries left out") != std::string::npos; }));
  EXPECT_LT(testkit::CountOf(log(), "【ExceptionLog"), kFlood / 5);
}

// Only groups above twenty reach the installed checks; a group missing here runs from the
// console unless that fallback is off; a bound next array runs a copy of every command.
TEST_F(BridgeTest, ChecksConsoleFallbackAndTheNextArray) {
  Bridge().SetCheck(&check_);
  Bridge().SetCheckMsg(&check_);
  EXPECT_EQ(Bridge().RunCmdBridge(nullptr, 20, "Hit()"), ChatException_OK);
  EXPECT_EQ(Bridge().RunCmdBridge(nullptr, 21, "Hit()"), ChatException_NoPri);
  auto record = std::make_unique<stMsg_Cmd>();
  record->SetCmd(21, "Hit()");
  EXPECT_EQ(Bridge().RunCmdBridge(nullptr, record.get()), ChatException_ParamWrong);
  record->SetCmd(20, "Hit()");
  EXPECT_EQ(Bridge().RunCmdBridge(nullptr, record.get()), ChatException_OK);
  EXPECT_EQ(check_.calls, 2);
  EXPECT_EQ(hits_, 2);
  Bridge().SetCheck(nullptr);
  Bridge().SetCheckMsg(nullptr);

  // The console keeps its groups for the life of the process.
  static cRecordCmd console("cCmd_Hit", {"Hit"});
  cTesselCmd::Instance().AddCmd(40, &console);
  EXPECT_EQ(Bridge().RunCmdBridge(nullptr, 40, "Hit()"), ChatException_OK);
  Bridge().SetUseConsoleCmd(false);
  EXPECT_EQ(Bridge().RunCmdBridge(nullptr, 40, "Hit()"), ChatException_NoCmd);
  Bridge().SetUseConsoleCmd(true);
  EXPECT_EQ(Bridge().RunCmdBridge(nullptr, 400, "Hit()"), ChatException_NoCmd);
  EXPECT_EQ(console.Texts().size(), 1u);

  cCmdArray next;
  cRecordCmd copy("cCmd_Hit", {"Hit"});
  next.AddCmd(21, &copy);
  Bridge().BindNext(&next);
  Bridge().RunCmdBridge(nullptr, 21, "Hit()");
  EXPECT_EQ(copy.Texts().size(), 1u);
  EXPECT_EQ(hits_, 3);
  Bridge().BindNext(nullptr);
}

// The log holds at most its cap of entries, also between pumps, and is written at the end; a long
// text is cut only when it did not pass.
TEST_F(BridgeTest, TheCommandLogNeverHoldsMoreThanItsCapAndIsWrittenAtEnd) {
  auto record = std::make_unique<stMsg_Cmd>();
  record->SetCmd(3, "Ver()");
  stBindMsg msg{static_cast<uint32_t>(record->GetSize()), nullptr, record.get(), 2};
  for (size_t i = 0; i < cBridge::kCmdLogCap; ++i) Bridge().AddCmdLog_Run(msg);
  EXPECT_EQ(Bridge().GetCmdLogSize(), cBridge::kCmdLogCap);
  Bridge().HandleMsg(0);
  EXPECT_EQ(Bridge().GetCmdLogSize(), 0u);
  for (size_t i = 0; i < cBridge::kCmdLogCap + 2; ++i) Bridge().AddCmdLog_Run(msg);
  EXPECT_EQ(Bridge().GetCmdLogSize(), 2u);
  Bridge().AddCmdLog_Result(ChatException_NoPri);
  {
    testkit::cFileSizeLimit full(10);  // a full disk: the entries after it are written
    Bridge().ClearCmdLog(true);
  }
  // A long text is logged whole once it passed; otherwise it keeps its first 256 bytes and its
  // length.
  record->SetCmd(4, std::string(100000, 'f').c_str());
  msg.size = static_cast<uint32_t>(record->GetSize());
  for (HandleChatExceptionEnum result : {ChatException_OK, ChatException_NoPri}) {
    Bridge().AddCmdLog_Run(msg);
    Bridge().AddCmdLog_Result(result);
  }
  m_server->End();
  const std::string log = testkit::ReadFolder(m_home.path() / "log");
  EXPECT_NE(log.find("【cmd】3 {Ver()} result 16\n"), std::string::npos);
  EXPECT_NE(log.find("{" + std::string(100000, 'f') + "} result 0"), std::string::npos);
  EXPECT_TRUE(
      testkit::InOrder(log, {"{" + std::string(256, 'f') + " ...(100000 bytes)} result 16"}));
  EXPECT_EQ(testkit::CountOf(log, "【cmd】"), 4u);
}

// An address list that is there but cannot be read admits nobody (a pipe held the start for
// ever; a first line that is no entry, or an empty one before the entries, admitted every
// address); no file admits every address, and one there only in other letter case is named.
// A list saved as UTF-16 reads as the text it holds.
TEST(BridgeServerIPs, AListThatCannotBeReadAdmitsNobody) {
  testkit::cTempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("pipe.ini").c_str(), 0600), 0);
  dir.write("typo.ini", "10.0.0.5\nlater 10.0.0.6\n");
  dir.write("blank.ini", "\r\npeer 10.0.0.5\n");
  dir.write("Cased.ini", "peer 10.0.0.5\n");
  dir.write("wide.ini", testkit::Utf16Le("peer 10.0.0.5\r\n"));
  const std::pair<const char*, std::vector<std::string>> rows[] = {
      {"missing.ini", {}},  {"pipe.ini", {"-"}}, {"typo.ini", {"-"}},
      {"blank.ini", {"-"}}, {"cased.ini", {}},   {"wide.ini", {"10.0.0.5"}}};
  testkit::cStdoutCapture quiet;
  for (const auto& [name, admitted] : rows) {
    cBridgeServer bridge;
    bridge.LoadIP(dir.file(name).c_str());
    EXPECT_EQ(bridge.AdmittedIPs(), admitted) << name;
  }
  EXPECT_TRUE(testkit::InOrder(quiet.Text(), {"cased.ini is not there, " + dir.file("Cased.ini")}));
}

}  // namespace
}  // namespace linktest
