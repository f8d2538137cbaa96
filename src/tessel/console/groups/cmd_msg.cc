#include "tessel/console/groups/cmd_msg.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[发送消息]",
    "\t发消息到客户端\t --- SendAccount('game','Account',2,'Do(10)')",
    "\t发消息到客户端\t --- SendToClient('game',10,2,'Do(10)')",
    "\t广播消息到客户端 --- SendClients('game',2,'Do(10)')",
    "\t发消息到服务器\t --- SendToServer('global',2,'Do(10)')",
    "",
};

}  // namespace

cCmdMsg& cCmdMsg::Instance() {
  static cCmdMsg s_cmd;
  return s_cmd;
}

void cCmdMsg::Help() {
  PrintHelp(kHelp);
}

void cCmdMsg::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdMsg::Help);
}
