// The host's finder of replayed records: a name leads to the process's easy server or client
// of that name; its link of the recorded id (a server) or its network client (a client); and a
// replay callback made once per found endpoint that hands records to the endpoint's own
// network callback. Owns those callbacks. Any thread (the replay thread in practice).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tessel/replay/net_replay.h"

class iBridge;
class iServer;
class iClient;

// Hands replayed deliveries to the network callback of the endpoint it is bound to, so that
// they are queued and handled on the endpoint's thread like live traffic. Any thread.
class cNetHelpReplay : public iCallbackNet {
 public:
  explicit cNetHelpReplay(iBridge* bridge) : m_pBridge(bridge) {}
  virtual ~cNetHelpReplay() = default;
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override;
  iBridge* GetBridge() const { return m_pBridge; }

 private:
  iBridge* m_pBridge;
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
};
