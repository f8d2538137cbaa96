#include "tessel/console/groups/cmd_maintain.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[维护指令]",
    "\t程序版本\t --- Ver()",
    "\t得到服务器时间\t --- GetTime()",
    "\t得到服务器信息\t --- GetInfos()",
    "\t设置服务器时间\t --- Time(1002030)",
    "\t设置服务器信息\t --- SetInfoValue('Restart','服务器将在12点重新启动')",
    "\t广播命令!\t --- BroadCmd(4,'Ver()')",
    "\t广播命令!\t --- BroadCmdName(4,'Ver()','select')",
    "\t递归广播命令!\t --- BroadCmdReverse(4,'Ver()')",
    "\t递归广播匹配名字!\t --- BroadCmdReverseName(4,'Ver()','game')",
    "\t服务器更新\t --- Update()",
    "\t服务器关闭\t --- Close()",
    "\t服务器更新重启\t --- Restart('10:30')",
    "",
};

}  // namespace

cCmdMaintain& cCmdMaintain::Instance() {
  static cCmdMaintain s_cmd;
  return s_cmd;
}

void cCmdMaintain::Help() {
  PrintHelp(kHelp);
}

void cCmdMaintain::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdMaintain::Help);
}
