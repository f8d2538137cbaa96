#include "tessel/console/groups/cmd_account.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[账号命令]",
    "\tGetAccount\t --- GetAccount()",
    "\t所有连接\t --- Accounts()",
    "\t某个连接情况\t --- Account('mxmx')",
    "\t得到顶级路径\t --- ToTop('global')",
    "\t当前顶级路径\t --- ShowTop()",
    "",
};

}  // namespace

cCmdAccount& cCmdAccount::Instance() {
  static cCmdAccount s_cmd;
  return s_cmd;
}

void cCmdAccount::Help() {
  PrintHelp(kHelp);
}

void cCmdAccount::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdAccount::Help);
}
