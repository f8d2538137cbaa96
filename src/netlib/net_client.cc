#include "netlib/net_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <ostream>
#include "netlib/net_asio.h"
#include "platform/descriptors.h"

#include "netlib/net_limits.h"
#include "netlib/net_lookup.h"
#include "netlib/net_service.h"

namespace netlib {

namespace asio = boost::asio;
using asio::ip::tcp;

// Microseconds of the steady clock, for ping round trips (wraps; only differences are used).
static uint32_t NowUs() {
  auto d = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
}

iClient* cNetClient::Create() {
  cNetService::Instance().Start();
  auto client = std::make_shared<cNetClient>();
  client->m_self = client;
  return client.get();
}

cNetClient::cNetClient() : cNetLink(std::make_shared<cNetGate>()) {}

int cNetClient::Init(const stClientInfo* info, iCallbackNet* callback) {
  if (!info || m_inited.load()) return 0;
  m_name = info->name;
  m_limits = stLinkLimits::From(info->net);
  m_localIp = info->words[0];
  m_encoded = info->net.IsEncoded();
  if (m_limits.encode) {
    // A TLS link without its files must not start, nor fall back to plain bytes.
    std::string error;
    m_tls = ClientTlsContextFor(m_name, error);
    if (!m_tls) {
      std::cout << "cNetClient::Init " << m_name << " TLS: " << error << std::endl;
      return 0;
    }
  }
  {
    std::unique_lock<std::shared_mutex> gate(m_gate->lock);
    m_gate->callback = callback;
  }
  m_inited.store(true);
  return 1;
}

int cNetClient::Connect(const char* ip, unsigned short port) {
  if (!m_inited.load() || m_stopped.load() || !ip) return 0;
  auto c = std::make_shared<cNetConn>(cNetService::Instance().Io());
  tConnPtr old;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    old = m_conn;
    if (old) old->silent = true;
    m_conn = c;
    std::memset(m_ip, 0, sizeof m_ip);
    std::strncpy(m_ip, ip, sizeof m_ip - 1);
    m_port = port;
  }
  if (old) Cut(old, NetReason_Leave, false, eDownCause::Local, 0);
  asio::post(c->strand, [self = std::static_pointer_cast<cNetClient>(shared_from_this()), c,
                         host = std::string(ip), port] { self->StartConnect(c, host, port); });
  return 1;
}

void cNetClient::StartConnect(const tConnPtr& c, std::string host, unsigned short port) {
  if (c->state.load() != eConnState::Connecting) return;
  boost::system::error_code ec;
  auto address = asio::ip::make_address_v4(host, ec);
  if (!ec) {
    ConnectTo(c, tcp::endpoint(address, port));
    return;
  }
  // A host name: looked up on a thread of its own, within the connect's time-out (a resolver
  // that did not answer held the connect, and every wait on it, for as long as it took).
  std::weak_ptr<cNetClient> weakSelf = std::static_pointer_cast<cNetClient>(shared_from_this());
  std::weak_ptr<cNetConn> weakConn = c;
  c->lookup = cNetLookup::Start(host, port, c->strand,
                                [weakSelf, weakConn](int error, const tcp::endpoint& at) {
                                  auto self = weakSelf.lock();
                                  auto conn = weakConn.lock();
                                  if (!self || !conn || !conn->lookup) return;
                                  conn->lookup.reset();
                                  if (error)
                                    return self->ConnectFailed(conn, NetState_ConnectError, error);
                                  self->ConnectTo(conn, at);
                                });
  if (!c->lookup) {
    cNetService::Instance().Log("client " + m_name + ": " +
                                std::to_string(cNetLookup::kMaxRunning) +
                                " host name lookups are running; " + host + " is not looked up");
    ConnectFailed(c, NetState_ConnectError, EAGAIN);
    return;
  }
  ArmConnectTimer(c);
}

