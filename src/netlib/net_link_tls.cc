// The TLS side of a link's reading half: the hand-shake before the connection is up, and the
// records' text opened straight out of the encrypted bytes the socket gave. Strand only.
#include <sys/socket.h>

#include <cerrno>

#include "netlib/net_limits.h"
#include "netlib/net_link.h"
#include "netlib/net_service.h"

namespace netlib {

namespace asio = boost::asio;

namespace {

// The text of records taken out of one read; the encrypted bytes sit in the read buffer.
char* ThreadPlainBuffer() {
  thread_local std::unique_ptr<char[]> buffer(new char[kReadBufferBytes]);
  return buffer.get();
}

// Whether bytes can start a TLS record (change cipher spec, alert, hand-shake, application).
bool LooksLikeTls(const char* in, size_t n) {
  return n == 0 || (in[0] >= 0x14 && in[0] <= 0x17);
}

}  // namespace

void cNetLink::StartHandshake(const tConnPtr& c) {
  c->timer = std::make_unique<asio::steady_timer>(c->strand);
  const uint32_t limitMs = HandshakeLimitMs();
  c->timer->expires_after(std::chrono::milliseconds(limitMs));
  c->timer->async_wait([self = shared_from_this(), c, limitMs](auto ec) {
    if (ec || c->state.load() != eConnState::Connecting) return;
    cNetService::Instance().LogPeer(std::string("TLS hand-shake with ") + self->PeerText(false) +
                                    " not done within " + std::to_string(limitMs) + " ms; cut");
    self->Cut(c, NetReason_NoMsgAfterConnect, false, eDownCause::Limit, ETIMEDOUT);
  });
  HandshakeStep(c, nullptr, 0);
}

void cNetLink::HandshakeStep(const tConnPtr& c, const char* in, size_t n) {
  if (c->state.load() != eConnState::Connecting) return;
  auto out = std::make_shared<cByteBuffer>();
  cTlsSession::eStep step = c->tls->Handshake(in, n, *out);
  if (step == cTlsSession::eStep::Failed) {
    // The alert tells a TLS peer why; it is sent as far as the socket takes it at once.
    if (!out->empty())
      ::send(c->socket.native_handle(), out->data(), out->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    std::string plain = LooksLikeTls(in, n) ? ""
                                            : " (the peer does not speak TLS; first bytes " +
                                                  SampleBytes(in, n) + ")";
    cNetService::Instance().LogPeer(std::string("TLS hand-shake with ") + PeerText(false) +
                                    " failed" + plain + ": " + c->tls->Error() + "; cut");
    Cut(c, NetReason_Encode, false, eDownCause::Limit, 0);
    return;
  }
  bool done = step == cTlsSession::eStep::Done;
  if (out->empty()) return done ? HandshakeDone(c) : HandshakeRead(c);
  asio::async_write(
      c->socket, asio::buffer(out->data(), out->size()),
      asio::bind_executor(c->strand, [self = shared_from_this(), c, out, done](auto ec, size_t) {
        if (ec) {
          if (ec != asio::error::operation_aborted)
            self->Cut(c, NetReason_Write, false, eDownCause::WriteError, ec.value());
          return;
        }
        done ? self->HandshakeDone(c) : self->HandshakeRead(c);
      }));
}

// Waits for the peer's next hand-shake bytes and reads them into the thread's read buffer, as
// the read loop does: a connection holds no buffer of its own during its hand-shake.
void cNetLink::HandshakeRead(const tConnPtr& c) {
  auto step = [self = shared_from_this(), c](boost::system::error_code ec) {
    if (c->state.load() != eConnState::Connecting) return;
    char* buffer = ThreadReadBuffer();
    size_t n = 0;
    if (!ec) n = c->socket.read_some(asio::buffer(buffer, kReadBufferBytes), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again)
      return self->HandshakeRead(c);
    if (!ec) return self->HandshakeStep(c, buffer, n);
    if (ec == asio::error::operation_aborted) return;
    bool closed = ec == asio::error::eof;
    cNetService::Instance().LogPeer(std::string("TLS hand-shake with ") + self->PeerText(false) +
                                    (closed ? ": the peer closed" : ": " + ec.message()) + "; cut");
    self->Cut(c, NetReason_Encode, false, closed ? eDownCause::PeerClosed : eDownCause::ReadError,
              ec.value());
  };
  c->socket.async_wait(asio::socket_base::wait_read, asio::bind_executor(c->strand, step));
}

void cNetLink::HandshakeDone(const tConnPtr& c) {
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (c->state.load() != eConnState::Connecting) return;
    // The connect time stays the accept's: the login deadline counts the hand-shake in.
    c->lastRecvMs.store(cNetService::NowMs());
    c->state.store(eConnState::Up);
  }
  c->timer->cancel();
  {
    const std::string cert = c->tls->PeerCertSha256();
    std::vector<std::string> names = c->tls->PeerCertNames();
    std::lock_guard<std::mutex> hold(m_certLock);
    m_peerCert = cert;
    m_peerNames = std::move(names);
  }
  OnUp(c);
  // Records may have come with the end of the hand-shake: the session kept them.
  TlsRead(c, nullptr, 0);
  WaitReadable(c);
}

void cNetLink::TlsRead(const tConnPtr& c, const char* in, size_t n) {
  char* plain = ThreadPlainBuffer();
  for (;;) {
    size_t got = 0;
    cTlsSession::eStep step = c->tls->Read(in, n, plain, kReadBufferBytes, got);
    in = nullptr;
    n = 0;
    if (got) TakeChunk(c, plain, got);
    if (step == cTlsSession::eStep::More) continue;
    if (step == cTlsSession::eStep::Closed) {
      Cut(c, NetReason_System, false, eDownCause::PeerClosed, 0);
    } else if (step == cTlsSession::eStep::Failed && c->state.load() == eConnState::Up) {
      cNetService::Instance().LogPeer(std::string("TLS link with ") + PeerText(false) + ": " +
                                      c->tls->Error() + "; cut");
      Cut(c, NetReason_Encode, false, eDownCause::Limit, 0);
    }
    return;
  }
}

}  // namespace netlib
