#include "tessel/console/groups/cmd_script.h"

#include "tessel/console/groups/cmd_config.h"
#include "tessel/console/groups/cmd_log.h"
#include "tessel/console/help.h"
#include "tessel/console/ostream_cmd.h"
#include "tessel/contracts/baselib.h"

namespace {

const char* const kHelp[] = {
    "【脚本函数】",
    "\t重载所有脚本\t --- ReloadAll()",
    "\t执行脚本\t --- RunScript('Script\\test','main')",
    "\t执行测试脚本函数\t --- RunScriptTest('file', 'func')",
    "\t执行测试脚本命令\t --- RunScriptString('file', 'Main(abc)')",
    "\t执行测试目录\t --- RunScriptTestF('dir')",
    "\t改变命令集合\t --- ShiftCmds('global',2)",
    "\t改变命令集合\t --- ShiftCmdsName('global','Script')",
    "\t改变命令类型\t --- ShiftCmd(2)",
    "\t解析命令\t --- ParseCmd('Ver()')",
    "\t解析命令并且提示 --- ParseCmdOut('Ver()')",
    "\t发消息到服务器\t --- Send(2,'Do(10)')",
    "\t发消息到服务器\t --- SendName('map',2,'Do(10)')",
    "\t发消息到客户端\t --- SendToClient('game',10,2,'Do(10)')",
    "\t广播消息到客户端 --- SendClients('game',2,'Do(10)')",
    "\t发消息到服务器\t --- SendToServer('global',2,'Do(10)')",
    "\tCloneClient\t --- CloneClient('mapNew',0,'mapClone') -- 0 normal,1 sharebuffer",
    "",
};

}  // namespace

cCmdScript& cCmdScript::Instance() {
  static cCmdScript s_cmd;
  return s_cmd;
}

// The script state also carries the base library's, the config and the log functions, so its
// help lists them too.
void cCmdScript::Help() {
  HelpScriptTessel(get_gout());
  PrintHelp(kHelp);
  cCmdConfig::Help();
  cCmdLog::Help();
}

void cCmdScript::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdScript::Help);
}
