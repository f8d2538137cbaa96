// The sending half of a link: records and internal frames into the connection's queue, and the
// one writer of each connection, a sending thread or the strand (the rules are in net_link.h).
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include "netlib/net_limits.h"
#include "netlib/net_link.h"
#include "netlib/net_pack.h"
#include "netlib/net_service.h"

namespace netlib {

namespace asio = boost::asio;

namespace {

// Batches a sending thread writes in a row before it leaves the rest to the strand, so that a
// sender is not kept writing the records of others.
constexpr int kSenderRounds = 4;
// Batches the strand writes in one turn before it queues another, so that a link whose senders
// keep its queue full does not hold its I/O thread from every other link's reads, connects and
// timers.
constexpr int kStrandRounds = 4;

uint32_t WriteReason(int error) {
  return error == ECONNRESET || error == EPIPE ? uint32_t(NetReason_Abnormal)
                                               : uint32_t(NetReason_Write);
}

}  // namespace

int cNetLink::SendRecord(const void* data, unsigned long size) {
  if (size > m_limits.maxSend) {
    cNetService::Instance().Log(std::string("Send refused: record of ") + std::to_string(size) +
                                " bytes to " + PeerText(false) + " passes the largest record");
    return 0;
  }
  // Packing runs before the lock, so other senders of the link do not wait for it.
  stOutgoing record{data, static_cast<uint32_t>(size)};
  if (m_limits.compress) PackRecord(data, record.size, record.packed, record.packedSize);
  eSendStep next;
  tConnPtr conn;
  size_t warnAt = 0;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    cNetConn* c = m_conn.get();
    if (!c || c->state.load(std::memory_order_relaxed) != eConnState::Up) return 0;
    next = Place(*c, record, warnAt);
    if (next != eSendStep::Nothing) conn = m_conn;
  }
  if (warnAt) LogQueue(warnAt);
  switch (next) {
    case eSendStep::Cut:
      cNetService::Instance().LogPeer(std::string("send queue of ") + PeerText(false) +
                                      " passed its bound of " +
                                      std::to_string(m_limits.queueBound) + " bytes; link cut");
      Cut(conn, NetReason_SendQueueFull, TellsPeer(), eDownCause::Limit, 0);
      return 0;
    case eSendStep::InPlace:
      WriteInPlace(conn, data, record.size);
      break;
    case eSendStep::Write:
      WriteAsSender(conn);
      break;
    case eSendStep::Post:
      asio::post(conn->strand, [self = shared_from_this(), conn] { self->StartWrite(conn); });
      break;
    case eSendStep::Nothing:
      break;
  }
  return 1;
}

cNetLink::eSendStep cNetLink::Place(cNetConn& c, const stOutgoing& r, size_t& warnAt) {
  const size_t queued = c.queue.Queued() + c.batchBytes;
  const size_t unsent = queued + kFrameHeader + r.size;
  if (unsent > m_limits.queueBound) return eSendStep::Cut;
  // Only large records read the clock: small ones are sent by the million a second.
  const bool large = r.size >= kDirectWriteBytes && !r.packed;
  bool streaming = false;
  if (large) {
    const uint64_t now = SteadyUs();
    streaming = now - c.lastLargeUs.load(std::memory_order_relaxed) < kStreamGapUs;
    c.lastLargeUs.store(now, std::memory_order_relaxed);
  }
  if (large && (!streaming || c.tls) && c.writer == eWriter::None && !queued) {
    // A large record on an idle connection leaves at once from the caller's bytes. On a TLS
    // link it does even while records stream: sealing costs far more than a write, and it
    // seals from the caller's bytes with no copy.
    c.writer = eWriter::Sender;
    return eSendStep::InPlace;
  }
  if (r.packed) {
    c.queue.AppendPacked(r.size, r.packed, r.packedSize);
  } else {
    c.queue.Append(r.data, r.size, false);
  }
  if (!c.queueWarned && unsent > m_limits.queueBound / kQueueWarnShare) {
    c.queueWarned = true;
    warnAt = unsent;
  }
  if (c.writer != eWriter::None) return eSendStep::Nothing;  // the writer takes it
  // A large batch leaves from this thread. Small records wait for a turn of the strand, so that
  // a fast sender's records leave together, and so do large records that follow each other
  // closely; once a turn is queued, or while large records stream, this thread takes the
  // writing only when the batch has grown large.
  if (c.queue.Queued() >= (c.turnPosted || streaming ? kTakeOverBytes : kDirectWriteBytes)) {
    c.writer = eWriter::Sender;
    TakeBatch(c);
    return eSendStep::Write;
  }
  if (c.turnPosted) return eSendStep::Nothing;
  c.turnPosted = true;
  return eSendStep::Post;
}

bool cNetLink::SendInternal(const tConnPtr& c, const char* body, uint32_t size) {
  bool post = false;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (c->state.load() != eConnState::Up) return false;
    c->queue.Append(body, size, true);
    if (c->writer == eWriter::None && !c->turnPosted) post = c->turnPosted = true;
  }
  if (post) asio::post(c->strand, [self = shared_from_this(), c] { self->StartWrite(c); });
  return true;
}

