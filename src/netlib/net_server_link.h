// A link accepted by a server: the iServerLink the system holds. The object stays in its
// server's id table until the server is released; each accepted connection is one life of it,
// let go of once it is both down and released.
// Any thread, except the hooks, which run on the connection's strand.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <atomic>
#include <memory>

#include "netlib/net_link.h"

namespace netlib {

class cNetServer;

class cNetServerLink final : public iServerLink, public cNetLink {
 public:
  cNetServerLink(std::shared_ptr<cNetServer> server, unsigned short id,
                 std::shared_ptr<cNetGate> gate, const stLinkLimits& limits);

  // Starts a new life on an accepted socket (the id's previous life is over and released).
  void Attach(const tConnPtr& c, const char* ip, unsigned short port, bool traceSend,
              bool traceRecv);
  // Whether the id may take a new connection: released and its connection down.
  bool Free();
  // Cuts an open link for the link check: idle (reason 11), silent since connect (12), or not
  // logged in within `loginMs` (12; 0: no deadline).
  void CheckIdle(uint32_t now, uint32_t loginMs);
  // Since when the open link's peer has been a guest (not logged in); 0 when it is not one.
  uint32_t GuestSinceMs();
  // Cuts the open link (reason 12) so that a new connection may take its place; the link no
  // longer counts among the open ones. False when it was not counted or already going.
  bool GiveWay();
  // Milliseconds since the link went down while its holder still keeps it; 0 otherwise.
  uint32_t HeldDownMs(uint32_t now);

  // iSend
  int Send(const stMsg* msg, unsigned long size) override;
  unsigned short GetID() override { return m_id; }
  int IsConnect() override { return IsUp(); }
  void ReleaseLink() override;
  const char* GetName() override;
  bool IsTraceSendCmd() override { return TraceSend(); }
  bool IsTraceRecieveCmd() override { return TraceRecv(); }
  const char* GetIP() override { return PeerIp(); }
  void Trace(std::ostream& os) override;
  unsigned long GetUnsentBytes() override { return Unsent(); }
  // iServerLink
  bool OnInvalidMessage(int type, int size, bool cut) override;
  void Disconnect(int reason) override;
  void SetLogined() override;
  void SetLogout() override;
  bool IsLogined() override;

 protected:
  iSend* Face() override { return this; }
  bool TellsPeer() const override { return true; }
  bool OnOpen(const tConnPtr& c) override;
  void OnUp(const tConnPtr& c) override;
  void OnDown(const tConnPtr& c, uint32_t reason, eDownCause cause, int error) override;
  bool IsGuest(const cNetConn& c) const override;
  uint32_t HandshakeLimitMs() const override;
  void CountRecv(uint64_t records, uint64_t bytes) override;
  void CountSent(uint64_t records, uint64_t bytes) override;

 private:
  void Notify(uint32_t event, uint32_t reason);

  std::shared_ptr<cNetServer> m_server;
  const unsigned short m_id;
  uint32_t m_downMs = 0;               // m_lock: when the present life went down
  std::atomic<uint32_t> m_invalid{0};  // invalid records counted in this life
};

}  // namespace netlib
