// A listening server: the acceptor, the table of links by id (ids 1..65535, reused only after
// the holder released the link), the allowed addresses, and the periodic link check. Any
// thread; accepting and the check run on the server's strand.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "netlib/net_link.h"
#include "tessel/contracts/netlib.h"

namespace netlib {

class cNetServerLink;

class cNetServer final : public iServer, public std::enable_shared_from_this<cNetServer> {
 public:
  static iServer* Create();
  cNetServer();

  // iServer
  void Trace(std::ostream& os) override;
  void Release() override;
  const char* GetName() override { return m_info.name; }
  int Init(const void* param, iCallbackNet* callback) override;
  void GetInfo(stServerInfo& info) override;
  void SetIP(const std::vector<std::string>& ips) override;
  void Stop() override;
  int SendToAll(const stMsg* msg, unsigned long size) override;
  bool IsTraceSendCmd() override { return m_traceSend.load(); }
  void ForbitAccept() override;
  bool IsTraceRecieveCmd() override { return m_traceRecv.load(); }
  iServerLink* GetLink(unsigned int id) override;
  bool IsForbitAccept() override { return m_forbit.load(); }
  unsigned long GetUnsentBytes() override;
  const char* GetIP() override { return m_bindText; }
  unsigned short GetPort() override { return m_port.load(); }
  unsigned long long GetRecvBytes() override { return m_recvBytes.load(); }
  unsigned long long GetSendBytes() override { return m_sentBytes.load(); }
  unsigned long long GetRecvRecords() override { return m_recvRecords.load(); }
  unsigned long long GetSendRecords() override { return m_sentRecords.load(); }
  void TraceSendCmd(bool on) override;
  void TraceRecieveCmd(bool on) override;
  void CheckLinks(const char* tag) override;
  int GetLinkNum() override { return m_open.load(); }
  void SetLoginDeadline(unsigned int ms) override { m_loginMs.store(ms); }

  // Called by the links.
  bool Admits(const char* ip);
  // The TLS context of an encoded server (set by Init); null for a plain one.
  const tTlsContext& Tls() const { return m_tls; }
  uint32_t LoginDeadline() const { return m_loginMs.load(); }
  void LinkOpened() { m_open.fetch_add(1); }
  void LinkClosed() { m_open.fetch_sub(1); }
  void CountRecv(uint64_t records, uint64_t bytes);
  void CountSent(uint64_t records, uint64_t bytes);

 private:
  void Accept();
  void Accepted(const tConnPtr& c, const boost::system::error_code& ec);
  // A failed accept is said when it begins a run of them, then counted and said with the count
  // once per interval; the first accept after them says how many failed.
  void AcceptFailed(const boost::system::error_code& ec);
  void AcceptsAgain();
  // A free id for a new link (its object made if needed); null when every id is held.
  std::shared_ptr<cNetServerLink> TakeId();
  // Has the oldest link not logged in give way (only with a login deadline); false when none.
  bool GiveWayToNew();
  void ArmCheck();
  void RunCheck();
  void CloseAcceptor();
  // Every link object in the table (under m_lock copies of the pointers).
  std::vector<std::shared_ptr<cNetServerLink>> Links();

  std::shared_ptr<cNetServer> m_self;  // dropped by Release
  // Serialises every call on the acceptor and the check timer, so that Stop and ForbitAccept
  // close the port before they return whichever thread they run on.
  std::mutex m_acceptLock;
  std::shared_ptr<cNetGate> m_gate;
  tStrand m_strand;
  boost::asio::ip::tcp::acceptor m_acceptor;
  boost::asio::steady_timer m_checkTimer;
  stServerInfo m_info;  // set by Init before anything is shared
  stLinkLimits m_limits;
  tTlsContext m_tls;  // set by Init before anything is shared
  char m_bindText[32] = "0.0.0.0";
  std::atomic<unsigned short> m_port{0};
  std::atomic<bool> m_inited{false}, m_stopped{false}, m_forbit{false};
  std::atomic<bool> m_traceSend{false}, m_traceRecv{false};
  std::atomic<int> m_open{0};
  std::atomic<uint64_t> m_recvRecords{0}, m_recvBytes{0}, m_sentRecords{0}, m_sentBytes{0};
  std::atomic<uint32_t> m_lastHeldCheckMs{0};
  std::atomic<uint32_t> m_loginMs{0};
  std::atomic<uint32_t> m_acceptFails{0};   // failed accepts in a row
  std::atomic<uint32_t> m_acceptUnsaid{0};  // of them, those not said yet
  std::atomic<uint32_t> m_acceptSaidMs{0};  // when a failed accept was last said

  std::mutex m_lock;                                     // guards what follows
  std::vector<std::shared_ptr<cNetServerLink>> m_slots;  // index = id
  unsigned m_highId = 0;
  unsigned m_nextId = 1;
  std::set<uint32_t> m_allowed;  // IPv4 addresses
  bool m_restricted = false;     // a list was given: only its addresses are admitted
};

}  // namespace netlib
