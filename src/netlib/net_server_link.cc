#include "netlib/net_server_link.h"

#include <cstring>
#include <ostream>

#include "netlib/net_limits.h"
#include "netlib/net_server.h"
#include "netlib/net_service.h"

namespace netlib {

namespace {

// Since when the connection's peer has been a guest: its connect, or its last logout.
uint32_t GuestSince(const cNetConn& c) {
  const uint32_t out = c.loggedOutMs.load();
  return out != 0 ? out : c.connectedMs;
}

// Up, or still in its TLS hand-shake.
bool OpenOrOpening(const cNetConn& c) {
  const eConnState state = c.state.load();
  return state == eConnState::Up || state == eConnState::Connecting;
}

}  // namespace

cNetServerLink::cNetServerLink(std::shared_ptr<cNetServer> server, unsigned short id,
                               std::shared_ptr<cNetGate> gate, const stLinkLimits& limits)
    : cNetLink(std::move(gate)), m_server(std::move(server)), m_id(id) {
  m_limits = limits;
}

void cNetServerLink::Attach(const tConnPtr& c, const char* ip, unsigned short port, bool traceSend,
                            bool traceRecv) {
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    m_conn = c;
    m_released = false;
    m_downMs = 0;
    std::strncpy(m_ip, ip, sizeof m_ip - 1);
    m_port = port;
    c->fd = c->socket.native_handle();
    // A TLS link is up once its hand-shake is done.
    if (m_server->Tls()) {
      c->tls = std::make_unique<cTlsSession>(*m_server->Tls(), true, "", m_ip);
    } else {
      c->state.store(eConnState::Up);
    }
  }
  m_invalid.store(0);
  m_recvRecords.store(0);
  m_recvBytes.store(0);
  m_sentRecords.store(0);
  m_sentBytes.store(0);
  SetTraceSend(traceSend);
  SetTraceRecv(traceRecv);
  BeginConn(c);
}

bool cNetServerLink::Free() {
  std::lock_guard<cSpinLock> lock(m_lock);
  return m_released && (!m_conn || m_conn->state.load() == eConnState::Down);
}

void cNetServerLink::CheckIdle(uint32_t now, uint32_t loginMs) {
  tConnPtr c;
  uint32_t reason = 0;
  bool guest = false;
  stFreed freed;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (!m_conn || m_conn->state.load() != eConnState::Up) return;
    // An idle link gives back the send buffers a burst left behind.
    if (m_conn->writer == eWriter::None) {
      m_conn->queue.Trim(kSendKeepBytes, freed);
      m_conn->batch.Trim(kSendKeepBytes, freed);
    }
    reason = IdleReason(*m_conn, now);
    if (!reason && loginMs && !m_conn->logined.load() &&
        cNetService::Elapsed(now, GuestSince(*m_conn)) > loginMs) {
      reason = NetReason_NoMsgAfterConnect;
      guest = true;
    }
    if (reason) c = m_conn;
  }
  if (!c) return;
  cNetService::Instance().LogPeer(std::string("link ") + std::to_string(m_id) + " of " +
                                  PeerText(false) +
                                  (guest                      ? " not logged in in time"
                                   : reason == NetReason_Idle ? " idle too long"
                                                              : " silent since connect") +
                                  "; cut");
  Cut(c, reason, true, eDownCause::Limit, 0);
}

uint32_t cNetServerLink::GuestSinceMs() {
  std::lock_guard<cSpinLock> lock(m_lock);
  if (!m_conn || !OpenOrOpening(*m_conn) || m_conn->logined.load() || !m_conn->countedOpen.load())
    return 0;
  const uint32_t since = GuestSince(*m_conn);
  return since != 0 ? since : 1;
}

bool cNetServerLink::GiveWay() {
  tConnPtr c;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    // A link still in its TLS hand-shake gives way like one that has not logged in.
    if (!m_conn || !OpenOrOpening(*m_conn)) return false;
    c = m_conn;
  }
  if (!c->countedOpen.exchange(false)) return false;
  m_server->LinkClosed();
  cNetService::Instance().LogPeer(std::string("link ") + std::to_string(m_id) + " of " +
                                  PeerText(false) +
                                  " gives way to a new connection: not logged in; cut");
  Cut(c, NetReason_NoMsgAfterConnect, true, eDownCause::Limit, 0);
  return true;
}

// The hand-shake is part of the time a peer has to log in: it never outlasts the login deadline.
uint32_t cNetServerLink::HandshakeLimitMs() const {
  const uint32_t login = m_server->LoginDeadline();
  return login != 0 && login < kTlsHandshakeMs ? login : kTlsHandshakeMs;
}

