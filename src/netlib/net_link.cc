#include "netlib/net_link.h"

#include <algorithm>
#include <cstring>
#include <ostream>

#include "netlib/net_counters.h"
#include "netlib/net_limits.h"
#include "netlib/net_service.h"

// What a link's two halves share: its limits, its queries and its notices, the start of a
// connection's life and the cut that ends it. The sending half is net_link_send.cc, the reading
// half net_link_read.cc (and net_link_tls.cc for the TLS side of it).

namespace netlib {

namespace asio = boost::asio;

stLinkLimits stLinkLimits::From(const stNetParam& p) {
  stLinkLimits l;
  auto word = [&p](int i, uint32_t fallback) { return p.word[i] ? p.word[i] : fallback; };
  l.maxRecv =
      std::min(word(stNetParam::NetParam_MaxRecvRecord, kDefaultMaxRecord), kMaxRecordLimit);
  l.maxSend =
      std::min(word(stNetParam::NetParam_MaxSendRecord, kDefaultMaxRecord), kMaxRecordLimit);
  l.queueBound = uint64_t(word(stNetParam::NetParam_SendQueueKB, kDefaultSendQueueKB)) * 1024;
  // One record of the largest size always fits, with room for the disconnect-reason record.
  l.queueBound = std::max<uint64_t>(l.queueBound, uint64_t(l.maxSend) + 64);
  l.floodRecords = p.word[stNetParam::NetParam_FloodRecords];
  l.floodBytes = uint64_t(p.word[stNetParam::NetParam_FloodKBytes]) * 1024;
  l.idleMs = word(stNetParam::NetParam_IdleMs, kNetDefaultIdleMs);
  l.firstMsgMs = word(stNetParam::NetParam_FirstMsgMs, kNetDefaultFirstMsgMs);
  l.encode = p.word[stNetParam::NetParam_Encode];
  l.compress = p.word[stNetParam::NetParam_Compress];
  return l;
}

cNetConn::cNetConn(asio::io_context& io) : strand(asio::make_strand(io)), socket(strand) {}

int cNetLink::IsUp() {
  std::lock_guard<cSpinLock> lock(m_lock);
  return m_conn && m_conn->state.load() == eConnState::Up;
}

unsigned long cNetLink::Unsent() {
  std::lock_guard<cSpinLock> lock(m_lock);
  return m_conn ? static_cast<unsigned long>(m_conn->queue.Queued() + m_conn->batchBytes) : 0;
}

void cNetLink::TraceTo(std::ostream& os, const char* title, unsigned id) {
  static const char* kStates[] = {"connecting", "up", "cutting", "down"};
  const char* state = "idle";
  size_t unsent = 0;
  std::string peer;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    peer = std::string(m_ip) + ":" + std::to_string(m_port);
    if (m_conn) {
      state = kStates[static_cast<int>(m_conn->state.load())];
      unsent = m_conn->queue.Queued() + m_conn->batchBytes;
    }
    if (m_released)
      state = m_conn && m_conn->state.load() == eConnState::Up ? "up released" : "released";
  }
  os << title << " id " << id << " peer " << peer << " state " << state << " unsent " << unsent
     << " recv " << m_recvRecords.load() << "/" << m_recvBytes.load() << " sent "
     << m_sentRecords.load() << "/" << m_sentBytes.load() << " trace send " << TraceSend()
     << " recv " << TraceRecv() << '\n';
}

const char* cNetLink::PeerIp() {
  static thread_local char copies[4][sizeof m_ip];
  static thread_local unsigned next = 0;
  char* copy = copies[next++ % 4];
  std::lock_guard<cSpinLock> lock(m_lock);
  std::memcpy(copy, m_ip, sizeof m_ip);
  return copy;
}

std::string cNetLink::PeerText(bool withPort) {
  std::lock_guard<cSpinLock> lock(m_lock);
  return withPort ? std::string(m_ip) + ":" + std::to_string(m_port) : std::string(m_ip);
}

void cNetLink::CutCurrent(uint32_t reason, bool tellPeer, eDownCause cause, int error) {
  tConnPtr c;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    c = m_conn;
  }
  if (c) Cut(c, reason, tellPeer, cause, error);
}

std::string cNetLink::PeerCertSha256() const {
  std::lock_guard<std::mutex> hold(m_certLock);
  return m_peerCert;
}

std::vector<std::string> cNetLink::PeerCertNames() const {
  std::lock_guard<std::mutex> hold(m_certLock);
  return m_peerNames;
}

void cNetLink::BeginConn(const tConnPtr& c) {
  {
    std::lock_guard<std::mutex> hold(m_certLock);
    m_peerCert.clear();
    m_peerNames.clear();
  }
  asio::post(c->strand, [self = shared_from_this(), c] {
    if (!self->OnOpen(c)) return;
    if (c->tls) return self->StartHandshake(c);
    self->OnUp(c);
    self->WaitReadable(c);
  });
}

