#include "tessel/console/groups/maintain_broadcast.h"

#include "tessel/console/lua_text.h"
#include "tessel/console/ostream_cmd.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/net_records.h"
#include "tessel/contracts/netlib.h"
#include "tessel/host/tessel.h"
#include "tessel/link/easy_server.h"

namespace {

constexpr int kManagerGroup = 4;
// Servers set up for this many links or more serve game clients, not other servers.
constexpr unsigned kClientServerLinks = 1000;

std::string Quoted(const std::string& text) {
  return "\"" + LuaEscape(text) + "\"";
}

}  // namespace

std::string MakeBroadDoCmd(int group, const std::string& text) {
  return "DoCmd(" + std::to_string(group) + "," + Quoted(text) + ")";
}

std::string MakeBroadNameClientCmd(int group, const std::string& text, const std::string& name) {
  return "BroadCmdNameClient(" + std::to_string(group) + "," + Quoted(text) + "," + Quoted(name) +
         ")";
}

std::string MakeBroadReverseCmd(int group, const std::string& text) {
  return "BroadCmdReverse(" + std::to_string(group) + "," + Quoted(text) + ")";
}

std::string MakeBroadReverseNameCmd(int group, const std::string& text, const std::string& name) {
  return "BroadCmdReverseName(" + std::to_string(group) + "," + LuaLongBracket(text) + "," +
         Quoted(name) + ")";
}

void SendToServerManagers(const std::vector<iServer*>& servers, const std::string& text) {
  for (iServer* server : servers) {
    if (server == nullptr) continue;
    stServerInfo info;
    server->GetInfo(info);
    if (info.maxlinks >= kClientServerLinks) continue;
    SendServerCmd(server, kManagerGroup, text);
  }
}

std::vector<iServer*> HostNetServers() {
  std::vector<iServer*> out;
  for (cEasyServer* server : cTessel::Instance().Servers())
    if (iServer* net = server->GetNetServer()) out.push_back(net);
  return out;
}

void RunHere(int group, const std::string& text) {
  if (group < 0) return;
  if (get_gout().IsLocalCmd()) {
    cTesselCmd::Instance().RunCmd(static_cast<unsigned>(group), text.c_str());
  } else {
    get_gout().DoCmd(group, text.c_str());
  }
}
