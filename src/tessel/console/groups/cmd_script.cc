#include "tessel/console/groups/cmd_script.h"

#include <iostream>
#include <string>

#include "platform/local_time.h"
#include "platform/text_clean.h"
#include "tessel/console/groups/cmd_config.h"
#include "tessel/console/groups/cmd_log.h"
#include "tessel/console/groups/cmd_maintain.h"
#include "tessel/console/groups/cmd_msg.h"
#include "tessel/console/help.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/easy_client.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const char* const kHelp[] = {
    "【脚本函数】",
    "\t重载所有脚本\t --- ReloadAll()",
    // The example runs as shown: in a Lua string "\t" is a tab, so 'Script\test' named no
    // script; the script manager takes "/" as the folder separator.
    "\t执行脚本\t --- RunScript('Script/test','main')",
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

// Registers in L, under `as`, the native function that `group` registered as `name`, so that
// both states call the same function. Only functions without upvalues are shared: they depend
// on nothing of the state they were registered in.
void ShareGroupFunction(lua_State* L, cCmd& group, const char* name, const char* as) {
  group.Create();
  // The group's function itself, without the check it has there: this state checks its own.
  const stCmdFunc* func = group.Funcs().Find(name);
  lua_CFunction fn = func != nullptr ? func->direct : nullptr;
  if (fn == nullptr) return;
  lua_pushcfunction(L, fn);
  lua_setglobal(L, as);
}

void ParseCmd(const char* text) {
  cTesselCmd::Instance().ParseCmd(text, std::cout);
}

// The switch messages go to the requester of a command served from a link.
void ParseCmdOut(const char* text) {
  cTesselCmd::Instance().ParseCmd(text, get_gout());
}

void ShiftCmd(int level) {
  cTesselCmd::Instance().ShiftCmd(level, true, std::cout);
}

void ShiftCmds(const char* type, int level) {
  cTesselCmd::Instance().ShiftCmds(type, level, true, std::cout);
}

void ShiftCmdsName(const char* type, const char* name) {
  cTesselCmd::Instance().ShiftCmdsName(type, name, true, std::cout);
}

void SendEasyClient(cEasyClient* client, int level, const char* text) {
  if (client == nullptr) {
    get_gout() << "func_SendEasyClient "
               << "not find easyclient"
               << "\n";
    return;
  }
  // A client that has its network object but no link up (a clone, a link that dropped) would
  // lose the command without a word.
  iClient* link = client->GetNetClient();
  if (link == nullptr || link->IsConnect() == 0) {
    get_gout() << "func_SendEasyClient "
               << "client not connect"
               << "\n";
    return;
  }
  SendCmd(link, level, text);
}

// Through the only easy client of the process. Like every command sent elsewhere, it goes only
// to a process the account's targets reach (the upstream is named by its client link).
void Send(int level, const char* text) {
  cEasyClient* client = GetHost().GetTesselClientOne();
  if (client != nullptr) RequireCmdTarget("Send", client->GetName());
  SendEasyClient(client, level, text);
}

void SendName(const char* name, int level, const char* text) {
  RequireCmdTarget("SendName", name != nullptr ? name : "");
  SendEasyClient(GetHost().GetTesselClient(name), level, text);
}

// Each clone stays for good, with the five log files of its link open: the commands served for
// other processes clone a bounded number, so that a loop of them cannot take every descriptor of
// the process (no login, no log file, no link). The local console clones as many as it is told.
constexpr int kMaxCommandClones = 64;
int g_commandClones = 0;  // worker thread only

// The clone does not connect by itself; it is entered in the host's table under its name. Under
// a name of the command's choice it leads where the original leads: it takes an account whose
// targets reach every process.
void CloneClient(const char* name, int mode, const char* newName) {
  RequireCmdTarget("CloneClient", "*");
  const bool served = !get_gout().IsLocalCmd();
  if (served && g_commandClones >= kMaxCommandClones) {
    get_gout() << "func_CloneClient refused: " << kMaxCommandClones
               << " clients cloned by commands already\n";
    return;
  }
  iHost& host = GetHost();
  cEasyClient* client = host.GetTesselClient(name);
  if (client == nullptr) {
    get_gout() << "func_CloneClient "
               << "not find easyclient " << name << "\n";
    return;
  }
  if (host.GetTesselClient(newName) != nullptr) {
    get_gout() << "func_CloneClient "
               << "already have easyclient " << newName << "\n";
    return;
  }
  host.SetTesselClient(client->Clone(newName, mode));
  if (served) ++g_commandClones;
}

void ClearAScript(const char* file) {
  if (cScriptManager::Instance().ClearAScript(file)) {
    std::cout << "clear script file " << EscapeControls(file) << " ok " << std::endl;
  } else {
    std::cout << "not find script file " << EscapeControls(file) << std::endl;
  }
}

std::string GetDateString() {
  return platform::LocalTimeNow(platform::kFileTimeFormat);
}

}  // namespace

// The scripts' states carry the script group's functions, each checking the caller's rights
// as it does in the group.
void BindFunc_ToScriptManager(lua_State* L) {
  static cCmdFuncs* const funcs = [] {
    auto* made = new cCmdFuncs;
    made->SetGroup("Script");
    return made;
  }();
  funcs->Record(
      L, [](lua_State* state, void*) { cCmdScript::Instance().bind_cln(state); }, nullptr);
}

void BindScriptTessel(lua_State* L) {
  RegisterHelp(L, &cCmdScript::Help);
  luareg::def<&ParseCmd>(L, "ParseCmd");
  luareg::def<&ParseCmdOut>(L, "ParseCmdOut");
  luareg::def<&ShiftCmd>(L, "ShiftCmd");
  luareg::def<&ShiftCmds>(L, "ShiftCmds");
  luareg::def<&ShiftCmdsName>(L, "ShiftCmdsName");
  luareg::def<&Send>(L, "Send");
  luareg::def<&SendName>(L, "SendName");
  luareg::def<&CloneClient>(L, "CloneClient");
  luareg::def<&ClearAScript>(L, "ClearAScript");
  luareg::def<&GetDateString>(L, "GetDateString");
  ShareGroupFunction(L, cCmdMsg::Instance(), "SendToClient", "SendToClient");
  ShareGroupFunction(L, cCmdMsg::Instance(), "SendClients", "SendClients");
  ShareGroupFunction(L, cCmdMsg::Instance(), "SendToServer", "SendToServer");
  ShareGroupFunction(L, cCmdMaintain::Instance(), "Restart", "RestartTessel");
  ShareGroupFunction(L, cCmdMaintain::Instance(), "Close", "CloseTessel");
}

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
  cCmdLog::Instance().bind_cln(L);
  BindScriptCommon(L);
  BindScriptTessel(L);
  BindTesselConfig(L);
  BindGameTime(L);
  RegisterFunc_Yield(L);
}
