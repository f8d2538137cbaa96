#include "tessel/console/groups/cmd_msg.h"

#include <gtest/gtest.h>

#include "cmd_group_util.h"

namespace {

struct stCase {
  const char* cmd;
  bool ok;
  const char* out;
};

void Check(const std::vector<stCase>& cases) {
  for (const stCase& c : cases) {
    const stGroupRun run = RunInGroup(cCmdMsg::Instance(), c.cmd);
    EXPECT_EQ(run.ok, c.ok) << c.cmd << "\n" << run.out;
    if (c.ok)
      EXPECT_EQ(run.out, c.out) << c.cmd;
    else
      EXPECT_NE(run.out.find(c.out), std::string::npos) << c.cmd << "\n" << run.out;
  }
}

TEST(MsgGroup, UnknownNamesAreReportedAndNothingIsSent) {
  GroupTestHost();
  TempWorkDir dir;
  Check({
      {"SendToServer('nosuch',2,'Do(10)')", true,
       "func_SendToServer not find client nosuch cmd 2 Do(10)\n"},
      {"SendToServer('nosuch',2,\"Login('gm','s3cret')\")", true,
       "func_SendToServer not find client nosuch cmd 2 Login('gm','******')\n"},
      {"SendLink('nosuch',1,2,'Do(10)')", true, "not find server\n"},
      {"SendToClient('nosuch',1,2,'Do(10)')", true, "not find server\n"},
      {"SendClients('nosuch',2,'Do(10)')", true, "not find server\n"},
      {"SendAccount('nosuch','gm',2,'Do(10)')", true, "not find server\n"},
      {"SendToServer('nosuch','two','Do(10)')", false, "do SendToServer('nosuch','two','Do(10)')"},
      {"SendLink('nosuch',-1,2,'Do(10)')", false, "do SendLink('nosuch',-1,2,'Do(10)')"},
      {"SendClients('nosuch',2)", false, "do SendClients('nosuch',2)"},
  });
}

TEST(MsgGroup, HelpListsTheSendCommands) {
  TempWorkDir dir;
  const stGroupRun run = RunInGroup(cCmdMsg::Instance(), "Help()");
  EXPECT_EQ(run.out.rfind("[发送消息]\n", 0), 0u);
  EXPECT_NE(run.out.find("\t发消息到服务器\t --- SendToServer('global',2,'Do(10)')\n"),
            std::string::npos);
}

}  // namespace