void cNetClient::ArmConnectTimer(const tConnPtr& c) {
  auto self = std::static_pointer_cast<cNetClient>(shared_from_this());
  c->timer = std::make_unique<asio::steady_timer>(c->strand);
  c->timer->expires_after(std::chrono::milliseconds(kConnectTimeoutMs));
  c->timer->async_wait([self, c](auto error) {
    // A TLS session means the connect is done and its hand-shake has a time-out of its own.
    if (error || c->tls || c->state.load() != eConnState::Connecting) return;
    if (!c->lookup) return self->ConnectFailed(c, NetState_ConnectResult, ETIMEDOUT);
    c->lookup.reset();
    cNetService::Instance().Log(
        "client " + self->m_name + ": no address for " + self->PeerText(false) + " within " +
        std::to_string(kConnectTimeoutMs / 1000) + " s (its resolver did not answer)");
    self->ConnectFailed(c, NetState_ConnectError, ETIMEDOUT);
  });
}

void cNetClient::ConnectTo(const tConnPtr& c, const tcp::endpoint& at) {
  if (c->state.load() != eConnState::Connecting) return;
  boost::system::error_code ec;
  c->socket.open(tcp::v4(), ec);
  if (!ec) platform::SetCloseOnExec(c->socket.native_handle());
  if (!ec && m_localIp) c->socket.bind(tcp::endpoint(asio::ip::address_v4(m_localIp), 0), ec);
  if (ec) {
    ConnectFailed(c, NetState_ConnectError, ec.value());
    return;
  }
  ArmConnectTimer(c);
  auto self = std::static_pointer_cast<cNetClient>(shared_from_this());
  c->socket.async_connect(
      at, asio::bind_executor(c->strand, [self, c](auto error) { self->Connected(c, error); }));
}

void cNetClient::Connected(const tConnPtr& c, const boost::system::error_code& ec) {
  if (c->timer) c->timer->cancel();
  if (c->state.load() != eConnState::Connecting) return;
  if (ec) {
    ConnectFailed(c, NetState_ConnectResult, ec.value());
    return;
  }
  boost::system::error_code e;
  c->socket.non_blocking(true, e);
  c->socket.set_option(tcp::no_delay(true), e);
  // A TLS server's certificate must name the link or the address connected to (a host name
  // resolved, not as given).
  std::string peerIp = c->socket.remote_endpoint(e).address().to_string();
  if (e) peerIp.clear();
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (c->state.load() != eConnState::Connecting) return;
    c->connectedMs = cNetService::NowMs();
    c->lastRecvMs.store(c->connectedMs);
    c->fd = c->socket.native_handle();
    // A TLS connection is up once its hand-shake is done.
    if (m_tls) {
      c->tls = std::make_unique<cTlsSession>(*m_tls, false, m_name, peerIp);
    } else {
      c->state.store(eConnState::Up);
    }
  }
  BeginConn(c);
}

void cNetClient::ConnectFailed(const tConnPtr& c, uint32_t state, int error) {
  bool silent;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (c->state.load() != eConnState::Connecting) return;
    c->state.store(eConnState::Down);
    silent = c->silent;
  }
  cNetService::Instance().Log("client " + m_name + " connect to " + PeerText(true) +
                              " failed: " + std::strerror(error));
  CloseSocket(c);
  if (!silent) Notify(state, error);
}

// A TLS link reports its connect before the hand-shake (the system then waits for the
// agreement), and the agreement once the server is verified; a link that only packs is agreed at
// once.
bool cNetClient::OnOpen(const tConnPtr& c) {
  if (c->tls) Notify(NetState_ConnectResult, 0);
  return true;
}

void cNetClient::OnUp(const tConnPtr& c) {
  if (!c->tls) Notify(NetState_ConnectResult, 0);
  if (m_encoded) Notify(NetState_EncodeOk, 0);
  c->idleTimer = std::make_unique<asio::steady_timer>(c->strand);
  ArmIdleCheck(c);
}

