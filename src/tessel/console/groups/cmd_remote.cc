#include "tessel/console/groups/cmd_remote.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[远程命令]",
    "\t[远程发送一个命令] --- SendPathCmd('本地','中转地'...,'目的地','参数',0,'Ver()')",
    "\t[请求一条路径] --- FindPathOnRoute('本地','目的地')",
    "\t[找到一条路径] --- FindedPathOnRoute('mxmx',0)",
    "\t[显示所有远程路径] --- TraceRemote()",
    "\t[发送命令到远程] --- SendRemoteCmd('mxmx',4,'Ver()')",
    "\t[发送命令到远程] --- SendRemoteCmdParam('mxmx',4,'Ver()','param')",
    "",
};

}  // namespace

cCmdRemote& cCmdRemote::Instance() {
  static cCmdRemote s_cmd;
  return s_cmd;
}

void cCmdRemote::Help() {
  PrintHelp(kHelp);
}

void cCmdRemote::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdRemote::Help);
}