// Only a server that asks its peers to log in treats those that have not as guests.
bool cNetServerLink::IsGuest(const cNetConn& c) const {
  return m_server->LoginDeadline() != 0 && !c.logined.load();
}

void cNetServerLink::SetLogined() {
  std::lock_guard<cSpinLock> lock(m_lock);
  if (m_conn) m_conn->logined.store(true);
}

void cNetServerLink::SetLogout() {
  std::lock_guard<cSpinLock> lock(m_lock);
  if (!m_conn) return;
  const uint32_t now = cNetService::NowMs();
  m_conn->loggedOutMs.store(now != 0 ? now : 1);
  m_conn->logined.store(false);
}

bool cNetServerLink::IsLogined() {
  std::lock_guard<cSpinLock> lock(m_lock);
  return m_conn && m_conn->logined.load();
}

uint32_t cNetServerLink::HeldDownMs(uint32_t now) {
  std::lock_guard<cSpinLock> lock(m_lock);
  if (m_released || !m_conn || m_conn->state.load() != eConnState::Down || !m_downMs) return 0;
  return cNetService::Elapsed(now, m_downMs);
}

int cNetServerLink::Send(const stMsg* msg, unsigned long size) {
  return SendRecord(msg, size);
}

// Several holders may let go of one link (the endpoint once it is down, application objects
// whenever they are done), so letting go never cuts it: an open link stays up for those still
// talking over it, and its id is free for reuse once it is down. A life both down and released
// is let go of here or in OnDown: ids are handed out in turn, so the table would otherwise keep
// the connection (TLS session and all) of every link the server ever had, up to its size.
void cNetServerLink::ReleaseLink() {
  tConnPtr over;
  std::lock_guard<cSpinLock> lock(m_lock);
  m_released = true;
  if (m_conn && m_conn->state.load() == eConnState::Down) over.swap(m_conn);
}

const char* cNetServerLink::GetName() {
  return m_server->GetName();
}

void cNetServerLink::Trace(std::ostream& os) {
  TraceTo(os, GetName(), m_id);
}

bool cNetServerLink::OnInvalidMessage(int type, int size, bool cut) {
  uint32_t count = m_invalid.fetch_add(1) + 1;
  if (!cut && count <= kInvalidRecordLimit) return false;
  cNetService::Instance().LogPeer(std::string("link ") + std::to_string(m_id) + " of " +
                                  PeerText(false) + " sent invalid record type " +
                                  std::to_string(type) + " size " + std::to_string(size) + " (" +
                                  std::to_string(count) + " so far); cut");
  CutCurrent(NetReason_RecvUngroup, true, eDownCause::Limit, 0);
  return true;
}

void cNetServerLink::Disconnect(int reason) {
  CutCurrent(static_cast<uint32_t>(reason), true, eDownCause::Local, 0);
}

void cNetServerLink::Notify(uint32_t event, uint32_t reason) {
  stNetNoticeServer notice;
  notice.event = event;
  notice.id = m_id;
  notice.reason = reason;
  DeliverNotice(&notice, sizeof notice);
}

// A link counts as open from its accept (the server counts it there), hand-shake included; the
// system hears of it as connected once it is up.
bool cNetServerLink::OnOpen(const tConnPtr& c) {
  Notify(NetEvent_Created, 0);
  const std::string ip = PeerText(false);
  if (!m_server->Admits(ip.c_str())) {
    cNetService::Instance().LogPeer(std::string("link ") + std::to_string(m_id) + " from " + ip +
                                    " is not in the allowed addresses; cut");
    Cut(c, NetReason_InvalidIP, true, eDownCause::Limit, 0);
    return false;
  }
  if (c->refuseReason) {
    cNetService::Instance().LogPeer(std::string(GetName()) + " holds its most links; refused " +
                                    ip + " (link " + std::to_string(m_id) + ")");
    Cut(c, c->refuseReason, true, eDownCause::Limit, 0);
    return false;
  }
  return true;
}

void cNetServerLink::OnUp(const tConnPtr&) {
  Notify(NetEvent_Connected, 0);
}

void cNetServerLink::OnDown(const tConnPtr& c, uint32_t reason, eDownCause, int) {
  tConnPtr over;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    m_downMs = cNetService::NowMs();
    if (!m_downMs) m_downMs = 1;
    if (m_released && m_conn == c) over.swap(m_conn);
  }
  if (c->countedOpen.exchange(false)) m_server->LinkClosed();
  Notify(NetEvent_Disconnected, reason);
}

void cNetServerLink::CountRecv(uint64_t records, uint64_t bytes) {
  m_server->CountRecv(records, bytes);
}

void cNetServerLink::CountSent(uint64_t records, uint64_t bytes) {
  m_server->CountSent(records, bytes);
}

}  // namespace netlib
