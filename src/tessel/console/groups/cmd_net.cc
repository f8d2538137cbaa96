#include "tessel/console/groups/cmd_net.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[网络情况]",
    "\t列出服务器表\t --- List()",
    "\t修改允许IP\t --- Set('game','上海一','127.0.0.1')",
    "\t所有服务器\t --- Servers()",
    "\t服务器状况\t --- Server('game')",
    "\t服务器连接状况\t --- TraceLink('game',10)",
    "\tnet id\t\t --- NetID()",
    "\t所有客户端\t --- Clients()",
    "\t客户端连接状况\t --- Client('global')",
    "\t客户端连接\t --- Connect('global')",
    "\t设置连接\t --- SetConnect('global','ip',port,'account','pw')",
    "\t设置auto连接\t --- SetAutoConnect('global',1')",
    "\t客户端的邻居\t --- Brother('global')",
    "\t客户端断开\t --- Disconnect('global')",
    "\t直接连接服务器[测试用]\t --- ConnectServer('bridge','ip',port)",
    "\t直接断开服务器[测试用]\t --- DisconnectServer('bridge')",
    "\t某个发送命令的调试\t --- TraceSendCmdA('name',0)",
    "\t某个接收命令的调试\t --- TraceRecieveCmdA('name',1)",
    "\t发送命令的调试\t --- TraceSendCmd(0)",
    "\t接收命令的调试\t --- TraceRecieveCmd(1)",
    "\t不再允许进入\t --- ForbitAccept('game')",
    "",
};

}  // namespace

cCmdNet& cCmdNet::Instance() {
  static cCmdNet s_cmd;
  return s_cmd;
}

void cCmdNet::Help() {
  PrintHelp(kHelp);
}

void cCmdNet::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdNet::Help);
}
