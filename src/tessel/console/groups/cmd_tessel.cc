#include "tessel/console/groups/cmd_tessel.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[命令集合]",
    "\t察看服务器消息\t --- ServerCmds('game')",
    "\t察看服务器子消息 --- ServerCmd('game',3)",
    "\t察看客户端消息\t --- ClientCmds('global')",
    "\t察看客户器子消息 --- ClientCmd('global',3)",
    "\t执行命令\t --- DoCmd(3,'Ver()')",
    "",
};

}  // namespace

cCmdTessel& cCmdTessel::Instance() {
  static cCmdTessel s_cmd;
  return s_cmd;
}

void cCmdTessel::Help() {
  PrintHelp(kHelp);
}

void cCmdTessel::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdTessel::Help);
}
