#include "tessel/console/groups/cmd_tessel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cmd_group_util.h"
#include "linked_host.h"
#include "tessel/console/groups/cmd_exception.h"
#include "tessel/console/groups/cmd_input.h"
#include "tessel/console/groups/cmd_log.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/link_test_util.h"

namespace {

struct stHelpCase {
  cCmd* group;
  std::vector<std::string> lines;
};

TEST(GroupHelp, EveryGroupPrintsItsTitleAndItsHelpLinesExactly) {
  const stHelpCase cases[] = {
      {&cCmdTessel::Instance(),
       {"[命令集合]", "\t察看服务器消息\t --- ServerCmds('game')",
        "\t察看服务器子消息 --- ServerCmd('game',3)", "\t察看客户端消息\t --- ClientCmds('global')",
        "\t察看客户器子消息 --- ClientCmd('global',3)", "\t执行命令\t --- DoCmd(3,'Ver()')"}},
      {&cCmdInput::Instance(),
       {"[输入命令]", "\t[别名]\t\t --- Alias()", "\t[替换]\t\t --- Replace()",
        "\t[添加别名]\t --- AddAlias('short','long')",
        "\t[添加替换]\t --- AddReplace('$N','opsuser')", "\t[批处理]\t --- Run('file')",
        "\t[远程批处理]\t --- RunRemote('file')",
        "\t打开节点\t --- Open('server1','server2',...)\t",
        "\t节点信息\t --- Info('server1','server2',...)\t",
        "\t修改日期\t --- Time('server1','server2',...)\t"}},
      {&cCmdTest::Instance(),
       {"[测试命令]", "\tHello World!\t --- Hello()",
        "\t改变Bridge的CmdArray\t --- ChangeCmdArrayToNext('bridge',int)"}},
      {&cCmdException::Instance(),
       {"[异常]", "\tZero() -- div 0", "\tFunc0() -- 调用0函数", "\tFunc0Run() -- 调用0函数在Run中",
        "\tNull() -- null point access", "\tVir() -- virtual call", "\tDieLoop() -- 程序死循环",
        "\tThrow() -- throw a exception"}},
      {&cCmdLog::Instance(),
       {"[log命令]", "\t输出到屏幕\t --- add_appender_cout('tessel*')",
        "\t输出到文件\t --- add_appender_file('tessel.info','tessel.info.log')",
        "\tflush\t --- flush_log_cache()"}},
  };
  for (const stHelpCase& c : cases) {
    const stGroupRun run = RunInGroup(*c.group, "Help()");
    EXPECT_TRUE(run.ok) << c.group->GetName();
    EXPECT_EQ(Lines(run.out), c.lines) << c.group->GetName();
  }
}

struct stCase {
  const char* statement;
  const char* out;
};

TEST(HostGroup, MissingEndpointsAndLocalDoCmdAreReportedAndNothingRuns) {
  GroupTestHost();
  const stCase cases[] = {
      {"ServerCmds('nosuch')", "not find server\n"},
      {"ServerCmd('nosuch',3)", "not find server\n"},
      {"DoCmd(3,'Hello()')", "func_DoCmd error! can not solve local cmd!\n"},
  };
  for (const stCase& c : cases) {
    const stGroupRun run = RunInGroup(cCmdTessel::Instance(), c.statement);
    EXPECT_TRUE(run.ok) << c.statement << "\n" << run.out;
    EXPECT_EQ(run.out, c.out) << c.statement;
  }
}

std::string Traced(cCmdArray& array) {
  std::ostringstream os;
  array.TraceCmds(os);
  return os.str();
}

// The groups of the host's endpoints, by name; a level without a group of the endpoint's own
// shows the console's group of that level.
TEST_F(LinkedHostTest, TheHostGroupShowsTheGroupsOfTheNamedEndpoints) {
  const std::string inputHelp = RunInGroup(cCmdInput::Instance(), "Help()").out;
  const std::string testHelp = RunInGroup(cCmdTest::Instance(), "Help()").out;
  const struct {
    std::string statement;
    std::string out;
  } cases[] = {
      {"ServerCmds('center')", Traced(*m_server->GetBridgeServer())},
      {"ServerCmd('center',3)", inputHelp},
      {"ServerCmd('center',99)", "not find cmd\n"},
      {"ClientCmds('global')", Traced(Link())},
      {"ClientCmd('global',6)", testHelp},
      {"ClientCmd('global',99)", "not find cmd\n"},
      {"ClientCmds('center')", "func_ClientCmds not find client\n"},
      {"ClientCmd('center',1)", "func_ClientCmd not find client\n"},
      {"ServerCmds('global')", "not find server\n"},
      {"ServerCmd('global',1)", "not find server\n"},
  };
  EXPECT_NE(Traced(Link()).find("name cCmd_TestOutput"), std::string::npos);
  for (const auto& c : cases) {
    const stGroupRun run = RunInGroup(cCmdTessel::Instance(), c.statement);
    EXPECT_TRUE(run.ok) << c.statement;
    EXPECT_EQ(run.out, c.out) << c.statement;
  }
}

// A command served from a link runs another one for the same requester: both outputs come
// back in one reply.
TEST(HostGroup, DoCmdFromALinkRunsForTheSameRequester) {
  using namespace linktest;
  cTempHome home;
  std::filesystem::create_directories("db/accounts");
  std::ofstream("db/accounts/gm.ini") << "password = s3cret\ncmd = 9\n";
  cServerEndpoint server;
  // The process's groups answer through the console: an endpoint clears its own groups when
  // it ends.
  UseConsoleGroups(server);
  cPeer peer(server.Port());
  ASSERT_TRUE(peer.Connected());
  ASSERT_TRUE(server.PumpUntil([&] { return server.Accounts().GetAccount(1) != nullptr; }));
  ASSERT_NE(peer.SendCmd(2, "Login('gm','s3cret')"), 0);
  ASSERT_TRUE(server.PumpUntil([&] { return server.Accounts().GetAccount(1)->IsLogin(); }));

  peer.ClearRecords();
  ASSERT_NE(peer.SendCmd(0, "Help() DoCmd(6,'Hello()')"), 0);
  const auto replied = [&] {
    for (const auto& r : peer.Records())
      if (IsCmd(r) && r.Word(0) == 0) return true;
    return false;
  };
  ASSERT_TRUE(server.PumpUntil(replied));
  server.PumpFor(20);
  std::vector<std::string> replies;
  for (const auto& r : peer.Records())
    if (IsCmd(r) && r.Word(0) == 0) replies.push_back(r.CmdText());
  ASSERT_EQ(replies.size(), 1u);
  const std::string& reply = replies[0];
  EXPECT_EQ(reply.rfind("Output([[[命令集合]\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("DoCmd(3,'Ver()')\nHello World!\n]])"), std::string::npos) << reply;
}

}  // namespace
