#include "tessel/console/groups/cmd_test.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[测试命令]",
    "\tHello World!\t --- Hello()",
    "\t改变Bridge的CmdArray\t --- ChangeCmdArrayToNext('bridge',int)",
    "",
};

}  // namespace

cCmdTest& cCmdTest::Instance() {
  static cCmdTest s_cmd;
  return s_cmd;
}

void cCmdTest::Help() {
  PrintHelp(kHelp);
}

void cCmdTest::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdTest::Help);
}
