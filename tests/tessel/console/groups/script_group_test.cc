#include "tessel/console/groups/cmd_script.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <lua.hpp>
#include <memory>
#include <string>

#include "cmd_group_util.h"
#include "linked_host.h"
#include "tessel/console/groups/cmd_input.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/baselib.h"
#include "tessel/link/easy_client.h"

namespace {

class ScriptGroup : public ::testing::Test {
 protected:
  void SetUp() override {
    GroupTestHost();
    testkit::cStdoutCapture quiet;
    cTesselCmd& console = cTesselCmd::Instance();
    if (console.GetCmd(11) == nullptr) console.Start();
    console.ParseCmd("/11", std::cout);
  }
  stGroupRun Run(const std::string& statement) {
    return RunInGroup(cCmdScript::Instance(), statement);
  }
  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
};

// The functions of every registration step are present, and Help is the script group's own
// (the log group registered its Help first).
TEST_F(ScriptGroup, TheStateCarriesEveryRegistrationStepAndItsOwnHelp) {
  const char* const functions[] = {
      "flush_log_cache", "add_appender_cout", "ReloadAll",     "RunScript",     "ParseCmd",
      "ParseCmdOut",     "ShiftCmd",          "ShiftCmds",     "ShiftCmdsName", "Send",
      "SendName",        "CloneClient",       "ClearAScript",  "GetDateString", "SendToClient",
      "SendClients",     "SendToServer",      "RestartTessel", "CloseTessel",   "SetConfigValue",
      "GetGameString",   "GetGameTime",       "StartYield",
  };
  for (const char* fn : functions) {
    EXPECT_TRUE(Run(std::string("assert(type(") + fn + ") == 'function')").ok) << fn;
  }
  const stGroupRun help = Run("Help()");
  const auto at = help.out.find("【脚本函数】");
  ASSERT_NE(at, std::string::npos) << help.out;
  EXPECT_GT(at, 0u) << "the base library's help comes first";
  EXPECT_LT(help.out.find("【Config", at), help.out.rfind("[log命令]")) << help.out;
}

TEST_F(ScriptGroup, ParseCmdTalksAndTheShiftsAreSilent) {
  struct stCase {
    const char* statement;
    cCmd* lands;
    const char* out;
  } const cases[] = {
      {"ParseCmd('/3')", &cCmdInput::Instance(), "cmd switch from cCmd_Script to cCmd_Input\n"},
      {"ParseCmdOut('/6')", &cCmdTest::Instance(), "cmd switch from cCmd_Input to cCmd_Test\n"},
      {"ParseCmd('/6/Hello()')", &cCmdTest::Instance(),
       "cmd switch from cCmd_Test to cCmd_Test\nHello World!\n"},
      {"ShiftCmd(3)", &cCmdInput::Instance(), ""},
      {"ShiftCmds('',6)", &cCmdTest::Instance(), ""},
      {"ShiftCmdsName('','Scr')", &cCmdScript::Instance(), ""},
  };
  for (const auto& c : cases) {
    const stGroupRun run = Run(c.statement);
    EXPECT_TRUE(run.ok) << c.statement;
    EXPECT_EQ(run.out, c.out) << c.statement;
    EXPECT_EQ(cTesselCmd::Instance().GetCurCmd(), c.lands) << c.statement;
  }
}

TEST_F(ScriptGroup, SendingWithoutTheEasyClientIsReported) {
  CheckGroupCases(
      cCmdScript::Instance(),
      {{"SendToServer('nosuch',2,'Do(10)')", true,
        "func_SendToServer not find client nosuch cmd 2 Do(10)\n"},
       {"Send(2,'Do(10)')", true, "func_SendEasyClient not find easyclient\n"},
       {"SendName('nosuch',2,'Do(10)')", true, "func_SendEasyClient not find easyclient\n"}});
}

TEST_F(ScriptGroup, ClearAScriptDropsALoadedScriptOnly) {
  std::ofstream(m_dir.path() / "drop.lua") << "value = 1";
  cScriptManager& scripts = cScriptManager::Instance();
  scripts.Clear();
  scripts.CreateScript(m_dir.path().c_str());
  ASSERT_NE(scripts.GetScript("drop"), nullptr);
  EXPECT_EQ(Run("ClearAScript('drop')").out, "clear script file drop ok \n");
  EXPECT_EQ(Run("ClearAScript('drop')").out, "not find script file drop\n");
  scripts.Clear();
}

TEST_F(ScriptGroup, GetDateStringGivesTheLocalTimeInFileNameForm) {
  const stGroupRun run =
      Run("assert(string.match(GetDateString(), '^%d%d%d%d_%d%d_%d%d%-%d%d%.%d%d%.%d%d$'))");
  EXPECT_TRUE(run.ok) << run.out;
}

// The clone copies the client's connection record but does not connect by itself.
TEST_F(LinkedHostTest, CloneClientEntersANewClientThatDoesNotConnect) {
  const struct {
    const char* statement;
    const char* out;
  } cases[] = {
      {"CloneClient('nosuch',0,'copy')", "func_CloneClient not find easyclient nosuch\n"},
      {"CloneClient('global',0,'global')", "func_CloneClient already have easyclient global\n"},
      {"CloneClient('global',0,'globalCopy')", "cEasyClient::Start globalCopy\n"},
      {"CloneClient('global',1,'globalCopy')",
       "func_CloneClient already have easyclient globalCopy\n"},
  };
  for (const auto& c : cases) {
    const stGroupRun run = RunInGroup(cCmdScript::Instance(), c.statement);
    EXPECT_TRUE(run.ok) << c.statement;
    // A clone starts as a client does and says so.
    EXPECT_EQ(run.out.substr(0, std::string(c.out).size()), c.out) << c.statement;
  }
  cEasyClient* copy = m_host->GetTesselClient("globalCopy");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->GetName(), "globalCopy");
  PumpFor(200);
  EXPECT_EQ(m_server->GetNetServer()->GetLinkNum(), 1);
  // A command for the clone is refused aloud rather than lost.
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "SendName('globalCopy',1,'Help()')").out,
            "func_SendEasyClient client not connect\n");
}

// Through the named client the command reaches the server; with two clients Send cannot tell
// which one is meant.
TEST_F(LinkedHostTest, SendNameReachesTheServerAndSendNeedsTheOnlyClient) {
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "SendName('global',1,'Help()')").out, "");
  ASSERT_TRUE(Pump([&] { return !m_outputs.empty(); }));
  EXPECT_NE(m_outputs[0].find("[账号命令]"), std::string::npos) << m_outputs[0];

  m_outputs.clear();
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "Send(1,'Help()')").out, "");
  ASSERT_TRUE(Pump([&] { return !m_outputs.empty(); }));

  cNoticeClient second(m_server->Port(), "second");
  m_host->SetTesselClient(&second);
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "Send(1,'Help()')").out,
            "func_SendEasyClient not find easyclient\n");
  m_host.reset();
}

TEST(ScriptBinding, AnyStateReceivesTheScriptGroupsFunctions) {
  std::unique_ptr<lua_State, void (*)(lua_State*)> L(luaL_newstate(), lua_close);
  luaL_openlibs(L.get());
  BindFunc_ToScriptManager(L.get());
  EXPECT_EQ(luaL_dostring(L.get(),
                          "assert(type(ParseCmd) == 'function' and type(add_appender_file) == "
                          "'function' and type(GetGameTime) == 'function')"),
            0)
      << lua_tostring(L.get(), -1);
}

}  // namespace
