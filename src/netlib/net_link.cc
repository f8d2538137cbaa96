#include "netlib/net_link.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "netlib/net_counters.h"
#include "netlib/net_limits.h"
#include "netlib/net_pack.h"
#include "netlib/net_service.h"

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

// Each I/O thread reads into one buffer of its own; a link keeps bytes only for a split frame.
static char* ThreadReadBuffer() {
  thread_local std::unique_ptr<char[]> buffer(new char[kReadBufferBytes]);
  return buffer.get();
}

int cNetLink::SendRecord(const void* data, unsigned long size) {
  if (size > m_limits.maxSend) {
    cNetService::Instance().Log(std::string("Send refused: record of ") + std::to_string(size) +
                                " bytes to " + m_ip + " passes the largest record");
    return 0;
  }
  // Packing runs before the lock, so other senders of the link do not wait for it.
  const char* packed = nullptr;
  uint32_t packedSize = 0;
  if (m_limits.compress) PackRecord(data, static_cast<uint32_t>(size), packed, packedSize);
  tConnPtr start, hold, cut;
  size_t warnAt = 0;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    cNetConn* c = m_conn.get();
    if (!c || c->state.load(std::memory_order_relaxed) != eConnState::Up) return 0;
    size_t unsent = c->queue.Unsent() + kFrameHeader + size;
    // Only large records read the clock: small ones are sent by the million a second.
    const bool large = size >= kDirectWriteBytes && !packed && !c->tls;
    bool streaming = false;
    if (large) {
      const uint64_t now = SteadyUs();
      streaming = now - c->lastLargeUs.load(std::memory_order_relaxed) < kStreamGapUs;
      c->lastLargeUs.store(now, std::memory_order_relaxed);
    }
    if (unsent > m_limits.queueBound) {
      cut = m_conn;
    } else {
      // A large record on an idle link leaves at once from the caller's bytes; SendInPlace
      // queues whatever the socket did not take.
      if (large && !streaming && !c->writing && c->queue.Unsent() == 0) {
        if (SendInPlace(*c, data, static_cast<uint32_t>(size))) return 1;
      } else if (packed) {
        c->queue.AppendPacked(static_cast<uint32_t>(size), packed, packedSize);
      } else {
        c->queue.Append(data, static_cast<uint32_t>(size), false);
      }
      if (!c->writing) {
        c->writing = true;
        if (streaming) {
          // Large records follow each other: this thread writes them in full batches (below)
          // and a held turn writes what is left once the sender pauses.
          c->posted = true;
          hold = m_conn;
        } else if (c->queue.Filling() < kDirectWriteBytes || !DirectWrite(*c)) {
          // Small records wait for an I/O thread, so that a fast sender's records leave
          // together; a large batch on an idle connection leaves at once from this thread.
          c->posted = true;
          start = m_conn;
        }
      }
      if (c->posted && c->queue.Batch().empty() && c->queue.Filling() >= kTakeOverBytes) {
        // The turn has not come yet: rather than let the batch grow, this thread writes it;
        // the queued turn takes whatever is left.
        DirectWrite(*c);
      }
      if (!c->queueWarned && unsent > m_limits.queueBound / kQueueWarnShare) {
        c->queueWarned = true;
        warnAt = unsent;
      }
    }
  }
  if (hold) {
    asio::post(hold->strand, [self = shared_from_this(), hold] { self->HoldTurn(hold); });
  }
  if (cut) {
    cNetService::Instance().Log(std::string("send queue of ") + m_ip + " passed its bound of " +
                                std::to_string(m_limits.queueBound) + " bytes; link cut");
    Cut(cut, NetReason_SendQueueFull, TellsPeer(), eDownCause::Limit, 0);
    return 0;
  }
  if (warnAt) LogQueue(warnAt);
  if (start) {
    asio::post(start->strand, [self = shared_from_this(), start] { self->StartWrite(start); });
  }
  return 1;
}

