#include "tessel/console/groups/cmd_net.h"

#include <iostream>
#include <lua.hpp>

#include "platform/console_color.h"
#include "platform/text_clean.h"
#include "tessel/console/help.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/msg/ostream_cmd.h"

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

std::ostream& Out() {
  return get_gout().Stream();
}

// --- clients ---

void Disconnect(const char* name) {
  cBridgeClient* client = GetHost().GetBridgeClient(name);
  if (client == nullptr) {
    std::cout << "func_Disconnect "
              << "not find " << EscapeControls(name) << std::endl;
    return;
  }
  std::cout << "client " << name << " disconnected " << std::endl;
  client->Disconnect();
}

void Connect(const char* name) {
  cBridgeClient* client = GetHost().GetBridgeClient(name);
  if (client == nullptr) {
    std::cout << "func_Connect "
              << "not find " << EscapeControls(name) << std::endl;
    return;
  }
  client->Connect();
}

// A link pointed at an address of the command's choice leads to any process under a name the
// account's targets may reach: it takes an account whose targets reach every process, as do
// SetConnectIP and SetConnect.
// Points the client at ip (and port, unless 0) and connects there, whatever address the echo
// test chose before. A port outside 1..65535 keeps the old one rather than being cut short.
void ConnectServer(const char* name, const char* ip, int port) {
  RequireCmdTarget("ConnectServer", "*");
  cBridgeClient* client = GetHost().GetBridgeClient(name);
  if (client == nullptr) {
    std::cout << "func_ConnectServer "
              << "not find " << EscapeControls(name) << std::endl;
    return;
  }
  stClientInfo& info = client->GetInfo();
  info.serverip = ip;
  if (port > 0 && port <= 65535) info.port = static_cast<unsigned short>(port);
  client->SetUseIp2(false);
  client->Connect();
}

void SetAutoConnect(const char* name, int on) {
  cBridgeClient* client = GetHost().GetBridgeClient(name);
  if (client == nullptr) {
    Out() << "not find " << name << "\n";
    return;
  }
  client->GetInfo().autoreconnect = on != 0;
  Out() << "SetAutoConnect set to " << on << "\n";
}

void SetConnectIP(const char* name, const char* ip) {
  RequireCmdTarget("SetConnectIP", "*");
  cEasyClient* client = GetHost().GetTesselClient(name);
  if (client == nullptr) {
    Out() << "not find " << name << "\n";
    return;
  }
  if (ip[0] != '\0') client->GetBridgeClient()->GetInfo().serverip = ip;
  client->Trace(Out());
}

// Replaces what is given (non-empty texts, a port other than 0) and does not reconnect.
void SetConnect(const char* name, const char* ip, int port, const char* account,
                const char* password) {
  RequireCmdTarget("SetConnect", "*");
  cEasyClient* client = GetHost().GetTesselClient(name);
  if (client == nullptr) {
    Out() << "not find " << name << "\n";
    return;
  }
  stClientInfo& info = client->GetBridgeClient()->GetInfo();
  if (ip[0] != '\0') info.serverip = ip;
  if (port > 0 && port <= 65535) info.port = static_cast<unsigned short>(port);
  if (account[0] != '\0') info.account = account;
  if (password[0] != '\0') info.password = password;
  client->Trace(Out());
}

void Client(const char* name) {
  cEasyClient* client = GetHost().GetTesselClient(name);
  if (client == nullptr) {
    Out() << "not find " << name << "\n";
    return;
  }
  client->Trace(Out());
  if (iClient* net = client->GetNetClient()) net->Trace(Out());
}

// The neighbours of a client link: the other client links of this process, which connect out
// beside it. Shown because the help offers the command.
void Brother(const char* name) {
  if (GetHost().GetTesselClient(name) == nullptr) {
    Out() << "not find " << name << "\n";
    return;
  }
  Out() << "func_Brother " << name << " ";
  for (cEasyClient* client : GetHost().Clients())
    if (std::string(client->GetName()) != name) Out() << client->GetName() << " ";
  Out() << "\n";
}

void Clients() {
  Out() << "func_ListClients ";
  GetHost().ListClients(Out());
  Out() << "\n";
}

// --- servers ---

void ForbitAccept(const char* name) {
  iServer* server = GetHost().GetNetServer(name);
  if (server == nullptr) {
    std::cout << "unknow server " << EscapeControls(name) << std::endl;
    return;
  }
  server->ForbitAccept();
  std::cout << "ForbitAccept server " << name << " ok " << std::endl;
}

void Servers() {
  Out() << "func_ListServers ";
  GetHost().ListServers(Out());
  Out() << "\n";
}

