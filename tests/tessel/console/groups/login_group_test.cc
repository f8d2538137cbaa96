#include "tessel/console/groups/cmd_login.h"

#include <gtest/gtest.h>

#include "cmd_group_util.h"

namespace {

// The login commands belong to a link: typed on the console each only says so.
TEST(LoginGroup, CallsTypedOnTheConsoleAreRefusedWithTheirErrorLine) {
  GroupTestHost();
  const std::string fatherBefore = cTessel::Instance().GetAccountFather();
  CheckGroupCases(
      cCmdLogin::Instance(),
      {{"Login('opsuser','mxmx')", true, "func_Login error! can not solve local cmd!\n"},
       {"Logined(1,'global')", true, "func_Logined error! can not solve local cmd!\n"},
       {"Logout()", true, "func_Logout error! can not solve local cmd!\n"}});
  EXPECT_EQ(cTessel::Instance().GetAccountFather(), fatherBefore) << "Logined stored nothing";
}

}  // namespace