// A large record on an idle connection leaves straight from the caller's bytes, with no copy;
// what the socket does not take is queued for the I/O thread. True when all of it left.
bool cNetLink::SendInPlace(cNetConn& c, const void* data, uint32_t size) {
  char header[kFrameHeader];
  PutFrameHeader(header, size, false);
  ssize_t n = -1;
  if (c.fd >= 0) {
    iovec parts[2] = {{header, kFrameHeader}, {const_cast<void*>(data), size}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    n = ::sendmsg(c.fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  if (n == static_cast<ssize_t>(kFrameHeader + size)) {
    m_sentRecords.fetch_add(1, std::memory_order_relaxed);
    m_sentBytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    CountSent(1, static_cast<uint64_t>(n));
    return true;
  }
  size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
  if (sent) {
    m_sentBytes.fetch_add(sent, std::memory_order_relaxed);
    CountSent(0, sent);
  }
  c.queue.AppendTail(header, data, size, sent);
  return false;
}

uint64_t cNetLink::SteadyUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// The write turn of a link streaming large records. While the sender keeps coming, it writes
// each full batch itself and this turn only waits (on the strand), so that one thread, not two,
// does the writing; once the sender has paused, the turn writes what is left.
void cNetLink::HoldTurn(const tConnPtr& c) {
  uint64_t wait = 0;
  const uint64_t last = c->lastLargeUs.load(std::memory_order_relaxed);  // before the clock
  const uint64_t quiet = SteadyUs() - last;
  if (!c->socketClosed && quiet < kStreamGapUs) {
    wait = kStreamGapUs - quiet;
    // A sender holding the lock is busy writing, and the turn waits on. Otherwise a batch it
    // left half written (the socket was full) is the turn's to finish now.
    if (m_lock.try_lock()) {
      if (!c->queue.Batch().empty()) wait = 0;
      m_lock.unlock();
    }
  }
  if (!wait) return StartWrite(c);
  if (!c->holdTimer) c->holdTimer = std::make_unique<asio::steady_timer>(c->strand);
  c->holdTimer->expires_after(std::chrono::microseconds(wait));
  c->holdTimer->async_wait([self = shared_from_this(), c](auto ec) {
    if (!ec) self->HoldTurn(c);
  });
}

bool cNetLink::TakeBatch(cNetConn& c) {
  if (!c.queue.TakeBatch()) return false;
  if (!c.tls || c.tls->Seal(c.queue.MutableBatch())) return true;
  // The session failed (the read side cuts the link): what was queued cannot leave.
  c.queue.BatchDone();
  return false;
}

bool cNetLink::DirectWrite(cNetConn& c) {
  if (c.fd < 0 || !TakeBatch(c)) return false;
  c.batchSent = 0;
  const cByteBuffer& batch = c.queue.Batch();
  ssize_t n = ::send(c.fd, batch.data(), batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(batch.size())) {
    // The rest, and any error, is the I/O thread's business.
    c.batchSent = n > 0 ? static_cast<size_t>(n) : 0;
    return false;
  }
  uint64_t records = c.queue.BatchRecords();
  c.queue.BatchDone();
  if (!c.posted) c.writing = false;
  m_sentRecords.fetch_add(records, std::memory_order_relaxed);
  m_sentBytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  CountSent(records, static_cast<uint64_t>(n));
  return true;
}

void cNetLink::LogQueue(size_t unsent) {
  cNetService::Instance().Log(std::string("send queue of ") + m_ip + " holds " +
                              std::to_string(unsent) + " bytes, over half of its bound");
}

int cNetLink::IsUp() {
  std::lock_guard<cSpinLock> lock(m_lock);
  return m_conn && m_conn->state.load() == eConnState::Up;
}

unsigned long cNetLink::Unsent() {
  std::lock_guard<cSpinLock> lock(m_lock);
  return m_conn ? static_cast<unsigned long>(m_conn->queue.Unsent()) : 0;
}

void cNetLink::TraceTo(std::ostream& os, const char* title, unsigned id) {
  static const char* kStates[] = {"connecting", "up", "cutting", "down"};
  const char* state = "idle";
  size_t unsent = 0;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (m_conn) {
      state = kStates[static_cast<int>(m_conn->state.load())];
      unsent = m_conn->queue.Unsent();
    }
    if (m_released)
      state = m_conn && m_conn->state.load() == eConnState::Up ? "up released" : "released";
  }
  os << title << " id " << id << " peer " << m_ip << ":" << m_port << " state " << state
     << " unsent " << unsent << " recv " << m_recvRecords.load() << "/" << m_recvBytes.load()
     << " sent " << m_sentRecords.load() << "/" << m_sentBytes.load() << " trace send "
     << TraceSend() << " recv " << TraceRecv() << '\n';
}

void cNetLink::CutCurrent(uint32_t reason, bool tellPeer, eDownCause cause, int error) {
  tConnPtr c;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    c = m_conn;
  }
  if (c) Cut(c, reason, tellPeer, cause, error);
}

void cNetLink::BeginConn(const tConnPtr& c) {
  asio::post(c->strand, [self = shared_from_this(), c] {
    if (!self->OnOpen(c)) return;
    if (c->tls) return self->StartHandshake(c);
    self->OnUp(c);
    self->WaitReadable(c);
  });
}

bool cNetLink::SendInternal(const tConnPtr& c, const char* body, uint32_t size) {
  bool start = false;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (c->state.load() != eConnState::Up) return false;
    c->queue.Append(body, size, true);
    if (!c->writing) start = c->writing = c->posted = true;
  }
  if (start) asio::post(c->strand, [self = shared_from_this(), c] { self->StartWrite(c); });
  return true;
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

// ---- reading -------------------------------------------------------------------------------

void cNetLink::WaitReadable(const tConnPtr& c) {
  if (c->socketClosed) return;
  c->socket.async_wait(asio::socket_base::wait_read,
                       asio::bind_executor(c->strand, [self = shared_from_this(), c](auto ec) {
                         if (ec) {
                           if (ec != asio::error::operation_aborted) self->ReadFailed(c, ec);
                           return;
                         }
                         self->ReadTurn(c);
                       }));
}

// Reads what the socket holds, up to a budget per turn so that one busy link cannot keep an
// I/O thread from the others.
void cNetLink::ReadTurn(const tConnPtr& c) {
  size_t budget = kReadBudgetBytes;
  while (!c->socketClosed) {
    boost::system::error_code ec;
    size_t n = 0;
    if (c->partialNeed && !c->tls) {
      // The rest of a split frame goes straight into its buffer, grown no faster than bytes
      // arrive, so a lying length prefix cannot make us allocate what was never sent.
      size_t have = c->partial.size();
      size_t chunk =
          std::min<size_t>(c->partialNeed - have, std::max<size_t>(have, kPartialFirstBytes));
      char* at = c->partial.Extend(chunk);
      n = c->socket.read_some(asio::buffer(at, chunk), ec);
      c->partial.Truncate(have + n);
      if (!ec) {
        c->lastRecvMs.store(cNetService::NowMs(), std::memory_order_relaxed);
        char* none = nullptr;
        size_t zero = 0;
        TakeSplitFrame(c, none, zero);
      }
    } else {
      char* buffer = ThreadReadBuffer();
      n = c->socket.read_some(asio::buffer(buffer, kReadBufferBytes), ec);
      if (!ec) {
        if (c->tls) {
          TlsRead(c, buffer, n);
        } else {
          TakeChunk(c, buffer, n);
        }
      }
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
      WaitReadable(c);
      return;
    }
    if (ec) {
      ReadFailed(c, ec);
      return;
    }
    budget -= std::min(budget, n);
    if (budget == 0) {
      asio::post(c->strand, [self = shared_from_this(), c] { self->ReadTurn(c); });
      return;
    }
  }
}

void cNetLink::ReadFailed(const tConnPtr& c, const boost::system::error_code& ec) {
  if (c->state.load() == eConnState::Down) {
    // A cut link that flushed its reason record reads until the peer closes.
    CloseSocket(c);
    return;
  }
  if (ec == asio::error::eof) {
    Cut(c, NetReason_System, false, eDownCause::PeerClosed, 0);
  } else if (ec == asio::error::connection_reset) {
    Cut(c, NetReason_Abnormal, false, eDownCause::ReadError, ec.value());
  } else {
    Cut(c, NetReason_Read, false, eDownCause::ReadError, ec.value());
  }
}

void cNetLink::TakeChunk(const tConnPtr& c, char* p, size_t n) {
  if (c->state.load() != eConnState::Up) return;  // a cut link discards what still arrives
  uint32_t now = cNetService::NowMs();
  c->lastRecvMs.store(now, std::memory_order_relaxed);
  c->gotFrame.store(true, std::memory_order_relaxed);
  if (c->partial.size() && !TakeSplitFrame(c, p, n)) return;
  size_t used = 0;
  if (!HandFrames(c, p, n, used)) return;
  if (used < n) {
    // Keep the start of a split frame; its header, once whole, fixes how much more to read.
    std::memcpy(c->partial.Extend(n - used), p + used, n - used);
    if (c->partial.size() >= kFrameHeader) {
      stFrame f = PeekFrame(c->partial.data(), c->partial.size(), m_limits.maxRecv);
      c->partialNeed = static_cast<uint32_t>(kFrameHeader + f.body);
    }
  }
}

// Completes a split frame from the bytes at p (advancing p and n); delivers it when whole.
// False when nothing more can be taken from this chunk (frame incomplete or link cut).
bool cNetLink::TakeSplitFrame(const tConnPtr& c, char*& p, size_t& n) {
  if (c->state.load() != eConnState::Up) {
    c->partial.clear();
    c->partialNeed = 0;
    return false;
  }
  if (!c->partialNeed) {
    size_t take = std::min(kFrameHeader - c->partial.size(), n);
    std::memcpy(c->partial.Extend(take), p, take);
    p += take;
    n -= take;
    if (c->partial.size() < kFrameHeader) return false;
    stFrame f = PeekFrame(c->partial.data(), c->partial.size(), m_limits.maxRecv);
    if (f.kind == eFrame::TooBig || f.kind == eFrame::Malformed) {
      Reject(c, f, c->partial.data(), c->partial.size());
      return false;
    }
    c->partialNeed = static_cast<uint32_t>(kFrameHeader + f.body);
  }
  size_t take = std::min<size_t>(c->partialNeed - c->partial.size(), n);
  if (take) std::memcpy(c->partial.Extend(take), p, take);
  p += take;
  n -= take;
  if (c->partial.size() < c->partialNeed) return false;
  c->lastRecvMs.store(cNetService::NowMs(), std::memory_order_relaxed);
  c->gotFrame.store(true, std::memory_order_relaxed);
  size_t used = 0;
  bool up = HandFrames(c, c->partial.data(), c->partial.size(), used);
  c->partialNeed = 0;
  c->partial.clear();
  if (c->partial.capacity() > kSendKeepBytes) c->partial.Release();
  return up;
}

bool cNetLink::HandFrames(const tConnPtr& c, char* p, size_t n, size_t& used) {
  const uint32_t maxRecv = m_limits.maxRecv;
  const bool guest = IsGuest(*c);
  const bool limited = m_limits.floodRecords || m_limits.floodBytes || guest;
  const uint32_t now = limited ? cNetService::NowMs() : 0;
  uint64_t records = 0, bytes = 0;
  stFrame bad;
  uint32_t cut = 0;
  std::string badPack;  // a sample of a packed record that did not unpack
  bool down = false, refused = false;
  {
    // One hold of the gate for the whole chunk; cuts wait until it is let go.
    std::shared_lock<std::shared_mutex> gate(m_gate->lock);
    iCallbackNet* callback = m_gate->callback;
    iSend* face = Face();
    while (n - used >= kFrameHeader) {
      uint32_t word = ReadLe32(p + used);
      if (word & kFrameInternalBit) {
        stFrame f = PeekFrame(p + used, n - used, maxRecv);
        if (f.kind == eFrame::Partial) break;
        if (f.kind != eFrame::Internal) {
          bad = f;
          break;
        }
        if (limited && !Admit(c, now, f.body, guest)) {
          cut = NetReason_TooFast;
          break;
        }
        size_t end = used + kFrameHeader + f.body;
        // Internal frames may answer or notify, which must not happen under the gate.
        gate.unlock();
        OnInternal(c, p + used + kFrameHeader, f.body);
        gate.lock();
        callback = m_gate->callback;
        used = end;
        if (c->state.load() != eConnState::Up) {
          down = true;
          break;
        }
        continue;
      }
      const char* record = p + used + kFrameHeader;
      uint32_t size = word;
      if (word & kFramePackedBit) {
        stFrame f = PeekFrame(p + used, n - used, maxRecv);
        if (f.kind == eFrame::Partial) break;
        if (f.kind != eFrame::Record) {
          bad = f;
          break;
        }
        word = f.body;
        cut = UnpackRecord(record, f.body, maxRecv, record, size);
        if (cut) {
          badPack = SampleBytes(record, f.body);
          break;
        }
      } else {
        if (word > maxRecv) {
          bad.kind = eFrame::TooBig;
          bad.body = word;
          break;
        }
        if (n - used - kFrameHeader < word) break;
      }
      if (limited && !Admit(c, now, size, guest)) {
        cut = NetReason_TooFast;
        break;
      }
      ++records;
      bytes += size;
      used += kFrameHeader + word;
      // A receiver that cannot take more from this link has it cut as a flood.
      if (callback && !callback->OnMessage(2, record, size, face)) {
        cut = NetReason_TooFast;
        refused = true;
        break;
      }
    }
  }
  if (records) {
    m_recvRecords.fetch_add(records, std::memory_order_relaxed);
    m_recvBytes.fetch_add(bytes, std::memory_order_relaxed);
    CountRecv(records, bytes);
  }
  if (down) return false;
  if (bad.kind != eFrame::Partial) {
    Reject(c, bad, p + used, n - used);
    return false;
  }
  if (cut) {
    if (cut == NetReason_RecvPackBig || cut == NetReason_RecvUnzip) {
      cNetService::Instance().Log(std::string("peer ") + m_ip + " sent a packed record that " +
                                  (cut == NetReason_RecvPackBig
                                       ? "declares more than the largest record"
                                       : "does not unpack") +
                                  ", first bytes " + badPack + "; cut");
    } else if (refused) {
      cNetService::Instance().Log(std::string("peer ") + m_ip +
                                  " sends faster than its receiver takes; cut");
    }
    Cut(c, cut, TellsPeer(), eDownCause::Limit, 0);
    return false;
  }
  return true;
}

// The flood limits: records and bytes received within one window; a guest's are the tighter of
// the link's and a guest's.
bool cNetLink::Admit(const tConnPtr& c, uint32_t now, uint32_t size, bool guest) {
  if (cNetService::Elapsed(now, c->windowStartMs) >= kFloodWindowMs) {
    c->windowStartMs = now;
    c->windowRecords = 0;
    c->windowBytes = 0;
  }
  ++c->windowRecords;
  c->windowBytes += size;
  uint32_t records = m_limits.floodRecords;
  uint64_t bytes = m_limits.floodBytes;
  if (guest) {
    records = records ? std::min(records, kGuestFloodRecords) : kGuestFloodRecords;
    bytes = bytes ? std::min(bytes, kGuestFloodBytes) : kGuestFloodBytes;
  }
  if ((records && c->windowRecords > records) || (bytes && c->windowBytes > bytes)) {
    cNetService::Instance().Log(std::string("peer ") + m_ip + " sends faster than allowed (" +
                                std::to_string(c->windowRecords) + " records, " +
                                std::to_string(c->windowBytes) + " bytes in a window" +
                                (guest ? ", not logged in" : "") + "); cut");
    return false;
  }
  return true;
}

void cNetLink::Reject(const tConnPtr& c, const stFrame& f, const char* p, size_t n) {
  uint32_t reason = f.kind == eFrame::TooBig ? NetReason_TooBig : NetReason_RecvUnpack;
  cNetService::Instance().Log(
      std::string("peer ") + m_ip + " sent a frame of " + std::to_string(f.body) + " bytes (" +
      (reason == NetReason_TooBig ? "over the largest record" : "malformed") + "), first bytes " +
      SampleBytes(p, n) + "; cut");
  Cut(c, reason, TellsPeer(), eDownCause::Limit, 0);
}

// ---- writing -------------------------------------------------------------------------------

void cNetLink::StartWrite(const tConnPtr& c) {
  const char* data = nullptr;
  size_t size = 0;
  bool shutdown = false;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    c->posted = false;
    if (c->socketClosed) {
      c->writing = false;
      return;
    }
    // A batch the sending thread began to write goes on from where it stopped.
    if (c->queue.Batch().empty()) {
      c->batchSent = 0;
      if (!TakeBatch(*c)) {
        c->writing = false;
        c->queueWarned = false;
        c->queue.Trim(kSendBurstKeepBytes);
        shutdown = c->flushThenClose && c->state.load() == eConnState::Down;
      }
    }
    if (!c->queue.Batch().empty()) {
      data = c->queue.Batch().data() + c->batchSent;
      size = c->queue.Batch().size() - c->batchSent;
    }
  }
  if (shutdown) {
    // Everything, the reason record last, is written: tell the peer and wait for its close.
    boost::system::error_code ignored;
    c->socket.shutdown(asio::socket_base::shutdown_send, ignored);
    return;
  }
  if (!size) return;
  asio::async_write(
      c->socket, asio::buffer(data, size),
      asio::bind_executor(c->strand, [self = shared_from_this(), c](auto ec, size_t n) {
        self->WriteDone(c, ec, n);
      }));
}