// A server that sends nothing for too long (not even the answers to pings) is taken for lost:
// the link is cut with the idle reason as a receive error, then reported down.
void cNetClient::ArmIdleCheck(const tConnPtr& c) {
  uint32_t period = std::min(m_limits.idleMs, m_limits.firstMsgMs) / 4;
  period = std::clamp<uint32_t>(period, 1, kClientIdleCheckMaxMs);
  c->idleTimer->expires_after(std::chrono::milliseconds(period));
  c->idleTimer->async_wait(
      [self = std::static_pointer_cast<cNetClient>(shared_from_this()), c](auto ec) {
        if (ec || c->state.load() != eConnState::Up) return;
        uint32_t reason = self->IdleReason(*c, cNetService::NowMs());
        if (!reason) {
          self->ArmIdleCheck(c);
          return;
        }
        cNetService::Instance().Log(
            "client " + self->m_name + ": nothing from " + self->PeerText(false) +
            (reason == NetReason_Idle ? " for too long" : " since connect") + "; cut");
        self->Cut(c, reason, false, eDownCause::Limit, ETIMEDOUT);
      });
}

void cNetClient::OnDown(const tConnPtr& c, uint32_t reason, eDownCause cause, int error) {
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    if (c->silent) return;
  }
  switch (cause) {
    case eDownCause::ReadError:
      Notify(NetState_RecvError, error);
      break;
    case eDownCause::WriteError:
      Notify(NetState_SendError, error);
      break;
    case eDownCause::Limit:
      Notify(NetState_RecvError, static_cast<int>(reason));
      break;
    default:
      break;
  }
  bool clean = cause == eDownCause::Local || cause == eDownCause::PeerClosed;
  Notify(NetState_ServerDown, clean ? 0 : error);
}

void cNetClient::OnInternal(const tConnPtr& c, const char* body, uint32_t size) {
  switch (static_cast<uint8_t>(body[0])) {
    case Internal_Pong:
      if (size >= 5) m_pingMs.store(std::max<uint32_t>(1, NowUs() - ReadLe32(body + 1)));
      break;
    default:
      cNetLink::OnInternal(c, body, size);
      break;
  }
}

void cNetClient::Notify(uint32_t state, int error) {
  stNetNoticeClient notice;
  notice.state = state;
  notice.error = static_cast<uint32_t>(error);
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    std::memcpy(notice.ip, m_ip, sizeof notice.ip - 1);
  }
  DeliverNotice(&notice, offsetof(stNetNoticeClient, ip) + std::strlen(notice.ip) + 1);
}

void cNetClient::Ping() {
  tConnPtr c;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    c = m_conn;
  }
  if (!c) return;
  char ping[5] = {static_cast<char>(Internal_Ping)};
  PutLe32(ping + 1, NowUs());
  SendInternal(c, ping, sizeof ping);
}

void cNetClient::EndConn(bool silent) {
  tConnPtr c;
  {
    std::lock_guard<cSpinLock> lock(m_lock);
    c = m_conn;
    if (c && silent) c->silent = true;
  }
  if (c) Cut(c, NetReason_Leave, false, eDownCause::Local, 0);
}

void cNetClient::Disconnect() {
  EndConn(false);
}

void cNetClient::Stop() {
  m_stopped.store(true);
  EndConn(true);
}

void cNetClient::Release() {
  Stop();
  {
    std::unique_lock<std::shared_mutex> gate(m_gate->lock);
    m_gate->callback = nullptr;
  }
  m_self.reset();
}

void cNetClient::Trace(std::ostream& os) {
  TraceTo(os, ("client " + m_name).c_str(), 0);
  os << "client " << m_name << " ping " << m_pingMs.load() << " us" << (m_tls ? " tls" : "")
     << (m_limits.compress ? " packed" : "") << '\n';
}

}  // namespace netlib
