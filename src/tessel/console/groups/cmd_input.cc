#include "tessel/console/groups/cmd_input.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[输入命令]",
    "\t[别名]\t\t --- Alias()",
    "\t[替换]\t\t --- Replace()",
    "\t[添加别名]\t --- AddAlias('short','long')",
    "\t[添加替换]\t --- AddReplace('$N','opsuser')",
    "\t[批处理]\t --- Run('file')",
    "\t[远程批处理]\t --- RunRemote('file')",
    "\t打开节点\t --- Open('server1','server2',...)\t",
    "\t节点信息\t --- Info('server1','server2',...)\t",
    "\t修改日期\t --- Time('server1','server2',...)\t",
    "",
};

}  // namespace

cCmdInput& cCmdInput::Instance() {
  static cCmdInput s_cmd;
  return s_cmd;
}

void cCmdInput::Help() {
  PrintHelp(kHelp);
}

void cCmdInput::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdInput::Help);
}