void cNetLink::WriteDone(const tConnPtr& c, const boost::system::error_code& ec, size_t n) {
  if (ec) {
    {
      std::lock_guard<cSpinLock> lock(m_lock);
      c->writing = false;
      c->queue.Clear();
    }
    if (ec == asio::error::operation_aborted) return;
    Cut(c,
        ec == asio::error::connection_reset || ec == asio::error::broken_pipe ? NetReason_Abnormal
                                                                              : NetReason_Write,
        false, eDownCause::WriteError, ec.value());
    return;
  }
  uint64_t records;
  bool small, streaming;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    records = c->queue.BatchRecords();
    n += c->batchSent;
    c->batchSent = 0;
    c->queue.BatchDone();
    small = c->queue.Filling() < kCoalesceBytes;
    streaming = SteadyUs() - c->lastLargeUs.load(std::memory_order_relaxed) < kStreamGapUs;
    c->posted = small || streaming;
  }
  m_sentRecords.fetch_add(records, std::memory_order_relaxed);
  m_sentBytes.fetch_add(n, std::memory_order_relaxed);
  CountSent(records, n);
  if (streaming) {
    // The sender is still giving large records: it takes the writing back (full batches) and
    // this turn waits for its pause.
    HoldTurn(c);
  } else if (small) {
    // Little is waiting: let the other ready handlers run first, so that a sender still busy
    // on this link fills a larger batch for the next write.
    asio::post(c->strand, [self = shared_from_this(), c] { self->StartWrite(c); });
  } else {
    StartWrite(c);
  }
}

