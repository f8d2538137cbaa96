// The host's registries of easy servers and clients and the lookups over them. Walks work on a
// copy of the registry, so a server or client registered meanwhile (a clone made by a command)
// never disturbs a walk in progress.
#include <algorithm>
#include <iostream>

#include "tessel/contracts/netlib.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/tessel.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

// A server allowing this many links or more serves players, not the cluster's managers.
constexpr unsigned int kManagerMaxLinks = 1000;

}  // namespace

std::vector<cEasyServer*> cTessel::Servers() const {
  std::lock_guard lock(m_mutexLinks);
  std::vector<cEasyServer*> all;
  all.reserve(m_mapServers.size());
  for (const auto& [name, server] : m_mapServers) all.push_back(server);
  return all;
}

std::vector<cEasyClient*> cTessel::Clients() const {
  std::lock_guard lock(m_mutexLinks);
  std::vector<cEasyClient*> all;
  all.reserve(m_mapClients.size());
  for (const auto& [name, client] : m_mapClients) all.push_back(client);
  return all;
}

void cTessel::SetTesselServer(cEasyServer* server) {
  if (server == nullptr) return;
  std::lock_guard lock(m_mutexLinks);
  m_mapServers[server->GetName()] = server;
}

void cTessel::SetTesselClient(cEasyClient* client) {
  if (client == nullptr) return;
  std::lock_guard lock(m_mutexLinks);
  m_mapClients[client->GetName()] = client;
}

cEasyServer* cTessel::GetTesselServer(const char* name) {
  std::lock_guard lock(m_mutexLinks);
  auto it = m_mapServers.find(name ? name : "");
  return it == m_mapServers.end() ? nullptr : it->second;
}

cEasyClient* cTessel::GetTesselClient(const char* name) {
  std::lock_guard lock(m_mutexLinks);
  auto it = m_mapClients.find(name ? name : "");
  return it == m_mapClients.end() ? nullptr : it->second;
}

cEasyServer* cTessel::GetTesselServerOne(const char*) {
  std::lock_guard lock(m_mutexLinks);
  return m_mapServers.size() == 1 ? m_mapServers.begin()->second : nullptr;
}

cEasyClient* cTessel::GetTesselClientOne() {
  std::lock_guard lock(m_mutexLinks);
  return m_mapClients.size() == 1 ? m_mapClients.begin()->second : nullptr;
}

bool cTessel::IsServer() {
  std::lock_guard lock(m_mutexLinks);
  return !m_mapServers.empty();
}

cBridgeServer* cTessel::GetBridgeServer(const char* name) {
  cEasyServer* server = GetTesselServer(name);
  return server ? server->GetBridgeServer() : nullptr;
}

cBridgeClient* cTessel::GetBridgeClient(const char* name) {
  cEasyClient* client = GetTesselClient(name);
  return client ? client->GetBridgeClient() : nullptr;
}

iServer* cTessel::GetNetServer(const char* name) {
  cEasyServer* server = GetTesselServer(name);
  return server ? server->GetNetServer() : nullptr;
}

iClient* cTessel::GetNetClient(const char* name) {
  cEasyClient* client = GetTesselClient(name);
  return client ? client->GetNetClient() : nullptr;
}

iAccountManagerServer* cTessel::GetAMServer(const char* name) {
  cEasyServer* server = GetTesselServer(name);
  return server ? server->GetAMServer() : nullptr;
}

iAccountManagerServer* cTessel::GetAMServerFront() {
  std::vector<cEasyServer*> servers = Servers();
  return servers.empty() ? nullptr : servers.front()->GetAMServer();
}

cBridge* cTessel::FindBridge(const char* name) {
  if (cBridgeServer* server = GetBridgeServer(name)) return server;
  return GetBridgeClient(name);
}

iSend* cTessel::FindServerAccount(const char* name) {
  for (cEasyServer* server : Servers()) {
    iAccountManagerServer* manager = server->GetAMServer();
    iAccount* account = manager != nullptr ? manager->FindAccount(name) : nullptr;
    if (account == nullptr) continue;
    iServer* net = server->GetNetServer();
    return net != nullptr ? net->GetLink(account->GetLinkID()) : nullptr;
  }
  return nullptr;
}

iSend* cTessel::FindLinkProgram(const char* name, int& found) {
  found = 0;
  if (cEasyClient* client = GetTesselClient(name)) {
    found = 1;
    return client->GetNetClient();
  }
  iSend* link = FindServerAccount(name);
  if (link != nullptr) found = 1;
  return link;
}

const char* cTessel::GetAccount() {
  if (cBridgeClient* route = GetDefaultRoute()) return route->GetAccount();
  return iHost::GetAccount();
}

int cTessel::IsAccount(const char* name) {
  if (name == nullptr) return 0;
  if (cBridgeClient* route = GetDefaultRoute(); route != nullptr && route->IsAccount(name))
    return 1;
  return iHost::IsAccount(name);
}

void cTessel::SendCmdAllServer(int cmd, const char* text) {
  for (cEasyServer* server : Servers())
    if (iServer* net = server->GetNetServer()) SendServerCmd(net, cmd, text);
}

int cTessel::SendCmdAllServerManager(int cmd, const char* text) {
  int sent = -1;
  for (cEasyServer* server : Servers()) {
    iServer* net = server->GetNetServer();
    if (net == nullptr) continue;
    stServerInfo info;
    net->GetInfo(info);
    if (info.maxlinks >= kManagerMaxLinks) continue;
    sent = std::max(sent, 0) + SendServerCmd(net, cmd, text);
  }
  return sent;
}

void cTessel::CheckServerLinks(const char* tag) {
  for (cEasyServer* server : Servers())
    if (iServer* net = server->GetNetServer(); net != nullptr) net->CheckLinks(tag);
}

int cTessel::GetMsgNum() {
  unsigned int sum = 0;
  for (cEasyServer* server : Servers()) sum += server->GetMsgNum();
  for (cEasyClient* client : Clients()) sum += client->GetMsgNum();
  return static_cast<int>(sum);
}

void cTessel::TraceSendCmd(bool on) {
  for (cEasyClient* client : Clients()) client->TraceSendCmd(on);
  for (cEasyServer* server : Servers()) server->TraceSendCmd(on);
}

void cTessel::TraceRecieveCmd(bool on) {
  for (cEasyClient* client : Clients()) client->TraceRecieveCmd(on);
  for (cEasyServer* server : Servers()) server->TraceRecieveCmd(on);
}

void cTessel::ListClients(std::ostream& os) {
  os << "所有的客户端如下" << std::endl;
  int index = 0;
  for (cEasyClient* client : Clients()) os << index++ << "\t" << client->GetName() << std::endl;
}

void cTessel::ListServers(std::ostream& os) {
  os << "所有的服务器如下" << std::endl;
  int index = 0;
  for (cEasyServer* server : Servers()) os << index++ << "\t" << server->GetName() << std::endl;
}

void cTessel::Version(std::ostream& os) {
  cTesselValues::Instance().Version(os);
}

void cTessel::SetAccountFather(const char* name) {
  std::lock_guard lock(m_mutexFather);
  m_strAccountFather = name ? name : "";
}

std::string cTessel::GetAccountFather() const {
  std::lock_guard lock(m_mutexFather);
  return m_strAccountFather;
}

// The network objects of the named server or client, for callers outside the host.
iServer* GetNetServer(const char* name) {
  return cTessel::Instance().GetNetServer(name);
}
iClient* GetNetClient(const char* name) {
  return cTessel::Instance().GetNetClient(name);
}
