#include "tessel/link/cmd_handler.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "tessel/link/cmd_audit.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/audit_files.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/link_fixture.h"
#include "testkit/stdout_capture.h"

namespace linktest {
namespace {

// The server's own group 4, and the program's group 20, hold Echo (prints its argument) and Who
// (prints the origin of the command being handled); the plain peer is connected, and logs in as
// gm where a test says so.
class CmdHandlerTest : public LinkTest {
 protected:
  void SetUp() override {
    SetConfigValue("check_login", 1);
    WriteAccount("gm", "s3cret", 9);
    StartServer();
    for (int group : {4, 20}) Bridge().AddCmd(group, &group_);
    ASSERT_TRUE(ConnectPeer());
  }
  cFnCmd group_{"cCmd_TestHandler", [](lua_State* L) {
                  luareg::def(L, "Echo", [](const char* text) { get_gout() << text; });
                  luareg::def(L, "Who", [] {
                    const stCmdContext* cmd = CurrentCmd();
                    get_gout() << (cmd != nullptr ? cmd->origin : "nobody");
                  });
                }};
};

// A link that has not logged in reaches the program's own groups, but no builtin that reaches
// the operating system there: it has no account whose rights could grant one.
TEST_F(CmdHandlerTest, AStrangersTextInTheProgramsGroupsRunsNoShell) {
  EXPECT_TRUE(PeerAnswered(20, "Echo('hi')", "hi"));
  const std::string marker = (m_home.path() / "marker").string();
  EXPECT_TRUE(Exchange(20, "os.execute('touch " + marker + "')", [](const testkit::stDelivery& d) {
    return d.CmdText().find("refused: (not logged in) may not run os.execute (needs @shell)") !=
           std::string::npos;
  }));
  EXPECT_FALSE(std::filesystem::exists(marker));
}

// What no group runs goes to the distributor when there is one; every record leaves its result
// in the command log.
TEST_F(CmdHandlerTest, WhatNoGroupRunsGoesToTheDistributorAndEveryResultIsLogged) {
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  struct cDistribute : iDistribute {
    bool Distribute(unsigned short id, stMsg*, unsigned long size) override {
      linkId = id;
      bytes = size;
      return accept;
    }
    bool accept = false;
    int linkId = -1;
    unsigned long bytes = 0;
  } distribute;
  Bridge().SetUseConsoleCmd(false);
  EXPECT_TRUE(PeerRefused(40, "Echo('x')", ChatException_NoCmd));
  Bridge().SetDistribute(&distribute);
  EXPECT_TRUE(PeerRefused(40, "Echo('y')", ChatException_DistributeWrong));
  EXPECT_EQ(distribute.linkId, 1);
  EXPECT_EQ(distribute.bytes, CmdWireSize(9));
  distribute.accept = true;
  SendCmd(m_peerLink->client, 40, "Echo('w')");
  EXPECT_TRUE(PeerAnswered(4, "Echo('done')", "done"));
  m_server->End();
  const std::string log = testkit::ReadFolder(m_home.path() / "log");
  for (const char* entry : {"【cmd】40 {Echo('x')} result 17", "【cmd】40 {Echo('y')} result 21",
                            "【cmd】40 {Echo('w')} result 0", "【cmd】4 {Echo('done')} result 0"})
    EXPECT_NE(log.find(entry), std::string::npos) << entry;
}

// A record the rights hook refuses before its text runs names, in its audit line, the group the
// hook refused whole.
TEST_F(CmdHandlerTest, ARecordRefusedBeforeItsTextRunsNamesTheGroupItLacked) {
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  struct cNoGroup4 : iCmdRights {
    HandleChatExceptionEnum Allow(const stCmdContext& cmd) override {
      return cmd.group == 4 ? ChatException_NoPri : ChatException_OK;
    }
  } rights;
  testkit::cProcessTrail at;
  cCmdAudit::Install();
  SetCmdRights(&rights);
  EXPECT_TRUE(PeerRefused(4, "Echo('x')", ChatException_NoPri));
  SetCmdRights(nullptr);
  const std::vector<std::string> lines = at.CmdLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(AuditField(lines[0], "right"), "4");
}

// The command script runs a peer's text again in a state of its own: there too the text stops
// at the command time limit.
TEST_F(CmdHandlerTest, ThePeersTextInTheCommandScriptStopsAtTheTimeLimit) {
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  KLuaScript script("cmd");
  SetCmdScript(&script);
  SetConfigValue("lua_time_limit", 1);
  Bridge().SetUseConsoleCmd(false);
  testkit::cStdoutCapture out;
  EXPECT_TRUE(
      PeerRefused(40, "local t = os.clock() while os.clock() - t < 3 do end", ChatException_NoCmd));
  SetConfigValue("lua_time_limit", 10);
  SetCmdScript(nullptr);
  EXPECT_TRUE(testkit::InOrder(out.Text(), {"command time limit: stopped after 1 s"}));
}

// The audit hook is told of every record: who sent it, what it asked and how it went; the
// functions it runs see the same context. The rights hook decides before anything runs: a
// refused text reaches neither the group nor the command script, which sees every accepted
// text, also one no group runs.
TEST_F(CmdHandlerTest, TheHooksSeeEachCommandsContextAndARefusalRunsNothing) {
  ASSERT_TRUE(PeerLogIn("gm", "s3cret"));
  struct cHooks : iCmdRights, iCmdAudit {
    HandleChatExceptionEnum Allow(const stCmdContext& cmd) override {
      return cmd.text.find("secret") == std::string_view::npos ? ChatException_OK
                                                               : ChatException_NoPri;
    }
    void Record(const stCmdContext& cmd) override {
      seen.push_back(cmd.origin + " " + std::to_string(cmd.group) + " " + std::string(cmd.text) +
                     " " + std::to_string(cmd.result) + (cmd.ran ? " ran" : "") +
                     (cmd.luaError ? " failed" : "") + " " + std::to_string(cmd.outputBytes));
    }
    std::vector<std::string> seen;
  } hooks;
  KLuaScript script("cmd");
  script.DoString("function Echo() reached = (reached or 0) + 1 end function Who() end");
  SetCmdScript(&script);
  SetCmdRights(&hooks);
  SetCmdAudit(&hooks);
  EXPECT_TRUE(PeerAnswered(4, "Echo('hi')", "hi"));
  EXPECT_TRUE(PeerRefused(4, "Echo('secret')", ChatException_NoPri));
  // The origin is account@process (this process has no account name).
  EXPECT_TRUE(PeerAnswered(4, "Who()", "gm@"));
  Bridge().SetUseConsoleCmd(false);
  EXPECT_TRUE(PeerRefused(40, "Echo('no group')", ChatException_NoCmd));
  SendCmd(m_peerLink->client, 4, "error('boom')");
  EXPECT_TRUE(PeerAnswered(4, "Echo('end')", "end"));
  SetCmdRights(nullptr);
  SetCmdAudit(nullptr);
  SetCmdScript(nullptr);
  ASSERT_EQ(hooks.seen.size(), 6u);
  EXPECT_EQ(hooks.seen[0], "gm@ 4 Echo('hi') 0 ran 2");
  EXPECT_EQ(hooks.seen[1], "gm@ 4 Echo('secret') 16 0");
  EXPECT_EQ(hooks.seen[2], "gm@ 4 Who() 0 ran 3");
  EXPECT_EQ(hooks.seen[3], "gm@ 40 Echo('no group') 17 0");
  EXPECT_TRUE(hooks.seen[4].starts_with("gm@ 4 error('boom') 0 ran failed ")) << hooks.seen[4];
  EXPECT_EQ(script.DoString("assert(reached == 3)"), 0);
}

}  // namespace
}  // namespace linktest
