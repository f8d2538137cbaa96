// The host's finder of replayed records: a name leads to the process's easy server or client
// of that name; its link of the recorded id (a server) or its network client (a client); and a
// replay callback made once per found endpoint that hands records to the endpoint's own
// network callback. Owns those callbacks. Any thread (the replay thread in practice).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "tessel/replay/net_replay.h"

class iBridge;
class iServer;
class iClient;
class cTesselReplay;

// Hands replayed deliveries to the network callback of the endpoint it is bound to, so that
// they are queued and handled on the endpoint's thread like live traffic; a delivery into a
// link the replay may not use (see cTesselReplay::MayReplayInto) is dropped. Any thread.
class cNetHelpReplay : public iCallbackNet {
 public:
  cNetHelpReplay(iBridge* bridge, cTesselReplay& find, std::string name)
      : m_pBridge(bridge), m_find(find), m_strName(std::move(name)) {}
  virtual ~cNetHelpReplay() = default;
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override;
  iBridge* GetBridge() const { return m_pBridge; }

 private:
  iBridge* m_pBridge;
  cTesselReplay& m_find;
  std::string m_strName;
};

class cTesselReplay : public iCallbackFind {
 public:
  static cTesselReplay& Instance();
  cTesselReplay() = default;
  virtual ~cTesselReplay() = default;
  cTesselReplay(const cTesselReplay&) = delete;
  cTesselReplay& operator=(const cTesselReplay&) = delete;

  iSend* FindServerLink(const char* name, unsigned int id) override;
  iSend* FindClientLink(const char* name) override;
  iCallbackNet* FindCallback(const char* name) override;
  void OnReplayStart() override;

  // Whether the replay may deliver into the named endpoint's link of that id (0: its client).
  // Links of the process belong to their live peers: a server link whose peer logged in itself
  // (not by a replayed login), or a client that is connected, when the replay meets it is left
  // alone for the rest of the replay (a recorded disconnect would end a live operator's login,
  // a recorded login would give the link another account, recorded commands would run under
  // its account and answer its peer), also when the replay had taken it before. A link that is
  // a guest, or a client that is down, is taken by the replay. True when the endpoint has no
  // such link.
  bool MayReplayInto(const char* name, unsigned int id);

 protected:
  // An endpoint of the process and its network objects; all null for an unknown name.
  struct stEndpoint {
    iBridge* bridge = nullptr;
    iServer* server = nullptr;  // the network server of a listening endpoint
    iClient* client = nullptr;  // the network client of a connecting endpoint
  };
  // The host's server of that name, else its client of that name.
  virtual stEndpoint FindEndpoint(const char* name);

 private:
  std::mutex m_lock;
  std::map<std::string, std::unique_ptr<cNetHelpReplay>> m_mapCallbacks;
  std::set<iSend*> m_taken, m_leftAlone;  // links met during this replay (m_lock)
};