// ---- cutting -------------------------------------------------------------------------------

void cNetLink::Cut(const tConnPtr& c, uint32_t reason, bool tellPeer, eDownCause cause, int error) {
  bool write = false;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    eConnState state = c->state.load();
    if (state == eConnState::Down || state == eConnState::Cutting) return;
    bool wasUp = state == eConnState::Up;
    c->state.store(eConnState::Cutting);
    CountCut(reason, state == eConnState::Connecting && c->tls && cause != eDownCause::Local);
    if (tellPeer && wasUp) {
      // The reason record takes the place of records that would not fit.
      if (reason == NetReason_SendQueueFull) c->queue.DropFilling();
      stNetDisconnectRecord record;
      record.reason = reason;
      record.error = static_cast<uint32_t>(error);
      c->queue.Append(&record, sizeof record, false);
      c->flushThenClose = true;
      if (!c->writing) write = c->writing = true;
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
    // Sending threads use the descriptor only under the lock and only while it is set.
    std::lock_guard<cSpinLock> lock(m_lock);
    c->fd = -1;
  }
  boost::system::error_code ignored;
  c->socket.close(ignored);
  if (c->timer) c->timer->cancel();
  if (c->idleTimer) c->idleTimer->cancel();
  if (c->holdTimer) c->holdTimer->cancel();
  std::lock_guard<cSpinLock> lock(m_lock);
  // A batch still in flight is freed by its completion, never under the running write.
  if (c->writing) {
    c->queue.DropFilling();
  } else {
    c->queue.Clear();
  }
  c->partial.Release();
}

}  // namespace netlib
