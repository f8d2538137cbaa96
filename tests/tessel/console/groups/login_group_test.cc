#include "tessel/console/groups/cmd_login.h"

#include <gtest/gtest.h>

#include "cmd_group_util.h"

namespace {

// The login commands belong to a link: typed on the console each only says so.
TEST(LoginGroup, CallsTypedOnTheConsoleAreRefusedWithTheirErrorLine) {
  GroupTestHost();
  const std::string fatherBefore = cTessel::Instance().GetAccountFather();
  const struct {
    const char* statement;
    const char* line;
  } cases[] = {
      {"Login('opsuser','mxmx')", "func_Login error! can not solve local cmd!"},
      {"Logined(1,'global')", "func_Logined error! can not solve local cmd!"},
      {"Logout()", "func_Logout error! can not solve local cmd!"},
  };
  for (const auto& c : cases) {
    stGroupRun run = RunInGroup(cCmdLogin::Instance(), c.statement);
    EXPECT_TRUE(run.ok) << c.statement;
    EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
  }
  EXPECT_EQ(cTessel::Instance().GetAccountFather(), fatherBefore) << "Logined stored nothing";
}

}  // namespace