void Server(const char* name) {
  cEasyServer* server = GetHost().GetTesselServer(name);
  if (server == nullptr) {
    std::cout << "func_TraceServer "
              << "not server " << std::endl;
    return;
  }
  server->Trace(Out());
  if (iServer* net = server->GetNetServer()) net->Trace(Out());
}

void TraceLink(const char* name, unsigned int id) {
  iServer* server = GetHost().GetNetServer(name);
  if (server == nullptr) {
    std::cout << "func_TraceLink "
              << "not server " << std::endl;
    return;
  }
  iServerLink* link = server->GetLink(id);
  if (link == nullptr) {
    Out() << "unvalid id"
          << "\n";
    return;
  }
  link->Trace(Out());
}

// Allows a peer address under a name; the table is saved and handed to the listening socket.
void Set(const char* server, const char* name, const char* ip) {
  cBridgeServer* bridge = GetHost().GetBridgeServer(server);
  if (bridge == nullptr) {
    std::cout << "func_SetNameIP "
              << "not server " << std::endl;
    return;
  }
  if (!bridge->NameIP(name, ip)) {
    Out() << (bridge->IPTableFits(name, ip)
                  ? "func_SetNameIP refused: the name and the address must be one word each\n"
                  : "func_SetNameIP refused: the address table would pass the 1 MiB its file "
                    "may hold\n");
    return;
  }
  if (!bridge->SaveIP()) Out() << "func_SetNameIP the address table could not be saved\n";
  if (bridge->GetNetServer() != nullptr) bridge->SetIP();
}

void ListNameIP(const char* server) {
  cBridgeServer* bridge = GetHost().GetBridgeServer(server);
  if (bridge == nullptr) {
    std::cout << "func_ListNameIP "
              << "not server " << std::endl;
    return;
  }
  bridge->TraceIP(Out());
}

// List('game') shows one server's address table; List(), as the help offers it, shows every
// server's.
int LuaList(lua_State* L) {
  if (lua_isnoneornil(L, 1)) {
    for (cEasyServer* server : GetHost().Servers()) server->GetBridgeServer()->TraceIP(Out());
    return 0;
  }
  luaL_checkstring(L, 1);
  ListNameIP(lua_tostring(L, 1));
  return 0;
}

// --- tracing ---

// The client link of that name, else the server of that name, traces its commands.
template <void (iClient::*ClientTrace)(bool), void (iServer::*ServerTrace)(bool)>
void TraceByName(const char* name, int on) {
  if (iClient* client = GetHost().GetNetClient(name)) {
    (client->*ClientTrace)(on != 0);
  } else if (iServer* server = GetHost().GetNetServer(name)) {
    (server->*ServerTrace)(on != 0);
  } else {
    std::cout << "unknow name" << std::endl;
  }
}

void TraceRecieveCmdAll(int on) {
  std::cout << "接收命令的调试"
            << " = " << on << std::endl;
  GetHost().TraceRecieveCmd(on != 0);
}

void TraceSendCmdAll(int on) {
  std::cout << "发送命令的调试"
            << " = " << on << std::endl;
  GetHost().TraceSendCmd(on != 0);
}

// The id of the link the command came over; a command typed here came over none.
void NetID() {
  if (get_gout().IsLocalCmd()) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "func_NetID "
              << "error! can not solve local cmd!\n";
    return;
  }
  Out() << "net id " << get_gout().GetLinkID() << "\n";
}

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
  luareg::def<&ForbitAccept>(L, "ForbitAccept");
  luareg::def<&Disconnect>(L, "DisconnectServer");
  luareg::def<&ConnectServer>(L, "ConnectServer");
  luareg::def<&Disconnect>(L, "Disconnect");
  luareg::def<&SetAutoConnect>(L, "SetAutoConnect");
  luareg::def<&SetConnectIP>(L, "SetConnectIP");
  luareg::def<&SetConnect>(L, "SetConnect");
  luareg::def<&Connect>(L, "Connect");
  luareg::def<&Client>(L, "Client");
  luareg::def<&Brother>(L, "Brother");
  luareg::def<&Servers>(L, "Servers");
  luareg::def<&Clients>(L, "Clients");
  luareg::def<&TraceByName<&iClient::TraceRecieveCmd, &iServer::TraceRecieveCmd>>(
      L, "TraceRecieveCmdA");
  luareg::def<&TraceByName<&iClient::TraceSendCmd, &iServer::TraceSendCmd>>(L, "TraceSendCmdA");
  luareg::def<&TraceRecieveCmdAll>(L, "TraceRecieveCmd");
  luareg::def<&TraceSendCmdAll>(L, "TraceSendCmd");
  luareg::def<&TraceLink>(L, "TraceLink");
  luareg::def<&Server>(L, "Server");
  luareg::def<&Set>(L, "Set");
  luareg::def(L, "List", &LuaList);
  luareg::def<&NetID>(L, "NetID");
}
