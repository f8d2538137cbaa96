#include "tessel/console/groups/cmd_sim.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[模拟消息]",
    "\t模拟客户端连接\t --- SimConnect('game',10)",
    "\t模拟客户端断开\t --- SimDisconnect('game',10)",
    "\t模拟消息自客户端 --- SimRecvLink('game',10,3,'Do(10)')",
    "\t模拟消息自客户端 --- SimRecvAccount('game','Account',3,'Do(10)')",
    "\t模拟消息自服务器 --- SimRecv('global',3,'Do(10)')",
    "",
};

}  // namespace

cCmdSim& cCmdSim::Instance() {
  static cCmdSim s_cmd;
  return s_cmd;
}

void cCmdSim::Help() {
  PrintHelp(kHelp);
}

void cCmdSim::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdSim::Help);
}
