// The network callback of a connecting endpoint: peer records go to the endpoint's message
// registry, the disconnect-reason record is reported, and link-state notices drive the client
// state (0 new, 3 connected and waiting for encoding, 4 ready, 5 down) and the endpoint's
// connect and disconnect events. Queueing: any thread; handlers: the worker thread.
#pragma once

#include <atomic>
#include <string>

#include "tessel/link/net_help.h"

class KLuaScript;

class cCallbackClient : public cNetHelpTessel {
 public:
  enum : int { State_New = 0, State_WaitEncode = 3, State_Ready = 4, State_Down = 5 };

  using cNetHelpTessel::cNetHelpTessel;
  void HandlePeerMessageSelf(stBindMsg* msg) override;
  void HandleNetMessageSelf(stBindMsg* msg) override;

  // The script told of every state change and disconnect reason (Net, NetError); process-wide,
  // none by default.
  static void SetClientStateScript(KLuaScript* script);
  static KLuaScript* GetClientStateScript();

  int GetState() const { return m_nState; }
  void SetState(int state) { m_nState = state; }
  unsigned GetConnectFailures() const { return m_nConnectFailures; }
  void SetWaitEncoding(bool wait) { m_bWaitEncoding = wait; }
  bool GetWaitEncoding() const { return m_bWaitEncoding; }
  void SetName(const std::string& name) { m_strName = name; }
  const std::string& GetName() const { return m_strName; }

 private:
  void OnDisconnectReason(const stBindMsg* msg);
  void OnStateNotice(const stNetNoticeClient& notice);

  unsigned m_nConnectFailures = 0;
  bool m_bWaitEncoding = false;
  std::string m_strName;
  int m_nState = State_New;
};