void cNetLink::DeliverNotice(const void* data, unsigned long size) {
  std::shared_lock<std::shared_mutex> gate(m_gate->lock);
  if (m_gate->callback) m_gate->callback->OnMessage(1, data, size, Face());
}

void cNetLink::OnInternal(const tConnPtr& c, const char* body, uint32_t size) {
  char answer[kMaxInternalFrame];
  switch (static_cast<uint8_t>(body[0])) {
    case Internal_Ping:
      std::memcpy(answer, body, size);
      answer[0] = static_cast<char>(Internal_Pong);
      SendInternal(c, answer, size);
      break;
    default:
      break;
  }
}

uint32_t cNetLink::IdleReason(const cNetConn& c, uint32_t now) const {
  if (c.gotFrame.load(std::memory_order_relaxed)) {
    uint32_t last = c.lastRecvMs.load(std::memory_order_relaxed);
    return cNetService::Elapsed(now, last) > m_limits.idleMs ? uint32_t(NetReason_Idle) : 0u;
  }
  bool silent = cNetService::Elapsed(now, c.connectedMs) > m_limits.firstMsgMs;
  return silent ? uint32_t(NetReason_NoMsgAfterConnect) : 0u;
}

// ---- cutting -------------------------------------------------------------------------------

void cNetLink::Cut(const tConnPtr& c, uint32_t reason, bool tellPeer, eDownCause cause, int error) {
  bool write = false;
  stFreed freed;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    eConnState state = c->state.load();
    if (state == eConnState::Down || state == eConnState::Cutting) return;
    bool wasUp = state == eConnState::Up;
    c->state.store(eConnState::Cutting);
    CountCut(reason, state == eConnState::Connecting && c->tls && cause != eDownCause::Local);
    if (tellPeer && wasUp) {
      // The reason record takes the place of records that would not fit.
      if (reason == NetReason_SendQueueFull) c->queue.DropQueued(freed);
      stNetDisconnectRecord record;
      record.reason = reason;
      record.error = static_cast<uint32_t>(error);
      c->queue.Append(&record, sizeof record, false);
      c->flushThenClose = true;
      // With no writer and no turn queued, the cut's own turn writes the record.
      if (c->writer == eWriter::None && !c->turnPosted) write = c->turnPosted = true;
    }
  }
  asio::dispatch(c->strand, [self = shared_from_this(), c, reason, cause, error, write] {
    self->FinishCut(c, reason, cause, error, write);
  });
}

void cNetLink::FinishCut(const tConnPtr& c, uint32_t reason, eDownCause cause, int error,
                         bool write) {
  bool flush;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (c->state.load() == eConnState::Down) return;
    c->state.store(eConnState::Down);
    flush = c->flushThenClose;
  }
  if (flush) {
    if (write) StartWrite(c);
    c->timer = std::make_unique<asio::steady_timer>(c->strand);
    c->timer->expires_after(std::chrono::milliseconds(kLingerMs));
    c->timer->async_wait([self = shared_from_this(), c](auto ec) {
      if (!ec) self->CloseSocket(c);
    });
  } else {
    CloseSocket(c);
  }
  OnDown(c, reason, cause, error);
}

void cNetLink::CloseSocket(const tConnPtr& c) {
  if (c->socketClosed) return;
  c->socketClosed = true;
  {
    // A sending thread writes only under the write mutex and only while the descriptor is set,
    // so the descriptor is never closed (and reused) under its write.
    std::lock_guard<std::mutex> write(c->writeLock);
    c->fd = -1;
    boost::system::error_code ignored;
    c->socket.close(ignored);
  }
  if (c->timer) c->timer->cancel();
  if (c->idleTimer) c->idleTimer->cancel();
  if (c->holdTimer) c->holdTimer->cancel();
  stFreed freed;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    c->queue.Clear(freed);
    // A writer still at work gives its batch back itself; the strand's sees the close.
    if (c->writer == eWriter::None) c->batch.Trim(0, freed);
  }
  c->partial.Release();
}

}  // namespace netlib

std::string Net_GetPeerCertSha256(iSend* link) {
  auto* net = dynamic_cast<netlib::cNetLink*>(link);
  return net != nullptr ? net->PeerCertSha256() : std::string();
}

bool Net_PeerCertNames(iSend* link, const char* name) {
  auto* net = dynamic_cast<netlib::cNetLink*>(link);
  if (net == nullptr || name == nullptr) return false;
  for (const std::string& own : net->PeerCertNames())
    if (own == name) return true;
  return false;
}