void cNetLink::LogQueue(size_t unsent) {
  cNetService::Instance().LogPeer(std::string("send queue of ") + PeerText(false) + " holds " +
                                  std::to_string(unsent) + " bytes, over half of its bound");
}

// ---- the writer ----------------------------------------------------------------------------

void cNetLink::TakeBatch(cNetConn& c) {
  c.queue.TakeInto(c.batch, kWriteBatchBytes);
  c.batchBytes = c.batch.bytes;
}

// Seals the batch's blocks straight into the bytes the socket is written from.
bool cNetLink::SealBatch(const tConnPtr& c) {
  stWriteBatch& b = c->batch;
  if (!c->tls || b.sealed) return true;
  b.sealed = true;
  for (const stSendBlock& block : b.blocks) {
    if (!c->tls->Seal(block.bytes.get(), block.size, b.wire)) return SealFailed(c);
  }
  b.bytes = b.wire.size();
  return true;
}

bool cNetLink::SealFailed(const tConnPtr& c) {
  cNetService::Instance().LogPeer(std::string("TLS link with ") + PeerText(false) + ": " +
                                  c->tls->SealError() + "; cut");
  DropWriter(c);
  Cut(c, NetReason_Encode, false, eDownCause::Limit, 0);
  return false;
}

cNetLink::eWrite cNetLink::WriteBatch(cNetConn& c, bool sender, int& error) {
  stWriteBatch& b = c.batch;
  while (b.sent < b.bytes) {
    iovec parts[64];
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = static_cast<size_t>(b.Pieces(parts, 64));
    size_t left = 0;
    for (size_t i = 0; i < msg.msg_iovlen; ++i) left += parts[i].iov_len;
    ssize_t n = -1;
    error = EBADF;
    if (sender) {
      std::lock_guard<std::mutex> write(c.writeLock);
      if (c.fd >= 0) n = ::sendmsg(c.fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
      error = errno;
    } else {
      n = ::sendmsg(c.fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
      error = errno;
    }
    if (n > 0) {
      b.sent += static_cast<size_t>(n);
      // A socket that took only part of it is full.
      if (static_cast<size_t>(n) < left) return eWrite::Blocked;
      continue;
    }
    if (n < 0 && error == EINTR) continue;
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) return eWrite::Blocked;
    return eWrite::Failed;
  }
  return eWrite::Done;
}

void cNetLink::CountBatch(const stWriteBatch& b) {
  if (!b.bytes) return;
  m_sentRecords.fetch_add(b.records, std::memory_order_relaxed);
  m_sentBytes.fetch_add(b.bytes, std::memory_order_relaxed);
  CountSent(b.records, b.bytes);
}

// A large record on an idle connection: written from the caller's bytes with no copy (sealed
// from them on a TLS link); what the socket does not take is kept as the writer's batch.
void cNetLink::WriteInPlace(const tConnPtr& c, const void* data, uint32_t size) {
  char header[kFrameHeader];
  PutFrameHeader(header, size, false);
  if (c->tls) {
    stWriteBatch& b = c->batch;
    b.records = 1;
    b.sealed = true;
    const char* bytes = static_cast<const char*>(data);
    if (!c->tls->Seal(header, kFrameHeader, bytes, size, b.wire)) {
      SealFailed(c);
      return;
    }
    b.bytes = b.wire.size();
    return WriteAsSender(c);
  }
  ssize_t n = -1;
  {
    std::lock_guard<std::mutex> write(c->writeLock);
    if (c->fd >= 0) {
      iovec parts[2] = {{header, kFrameHeader}, {const_cast<void*>(data), size}};
      msghdr msg{};
      msg.msg_iov = parts;
      msg.msg_iovlen = 2;
      n = ::sendmsg(c->fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
  }
  const size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
  const bool whole = sent == kFrameHeader + size;
  m_sentRecords.fetch_add(whole ? 1 : 0, std::memory_order_relaxed);
  m_sentBytes.fetch_add(sent, std::memory_order_relaxed);
  CountSent(whole ? 1 : 0, sent);
  // The rest goes on as a batch of one record, counted once it is written.
  if (!whole) TailInto(c->batch, header, data, size, sent);
  WriteAsSender(c);
}

void cNetLink::WriteAsSender(const tConnPtr& c) {
  for (int round = 1;; ++round) {
    if (!c->batch.empty() && !SealBatch(c)) return;
    int error = 0;
    const eWrite how = WriteBatch(*c, true, error);
    if (how == eWrite::Done) CountBatch(c->batch);
    bool post = false;
    {
      std::lock_guard<cSpinLock> lock(m_lock);
      if (how == eWrite::Done) {
        c->queue.Recycle(c->batch);
        c->batchBytes = 0;
        if (round < kSenderRounds && c->queue.Queued() >= kDirectWriteBytes) {
          TakeBatch(*c);
          continue;
        }
        c->writer = eWriter::None;
        // What is left, or the shutdown after a cut's last record, is a turn of the strand.
        post = (c->queue.Queued() || c->flushThenClose) && !c->turnPosted;
        if (post) c->turnPosted = true;
      } else {
        // The socket is full, or failed: the strand goes on with the batch (and cuts a failed
        // link with its reason).
        c->writer = eWriter::Strand;
        c->batchBytes = c->batch.bytes - c->batch.sent;
      }
    }
    if (how != eWrite::Done) {
      asio::post(c->strand, [self = shared_from_this(), c] { self->WriteOnStrand(c); });
    } else if (post) {
      asio::post(c->strand, [self = shared_from_this(), c] { self->StartWrite(c); });
    }
    return;
  }
}

uint64_t cNetLink::SteadyUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// While a sender streams large records, the turn waits for the batch to fill (the sender then
// writes it) or for the sender's pause; microseconds to wait, 0 for none.
uint64_t cNetLink::HoldFor(const cNetConn& c) {
  const uint64_t quiet = SteadyUs() - c.lastLargeUs.load(std::memory_order_relaxed);
  return quiet < kStreamGapUs ? kStreamGapUs - quiet : 0;
}

void cNetLink::StartWrite(const tConnPtr& c) {
  bool shutdown = false, write = false;
  uint64_t hold = 0;
  stFreed freed;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    c->turnPosted = false;
    // A writer at work picks up what was queued (a sending thread queues a turn when it leaves).
    if (c->writer != eWriter::None) return;
    if (c->socketClosed) {
      c->queue.Clear(freed);
      return;
    }
    if (!c->queue.Queued()) {
      c->queueWarned = false;
      c->queue.Trim(kSendBurstKeepBytes, freed);
      c->batch.Trim(kSendBurstKeepBytes, freed);
      shutdown = c->flushThenClose && c->state.load() == eConnState::Down;
    } else if (c->queue.Queued() < kTakeOverBytes && (hold = HoldFor(*c)) != 0) {
      c->turnPosted = true;  // the held turn stays queued
    } else {
      write = true;
      c->writer = eWriter::Strand;
      TakeBatch(*c);
    }
  }
  if (shutdown) {
    // Everything, the reason record last, is written: tell the peer and wait for its close.
    boost::system::error_code ignored;
    c->socket.shutdown(asio::socket_base::shutdown_send, ignored);
    return;
  }
  if (hold) {
    if (!c->holdTimer) c->holdTimer = std::make_unique<asio::steady_timer>(c->strand);
    c->holdTimer->expires_after(std::chrono::microseconds(hold));
    c->holdTimer->async_wait([self = shared_from_this(), c](auto ec) {
      if (!ec) self->StartWrite(c);
    });
    return;
  }
  if (write) WriteOnStrand(c);
}

// The strand as the writer: writes its batch and those queued after it, waiting for the socket
// when it is full; small leftovers wait one turn, so that a busy sender adds to them.
void cNetLink::WriteOnStrand(const tConnPtr& c) {
  for (int round = 1;; ++round) {
    if (c->socketClosed) return DropWriter(c);
    if (!SealBatch(c)) return;
    int error = 0;
    const eWrite how = WriteBatch(*c, false, error);
    if (how == eWrite::Blocked) {
      c->socket.async_wait(asio::socket_base::wait_write,
                           asio::bind_executor(c->strand, [self = shared_from_this(), c](auto ec) {
                             if (!ec) return self->WriteOnStrand(c);
                             self->DropWriter(c);
                             if (ec != asio::error::operation_aborted)  // not the socket's close
                               self->Cut(c, NetReason_Write, false, eDownCause::WriteError,
                                         ec.value());
                           }));
      return;
    }
    if (how == eWrite::Failed) {
      DropWriter(c);
      return Cut(c, WriteReason(error), false, eDownCause::WriteError, error);
    }
    CountBatch(c->batch);
    bool post = false;
    {
      std::lock_guard<cSpinLock> lock(m_lock);
      c->queue.Recycle(c->batch);
      c->batchBytes = 0;
      const size_t filling = c->queue.Queued();
      if (filling >= kCoalesceBytes && round < kStrandRounds) {
        TakeBatch(*c);
        continue;
      }
      c->writer = eWriter::None;
      post = (filling || c->flushThenClose) && !c->turnPosted;
      if (post) c->turnPosted = true;
    }
    if (post) asio::post(c->strand, [self = shared_from_this(), c] { self->StartWrite(c); });
    return;
  }
}

void cNetLink::DropWriter(const tConnPtr& c) {
  stFreed freed;
  std::lock_guard<cSpinLock> lock(m_lock);
  c->writer = eWriter::None;
  c->queue.Recycle(c->batch);
  c->batch.Trim(0, freed);
  c->batchBytes = 0;
  c->queue.Clear(freed);
}

}  // namespace netlib
