// The reading half of a link: the read loop on the connection's strand, which cuts the stream
// into frames (net_frame), holds each peer to the receive limits and hands the records on.
#include <algorithm>
#include <cstring>

#include "netlib/net_limits.h"
#include "netlib/net_link.h"
#include "netlib/net_service.h"

namespace netlib {

namespace asio = boost::asio;

char* ThreadReadBuffer() {
  thread_local std::unique_ptr<char[]> buffer(new char[kReadBufferBytes]);
  return buffer.get();
}

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
    const stCutFrame cut = CutFrame(c->partial.data(), c->partial.size(), m_limits.maxRecv);
    if (cut.kind == stCutFrame::eKind::Refused) {
      Refuse(c, cut, c->partial.data(), c->partial.size());
      return false;
    }
    stFrame f = PeekFrame(c->partial.data(), c->partial.size(), m_limits.maxRecv);
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
  using eKind = stCutFrame::eKind;
  const uint32_t maxRecv = m_limits.maxRecv;
  const bool guest = IsGuest(*c);
  const bool limited = m_limits.floodRecords || m_limits.floodBytes || guest;
  const uint32_t now = limited ? cNetService::NowMs() : 0;
  uint64_t records = 0, bytes = 0;
  stCutFrame f;
  uint32_t cut = 0;
  bool down = false, refused = false;
  {
    // One hold of the gate for the whole chunk; cuts wait until it is let go.
    std::shared_lock<std::shared_mutex> gate(m_gate->lock);
    iCallbackNet* callback = m_gate->callback;
    iSend* face = Face();
    for (;;) {
      f = CutFrame(p + used, n - used, maxRecv);
      if (f.kind == eKind::Partial || f.kind == eKind::Refused) break;
      if (limited && !Admit(c, now, f.size, guest)) {
        cut = NetReason_TooFast;
        break;
      }
      used += f.length;
      if (f.kind == eKind::Internal) {
        // Internal frames may answer or notify, which must not happen under the gate.
        gate.unlock();
        OnInternal(c, f.body, f.size);
        gate.lock();
        callback = m_gate->callback;
        if (c->state.load() != eConnState::Up) {
          down = true;
          break;
        }
        continue;
      }
      ++records;
      bytes += f.size;
      // A receiver that cannot take more from this link has it cut as a flood.
      if (callback && !callback->OnMessage(2, f.body, f.size, face)) {
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
  if (f.kind == eKind::Refused) {
    Refuse(c, f, p + used, n - used);
    return false;
  }
  if (cut) {
    if (refused) {
      cNetService::Instance().LogPeer(std::string("peer ") + PeerText(false) +
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
    cNetService::Instance().LogPeer(
        std::string("peer ") + PeerText(false) + " sends faster than allowed (" +
        std::to_string(c->windowRecords) + " records, " + std::to_string(c->windowBytes) +
        " bytes in a window" + (guest ? ", not logged in" : "") + "); cut");
    return false;
  }
  return true;
}

void cNetLink::Refuse(const tConnPtr& c, const stCutFrame& f, const char* p, size_t n) {
  std::string what;
  if (f.reason == NetReason_RecvPackBig || f.reason == NetReason_RecvUnzip) {
    what = std::string(" sent a packed record that ") +
           (f.reason == NetReason_RecvPackBig ? "declares more than the largest record"
                                              : "does not unpack") +
           ", first bytes " + SampleBytes(p + kFrameHeader, n - std::min(n, kFrameHeader));
  } else {
    what = " sent a frame of " + std::to_string(f.declared) + " bytes (" +
           (f.reason == NetReason_TooBig ? "over the largest record" : "malformed") +
           "), first bytes " + SampleBytes(p, n);
  }
  cNetService::Instance().LogPeer(std::string("peer ") + PeerText(false) + what + "; cut");
  Cut(c, f.reason, TellsPeer(), eDownCause::Limit, 0);
}

}  // namespace netlib
