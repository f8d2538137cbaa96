#include "tessel/console/groups/cmd_tessel.h"

#include <iostream>

#include "platform/console_color.h"
#include "tessel/console/help.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/host.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/ostream_cmd.h"

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

// The groups of an endpoint's command array; false when there is no endpoint.
bool TraceBridgeCmds(cBridge* bridge) {
  if (bridge == nullptr) return false;
  bridge->TraceCmds(get_gout());
  return true;
}

// The help of the group an endpoint uses at `level`; false when there is no endpoint.
bool HelpBridgeCmd(cBridge* bridge, int level) {
  if (bridge == nullptr) return false;
  cCmd* cmd = level < 0 ? nullptr : bridge->GetCmdSafe(static_cast<unsigned>(level));
  if (cmd == nullptr) {
    get_gout() << "not find cmd"
               << "\n";
  } else {
    cmd->Do("Help()");
  }
  return true;
}

void ServerCmds(const char* name) {
  if (!TraceBridgeCmds(GetHost().GetBridgeServer(name)))
    get_gout() << "not find server"
               << "\n";
}

void ServerCmd(const char* name, int level) {
  if (!HelpBridgeCmd(GetHost().GetBridgeServer(name), level))
    get_gout() << "not find server"
               << "\n";
}

void ClientCmds(const char* name) {
  if (!TraceBridgeCmds(GetHost().GetBridgeClient(name)))
    get_gout() << "func_ClientCmds "
               << "not find client"
               << "\n";
}

void ClientCmd(const char* name, int level) {
  if (!HelpBridgeCmd(GetHost().GetBridgeClient(name), level))
    get_gout() << "func_ClientCmd "
               << "not find client"
               << "\n";
}

}  // namespace

void cCmdTessel::DoCmd(int level, const char* text) {
  TESSEL_ASSERT_WORKER();
  if (get_gout().IsLocalCmd()) {
    platform::SetColor(platform::kColorLightRed);
    std::cout << "func_DoCmd "
              << "error! can not solve local cmd!\n";
    platform::SetColor(platform::kColorBrightWhite);
    return;
  }
  get_gout().DoCmd(level, text);
}

cCmdTessel& cCmdTessel::Instance() {
  static cCmdTessel s_cmd;
  return s_cmd;
}

void cCmdTessel::Help() {
  PrintHelp(kHelp);
}

void cCmdTessel::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdTessel::Help);
  luareg::def<&ClientCmd>(L, "ClientCmd");
  luareg::def<&ClientCmds>(L, "ClientCmds");
  luareg::def<&cCmdTessel::DoCmd>(L, "DoCmd");
  luareg::def<&ServerCmd>(L, "ServerCmd");
  luareg::def<&ServerCmds>(L, "ServerCmds");
}
