#include "tessel/replay/tessel_replay.h"

#include <cstring>
#include <iostream>

#include "tessel/contracts/net_records.h"
#include "tessel/core/host.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/bridge_interfaces.h"

namespace {

// The link a replayed delivery acts on: a server link event names its link in its data, which
// a file may set apart from the record's link; anything else acts on the link it is given.
// False when it acts on no link.
bool TargetOf(int kind, const void* data, unsigned long size, iSend* send, unsigned int& id) {
  stNetNoticeServer notice;
  if (kind == stBindMsg::kNetNotice && data != nullptr && size >= sizeof(notice)) {
    std::memcpy(static_cast<void*>(&notice), data, sizeof(notice));
    if (notice.type == NetNotice_Server) {
      id = notice.id;
      return true;
    }
  }
  id = send != nullptr ? send->GetID() : 0;
  return send != nullptr;
}

}  // namespace

int cNetHelpReplay::OnMessage(int kind, const void* data, unsigned long size, iSend* send) {
  unsigned int id = 0;
  if (TargetOf(kind, data, size, send, id) && !m_find.MayReplayInto(m_strName.c_str(), id))
    return 1;
  cNetHelp* help = m_pBridge != nullptr ? m_pBridge->GetNetHelp() : nullptr;
  return help != nullptr ? help->OnReplayedMessage(kind, data, size, send) : 0;
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
  auto made = m_mapCallbacks.emplace(name, std::make_unique<cNetHelpReplay>(bridge, *this, name));
  return made.first->second.get();
}

void cTesselReplay::OnReplayStart() {
  std::lock_guard lock(m_lock);
  m_taken.clear();
  m_leftAlone.clear();
}

bool cTesselReplay::MayReplayInto(const char* name, unsigned int id) {
  const stEndpoint endpoint = FindEndpoint(name);
  iSend* link = nullptr;
  bool live = false;
  if (id > 0) {
    iServerLink* serverLink = endpoint.server != nullptr ? endpoint.server->GetLink(id) : nullptr;
    link = serverLink;
    live = serverLink != nullptr && serverLink->IsLogined();
  } else {
    link = endpoint.client;
    live = link != nullptr && link->IsConnect() != 0;
  }
  if (link == nullptr) return true;
  std::lock_guard lock(m_lock);
  if (m_leftAlone.count(link) != 0) return false;
  // A replayed login leaves the link's peer a guest: a taken link that is live now was logged
  // in (or connected) by its own peer since, and is that peer's from then on.
  if (m_taken.count(link) != 0 && !live) return true;
  m_taken.erase(link);
  (live ? m_leftAlone : m_taken).insert(link);
  if (live)
    std::cout << "[replay] " << name << " link id " << id
              << " is in use by a live peer: its records are not replayed" << std::endl;
  return !live;
}
