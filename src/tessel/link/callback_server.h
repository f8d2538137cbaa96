// The network callback of a listening endpoint: peer records go to the endpoint's message
// registry unless the link is a stranger the endpoint refuses (a refusal is logged and returned
// to the peer as an exception notice), link events reach the endpoint. Links whose account has
// not logged in are the queue's guests. Queueing: any thread; handlers: the worker thread.
#pragma once

#include "tessel/link/net_help.h"

class cBridgeServer;

class cCallbackServer : public cNetHelpTessel {
 public:
  explicit cCallbackServer(cBridgeServer& server);
  void HandlePeerMessageSelf(stBindMsg* msg) override;
  void HandleNetMessageSelf(stBindMsg* msg) override;

 protected:
  bool IsGuest(iSend* link) override;

 private:
  void OnLinkEvent(const stNetNoticeServer& notice, iSend* link);
  void WriteLinkEvent(const stNetNoticeServer& notice, iSend* link);

  cBridgeServer& m_server;
};
