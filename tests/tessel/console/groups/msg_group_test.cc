#include "tessel/console/groups/cmd_msg.h"

#include <gtest/gtest.h>

#include "cmd_group_util.h"

namespace {

void Check(const std::vector<stGroupCase>& cases) {
  CheckGroupCases(cCmdMsg::Instance(), cases);
}

TEST(MsgGroup, UnknownNamesAreReportedAndNothingIsSent) {
  GroupTestHost();
  testkit::cTempDir dir(testkit::cTempDir::kWorkDir);
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

class MsgGroupLinkTest : public GroupLinkTest {
 protected:
  // Runs one message-group command; its output.
  std::string Send(const std::string& text) { return RunInGroup(cCmdMsg::Instance(), text).out; }
  bool Marked(const std::vector<std::string>& marks) {
    return CyclesUntil([&] { return m_client->record.FirstArgs("Mark") == marks; });
  }
};

TEST_F(MsgGroupLinkTest, EveryServerSideCommandReachesTheClientsGroup) {
  const std::string id = std::to_string(LinkId());
  std::vector<std::string> marks;
  for (const auto& [cmd, mark] : std::vector<std::pair<std::string, std::string>>{
           {"SendLink('center'," + id + ",3,\"Mark('link')\")", "link"},
           {"SendToClient('center'," + id + ",3,\"Mark('to client')\")", "to client"},
           {"SendClients('center',3,\"Mark('all')\")", "all"},
           {"SendAccount('center','opsuser',3,\"Mark('account')\")", "account"},
       }) {
    EXPECT_EQ(Send(cmd), "") << cmd;
    marks.push_back(mark);
    EXPECT_TRUE(Marked(marks)) << cmd;
  }
}

TEST_F(MsgGroupLinkTest, UnknownLinksAndAccountsOfAKnownServerAreReported) {
  const std::vector<stGroupCase> cases = {
      {"SendToClient('center',999,3,\"Mark('x')\")", true, "not find link\n"},
      {"SendLink('center',0,3,\"Mark('x')\")", true, "not find link\n"},
      {"SendAccount('center','nobody',3,\"Mark('x')\")", true, "not find Account\n"},
      {"SendToServer('center',3,\"Mark('x')\")", true,
       "func_SendToServer not find client center cmd 3 Mark('x')\n"},
  };
  Check(cases);
  Cycles(20);
  EXPECT_TRUE(m_client->record.Calls().empty());
}

}  // namespace
