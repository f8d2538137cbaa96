#include "tessel/console/groups/cmd_sim.h"

#include <string>

#include "tessel/console/help.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/net_records.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"
#include "tessel/core/lua_text.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"

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

// Kinds of delivery of the network callback: a notice of the network library, a peer record.
const int kNoticeKind = 1;
const int kRecordKind = 2;

// The link of that id of a server of this process; null when there is none.
iServerLink* FindLink(cBridgeServer* bridge, unsigned int id) {
  iServer* net = bridge != nullptr ? bridge->GetNetServer() : nullptr;
  return net != nullptr ? net->GetLink(id) : nullptr;
}

// A server that is not in this process may be in the one the default route leads to: the
// command goes there, to this group, and runs there as it would here. It names the server and
// keeps its own function (SimNet stays SimNet), since a bare link id names nothing on the other
// side and a link event read as SimRecvLink would run a number as a command; its texts are
// quoted so that they cannot end the literal early.
// The receiving side does not pass it on again (a command served from a link is never
// forwarded), so it travels one hop and cannot circle between processes; what it prints there,
// a failure included, comes back to the requester. False when there is nowhere to send it.
bool ForwardToDefaultRoute(const std::string& cmd) {
  if (!get_gout().IsLocalCmd()) return false;
  cBridgeClient* route = GetHost().GetDefaultRoute();
  iClient* net = route != nullptr ? route->GetNetClient() : nullptr;
  if (net == nullptr) return false;
  return SendCmd(net, cCmdSim::kLevel, cmd) != 0;
}

// Queues a command record on the callback as if `link` had delivered it, so that it meets the
// same checks (login, level) as real traffic. False when the text does not fit a record.
bool Deliver(cBridge& bridge, iSend* link, int group, const char* text) {
  unsigned long size = 0;
  const stMsg* msg = Msg_GetCmd(group, text, size);
  if (size == 0) return false;
  bridge.GetNetHelp()->OnMessage(kRecordKind, msg, size, link);
  return true;
}

void SimNet(const char* server, unsigned int id, unsigned int state, unsigned int reason) {
  cBridgeServer* bridge = GetHost().GetBridgeServer(server);
  iServerLink* link = FindLink(bridge, id);
  if (link != nullptr) {
    stNetNoticeServer notice;
    notice.event = state;
    notice.id = id;
    notice.reason = reason;
    bridge->GetNetHelp()->OnMessage(kNoticeKind, &notice, sizeof(notice), link);
    return;
  }
  const std::string forward = "SimNet(" + LuaQuote(server) + "," + std::to_string(id) + "," +
                              std::to_string(state) + "," + std::to_string(reason) + ")";
  if (bridge == nullptr && ForwardToDefaultRoute(forward)) return;
  get_gout() << "func_SimNet "
             << "error! can not find link id..\n";
}

void SimConnect(const char* server, unsigned int id) {
  SimNet(server, id, NetEvent_Connected, 0);
}

// Reason 13: the network broke the link.
void SimDisconnect(const char* server, unsigned int id) {
  SimNet(server, id, NetEvent_Disconnected, 13);
}

// A simulated record runs later with the account of the link it is handed to, which may run
// anything: like a replay, it needs @shell as well.
void SimRecvLink(const char* server, unsigned int id, int group, const char* text) {
  RequireCmdRight("SimRecvLink", eCmdRight::kShell);
  cBridgeServer* bridge = GetHost().GetBridgeServer(server);
  iServerLink* link = FindLink(bridge, id);
  if (link != nullptr) {
    if (!Deliver(*bridge, link, group, text))
      get_gout() << "func_SimRecvLink "
                 << "cmd too long\n";
    return;
  }
  const std::string forward = "SimRecvLink(" + LuaQuote(server) + "," + std::to_string(id) + "," +
                              std::to_string(group) + "," + LuaQuote(text) + ")";
  if (bridge == nullptr && ForwardToDefaultRoute(forward)) return;
  get_gout() << "func_SimRecvLink "
             << "not find link\n";
}

void SimRecvAccount(const char* server, const char* account, int group, const char* text) {
  RequireCmdRight("SimRecvAccount", eCmdRight::kShell);
  iAccountManagerServer* manager = GetHost().GetAMServer(server);
  if (manager == nullptr) {
    get_gout() << "func_SimRecvAccount "
               << "not find server\n";
    return;
  }
  iAccount* found = manager->FindAccount(account);
  if (found == nullptr) {
    get_gout() << "func_SimRecvAccount "
               << "not find Account\n";
    return;
  }
  SimRecvLink(server, found->GetLinkID(), group, text);
}

// As if the server had sent the command over the client link.
void SimRecv(const char* client, int group, const char* text) {
  RequireCmdRight("SimRecv", eCmdRight::kShell);
  cBridgeClient* bridge = GetHost().GetBridgeClient(client);
  iClient* net = bridge != nullptr ? bridge->GetNetClient() : nullptr;
  if (net == nullptr) {
    get_gout() << "func_SimRecv "
               << "not find client\n";
    return;
  }
  if (!Deliver(*bridge, net, group, text))
    get_gout() << "func_SimRecv "
               << "cmd too long\n";
}

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
  luareg::def<&SimNet>(L, "SimNet");
  luareg::def<&SimRecv>(L, "SimRecv");
  luareg::def<&SimRecvAccount>(L, "SimRecvAccount");
  luareg::def<&SimRecvLink>(L, "SimRecvLink");
  luareg::def<&SimDisconnect>(L, "SimDisconnect");
  luareg::def<&SimConnect>(L, "SimConnect");
}
