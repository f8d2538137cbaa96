// A connecting client: the iClient the system holds. Each Connect starts a new connection life;
// the result and the link's end arrive as kind-1 notices of type 1. Any thread, except the hooks,
// which run on the connection's strand.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <atomic>
#include <memory>
#include <string>

#include "netlib/net_counters.h"
#include "netlib/net_link.h"

namespace netlib {

class cNetClient final : public iClient, public cNetLink {
 public:
  static iClient* Create();
  cNetClient();

  // iSend
  int Send(const stMsg* msg, unsigned long size) override { return SendRecord(msg, size); }
  unsigned short GetID() override { return 0; }
  int IsConnect() override { return IsUp(); }
  void ReleaseLink() override {}  // the client itself is the holder; Release ends it
  const char* GetName() override { return m_name.c_str(); }
  bool IsTraceSendCmd() override { return TraceSend(); }
  bool IsTraceRecieveCmd() override { return TraceRecv(); }
  const char* GetIP() override { return PeerIp(); }
  void Trace(std::ostream& os) override;
  unsigned long GetUnsentBytes() override { return Unsent(); }
  // iClient
  void Release() override;
  int Connect(const char* ip, unsigned short port) override;
  void Disconnect() override;
  void Stop() override;
  int Init(const stClientInfo* info, iCallbackNet* callback) override;
  void Ping() override;
  unsigned long GetPingTime() override { return m_pingMs.load(); }
  void TraceSendCmd(bool on) override { SetTraceSend(on); }
  void TraceRecieveCmd(bool on) override { SetTraceRecv(on); }

 protected:
  iSend* Face() override { return this; }
  bool TellsPeer() const override { return false; }
  bool OnOpen(const tConnPtr& c) override;
  void OnUp(const tConnPtr& c) override;
  void OnDown(const tConnPtr& c, uint32_t reason, eDownCause cause, int error) override;
  void OnInternal(const tConnPtr& c, const char* body, uint32_t size) override;
  void CountRecv(uint64_t records, uint64_t bytes) override {
    CountTraffic(true, false, records, bytes);
  }
  void CountSent(uint64_t records, uint64_t bytes) override {
    CountTraffic(true, true, records, bytes);
  }

 private:
  void StartConnect(const tConnPtr& c, std::string host, unsigned short port);
  void ConnectTo(const tConnPtr& c, const boost::asio::ip::tcp::endpoint& at);
  // The connect's time-out, over the host name's lookup and then the TCP connect (strand).
  void ArmConnectTimer(const tConnPtr& c);
  void Connected(const tConnPtr& c, const boost::system::error_code& ec);
  // A connect that did not get up: notice 3 or 4 with the error, connection over (strand).
  void ConnectFailed(const tConnPtr& c, uint32_t state, int error);
  void Notify(uint32_t state, int error);
  void ArmIdleCheck(const tConnPtr& c);
  // Ends the present connection; silent ones deliver no notice.
  void EndConn(bool silent);

  std::shared_ptr<cNetClient> m_self;  // dropped by Release
  std::string m_name = "unknow client";
  uint32_t m_localIp = 0;
  bool m_encoded = false;  // the system waits for the "encoding agreed" notice
  tTlsContext m_tls;       // set by Init for a TLS link
  std::atomic<bool> m_inited{false}, m_stopped{false};
  std::atomic<unsigned long> m_pingMs{0};
};

}  // namespace netlib
