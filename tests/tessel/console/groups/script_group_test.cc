#include "tessel/console/groups/cmd_script.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cmd_group_util.h"
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

// The clone copies the client's connection record but does not connect by itself.
TEST_F(GroupLinkTest, CloneClientEntersANewClientThatDoesNotConnect) {
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
  CyclesUntil([] { return false; }, 200);
  EXPECT_EQ(m_server->GetNetServer()->GetLinkNum(), 1);
  // A command for the clone is refused aloud rather than lost.
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "SendName('globalCopy',1,'Help()')").out,
            "func_SendEasyClient client not connect\n");
}

// Through the named client the command reaches the server; with two clients Send cannot tell
// which one is meant.
TEST_F(GroupLinkTest, SendNameReachesTheServerAndSendNeedsTheOnlyClient) {
  cRecordCmd& record = m_client->record;
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "SendName('global',1,'Accounts()')").out, "");
  ASSERT_TRUE(CyclesUntil([&] { return !record.FirstArgs("Output").empty(); }));
  EXPECT_NE(record.FirstArgs("Output")[0].find("func_Accounts"), std::string::npos);

  record.ClearCalls();
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "Send(1,'Accounts()')").out, "");
  ASSERT_TRUE(CyclesUntil([&] { return !record.FirstArgs("Output").empty(); }));

  cLinkClient second(*m_server, "second");
  m_host->SetTesselClient(&second);
  EXPECT_EQ(RunInGroup(cCmdScript::Instance(), "Send(1,'Accounts()')").out,
            "func_SendEasyClient not find easyclient\n");
  m_host->ClearNet();
  m_host.reset();
}

}  // namespace
