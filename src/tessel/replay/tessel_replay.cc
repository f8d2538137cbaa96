#include "tessel/replay/tessel_replay.h"

#include "tessel/core/host.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/bridge_interfaces.h"

int cNetHelpReplay::OnMessage(int kind, const void* data, unsigned long size, iSend* send) {
  cNetHelp* help = m_pBridge != nullptr ? m_pBridge->GetNetHelp() : nullptr;
  return help != nullptr ? help->OnMessage(kind, data, size, send) : 0;
}

// The finder asks the installed host at every lookup; once the host is gone it finds nothing.
cTesselReplay& cTesselReplay::Instance() {
  static cTesselReplay s_find;
  return s_find;
}

cTesselReplay::stEndpoint cTesselReplay::FindEndpoint(const char* name) {
  iHost& host = GetHost();
  stEndpoint found;
  if (cBridgeServer* server = host.GetBridgeServer(name)) {
    found.bridge = server;
    found.server = host.GetNetServer(name);
    return found;
  }
  if (cBridgeClient* client = host.GetBridgeClient(name)) {
    found.bridge = client;
    found.client = host.GetNetClient(name);
  }
  return found;
}

iSend* cTesselReplay::FindServerLink(const char* name, unsigned int id) {
  iServer* server = FindEndpoint(name).server;
  return server != nullptr ? server->GetLink(id) : nullptr;
}

iSend* cTesselReplay::FindClientLink(const char* name) {
  return FindEndpoint(name).client;
}

iCallbackNet* cTesselReplay::FindCallback(const char* name) {
  std::lock_guard lock(m_lock);
  auto it = m_mapCallbacks.find(name);
  if (it != m_mapCallbacks.end()) return it->second.get();
  iBridge* bridge = FindEndpoint(name).bridge;
  if (bridge == nullptr) return nullptr;
  auto made = m_mapCallbacks.emplace(name, std::make_unique<cNetHelpReplay>(bridge));
  return made.first->second.get();
}
