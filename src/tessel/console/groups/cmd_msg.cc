#include "tessel/console/groups/cmd_msg.h"

#include "tessel/console/help.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"
#include "tessel/core/login_text.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const char* const kHelp[] = {
    "[发送消息]",
    "\t发消息到客户端\t --- SendAccount('game','Account',2,'Do(10)')",
    "\t发消息到客户端\t --- SendToClient('game',10,2,'Do(10)')",
    "\t广播消息到客户端 --- SendClients('game',2,'Do(10)')",
    "\t发消息到服务器\t --- SendToServer('global',2,'Do(10)')",
    "",
};

// The command text as it may be shown: a login call loses its password.
std::string Shown(const char* text) {
  return MaskCmdText(text);
}

// A command sent elsewhere goes only to processes the account's targets reach: the upstream
// is named by its client link, a downstream by its account. A command that does not leave (a
// link that is down, a text longer than one command record, a queue past its bound) is said.
void SendToServer(const char* client, int group, const char* text) {
  RequireCmdTarget("SendToServer", client);
  iClient* link = GetHost().GetNetClient(client);
  if (link == nullptr) {
    get_gout() << "func_SendToServer "
               << "not find client " << client << " cmd " << group << " " << Shown(text) << "\n";
    return;
  }
  // A link that is down (its upstream restarting, not yet connected again) takes no record: the
  // command would be lost without a word.
  if (link->IsConnect() == 0) {
    get_gout() << "func_SendToServer client " << client << " not connect cmd " << group << " "
               << Shown(text) << "\n";
    return;
  }
  if (SendCmd(link, group, text) == 0)
    get_gout() << "func_SendToServer client " << client << " cmd " << group << " not sent\n";
}

void SendToClient(const char* server, unsigned int linkId, int group, const char* text) {
  iServer* net = GetHost().GetNetServer(server);
  if (net == nullptr) {
    get_gout() << "not find server"
               << "\n";
    return;
  }
  iServerLink* link = net->GetLink(linkId);
  iAccountManagerServer* manager = GetHost().GetAMServer(server);
  iAccount* account = manager != nullptr ? manager->GetAccount(linkId) : nullptr;
  if (link != nullptr)
    RequireCmdTarget("SendToClient", account != nullptr ? account->GetName() : "");
  if (link == nullptr) {
    get_gout() << "not find link"
               << "\n";
    return;
  }
  if (SendCmd(link, group, text) == 0)
    get_gout() << "link " << linkId << " of " << server << " cmd " << group << " not sent\n";
}

void SendClients(const char* server, int group, const char* text) {
  iServer* net = GetHost().GetNetServer(server);
  if (net == nullptr) {
    get_gout() << "not find server"
               << "\n";
    return;
  }
  RequireCmdTarget("SendClients", "*");
  // No link took it (none up, a text longer than one command record, every queue full): said,
  // as a command to one link that did not leave is.
  if (SendServerCmd(net, group, text) == 0)
    get_gout() << "func_SendClients server " << server << " cmd " << group
               << " not sent: no link took it\n";
}

// Sends to the link on which `account` is logged in on the server.
void SendAccount(const char* server, const char* account, int group, const char* text) {
  iAccountManagerServer* manager = GetHost().GetAMServer(server);
  if (manager == nullptr || GetHost().GetNetServer(server) == nullptr) {
    get_gout() << "not find server"
               << "\n";
    return;
  }
  iAccount* found = manager->FindAccount(account);
  if (found == nullptr) {
    get_gout() << "not find Account"
               << "\n";
    return;
  }
  SendToClient(server, found->GetLinkID(), group, text);
}

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
  luareg::def<&SendToServer>(L, "SendToServer");
  luareg::def<&SendToClient>(L, "SendLink");
  luareg::def<&SendToClient>(L, "SendToClient");
  luareg::def<&SendClients>(L, "SendClients");
  luareg::def<&SendAccount>(L, "SendAccount");
}
