#include "netlib/net_server.h"

#include <cstring>
#include <iostream>
#include <ostream>
#include "netlib/net_asio.h"
#include "platform/descriptors.h"

#include "netlib/net_counters.h"
#include "netlib/net_limits.h"
#include "netlib/net_server_link.h"
#include "netlib/net_service.h"

namespace netlib {

namespace asio = boost::asio;
using asio::ip::tcp;

// Links that stay down this long without their holder releasing them are reported.
static constexpr uint32_t kHeldDownReportMs = 60000;
static constexpr uint32_t kHeldCheckPeriodMs = 1000;
static constexpr uint32_t kAcceptRetryMs = 100;
// A run of failed accepts (out of descriptors, retried each kAcceptRetryMs) is said at its first,
// then as a count at most this often, and at its end.
static constexpr uint32_t kAcceptFailSayMs = 10000;

iServer* cNetServer::Create() {
  cNetService::Instance().Start();
  auto server = std::make_shared<cNetServer>();
  server->m_self = server;
  return server.get();
}

cNetServer::cNetServer()
    : m_gate(std::make_shared<cNetGate>()),
      m_strand(asio::make_strand(cNetService::Instance().Io())),
      m_acceptor(m_strand),
      m_checkTimer(m_strand) {}

int cNetServer::Init(const void* param, iCallbackNet* callback) {
  if (!param || m_inited.load()) return 0;
  m_info = *static_cast<const stServerInfo*>(param);
  m_info.name[sizeof m_info.name - 1] = 0;
  m_limits = stLinkLimits::From(m_info.net);
  if (m_info.checkms == 0) m_info.checkms = kDefaultCheckMs;
  if (m_limits.encode) {
    // An encoded server without its files must not listen, nor fall back to plain bytes.
    std::string error;
    m_tls = ServerTlsContextFor(m_info.name, m_limits.encode == 2, error);
    if (!m_tls) {
      std::cout << "cNetServer::Init " << m_info.name << " TLS: " << error << std::endl;
      return 0;
    }
  }
  auto address = asio::ip::make_address_v4(m_info.bindip);
  std::strncpy(m_bindText, address.to_string().c_str(), sizeof m_bindText - 1);
  boost::system::error_code ec;
  tcp::endpoint at(address, static_cast<unsigned short>(m_info.port));
  std::unique_lock<std::mutex> acceptLock(m_acceptLock);
  m_acceptor.open(at.protocol(), ec);
  // Asio opens and accepts without close-on-exec: a child started later would keep the port.
  if (!ec) platform::SetCloseOnExec(m_acceptor.native_handle());
  if (!ec) m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) m_acceptor.bind(at, ec);
  if (!ec) m_acceptor.listen(static_cast<int>(m_info.backlog ? m_info.backlog : 1024), ec);
  if (ec) {
    std::cout << "cNetServer::Init " << m_info.name << " listen on " << m_bindText << ":"
              << m_info.port << " failed: " << ec.message() << std::endl;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    return 0;
  }
  m_port.store(m_acceptor.local_endpoint(ec).port());
  acceptLock.unlock();
  {
    std::unique_lock<std::shared_mutex> gate(m_gate->lock);
    m_gate->callback = callback;
  }
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_slots.resize(size_t(kMaxLinkId) + 1);
  }
  m_inited.store(true);
  asio::post(m_strand, [self = shared_from_this()] {
    self->Accept();
    self->ArmCheck();
  });
  return 1;
}

void cNetServer::GetInfo(stServerInfo& info) {
  info = m_info;
  info.port = m_port.load();
}

void cNetServer::SetIP(const std::vector<std::string>& ips) {
  std::set<uint32_t> allowed;
  for (const auto& ip : ips) {
    boost::system::error_code ec;
    auto address = asio::ip::make_address_v4(ip, ec);
    if (ec) {
      cNetService::Instance().Log(std::string("SetIP: not an IPv4 address: ") + ip);
      continue;
    }
    allowed.insert(address.to_uint());
  }
  // A list of nothing but entries that are no address (a typing error in the file) admits
  // nobody: it was given to narrow the peers, never to admit all of them.
  std::lock_guard<std::mutex> lock(m_lock);
  m_allowed.swap(allowed);
  m_restricted = !ips.empty();
}

bool cNetServer::Admits(const char* ip) {
  boost::system::error_code ec;
  auto address = asio::ip::make_address_v4(ip, ec);
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_restricted) return true;
  return !ec && m_allowed.count(address.to_uint()) != 0;
}

void cNetServer::Accept() {
  auto c = std::make_shared<cNetConn>(cNetService::Instance().Io());
  std::lock_guard<std::mutex> lock(m_acceptLock);
  if (m_stopped.load() || m_forbit.load() || !m_acceptor.is_open()) return;
  m_acceptor.async_accept(
      c->socket, asio::bind_executor(
                     m_strand, [self = shared_from_this(), c](auto ec) { self->Accepted(c, ec); }));
}

void cNetServer::AcceptFailed(const boost::system::error_code& ec) {
  const uint32_t now = cNetService::NowMs();
  const std::string head = std::string(m_info.name) + " accept failed: " + ec.message();
  if (m_acceptFails.fetch_add(1) == 0) {
    m_acceptSaidMs.store(now);
    cNetService::Instance().Log(head);
    return;
  }
  const uint32_t unsaid = m_acceptUnsaid.fetch_add(1) + 1;
  if (cNetService::Elapsed(now, m_acceptSaidMs.load()) < kAcceptFailSayMs) return;
  m_acceptSaidMs.store(now);
  m_acceptUnsaid.store(0);
  cNetService::Instance().Log(head + " (" + std::to_string(unsaid) + " more times, " +
                              std::to_string(m_acceptFails.load()) + " in all; retried every " +
                              std::to_string(kAcceptRetryMs) + " ms)");
}

void cNetServer::AcceptsAgain() {
  const uint32_t fails = m_acceptFails.exchange(0);
  m_acceptUnsaid.store(0);
  if (fails != 0)
    cNetService::Instance().Log(std::string(m_info.name) + " accepts again, after " +
                                std::to_string(fails) + " failed accepts");
}

void cNetServer::Accepted(const tConnPtr& c, const boost::system::error_code& ec) {
  if (ec == asio::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors and the like: report and try again shortly, not in a busy loop.
    AcceptFailed(ec);
    auto retry =
        std::make_shared<asio::steady_timer>(m_strand, std::chrono::milliseconds(kAcceptRetryMs));
    retry->async_wait([self = shared_from_this(), retry](auto) { self->Accept(); });
    return;
  }
  platform::SetCloseOnExec(c->socket.native_handle());
  AcceptsAgain();
  Accept();
  boost::system::error_code e;
  if (m_stopped.load() || m_forbit.load()) {
    c->socket.close(e);
    return;
  }
  tcp::endpoint peer = c->socket.remote_endpoint(e);
  c->socket.non_blocking(true, e);
  c->socket.set_option(tcp::no_delay(true), e);
  // Counted here, on the server's strand, so that no burst of connections passes the bound.
  const bool full =
      m_info.maxlinks && static_cast<unsigned>(m_open.load()) >= m_info.maxlinks && !GiveWayToNew();
  auto link = TakeId();
  if (!link) {
    if (!m_stopped.load())
      cNetService::Instance().LogPeer(std::string(m_info.name) + " has no free link id; refused " +
                                      peer.address().to_string());
    c->socket.close(e);
    return;
  }
  c->connectedMs = cNetService::NowMs();
  c->lastRecvMs.store(c->connectedMs);
  if (full) {
    // The peer hears why before the link closes; the system sees it come and go.
    c->refuseReason = NetReason_ServerClose;
  } else {
    c->countedOpen.store(true);
    LinkOpened();
  }
  link->Attach(c, peer.address().to_string().c_str(), peer.port(), m_traceSend.load(),
               m_traceRecv.load());
  // Stopped while it was attached: Stop's cut may have run before the link held the connection.
  if (m_stopped.load()) link->CutCurrent(NetReason_ServerClose, true, eDownCause::Local, 0);
}

// With a login deadline, the oldest link that has not logged in makes room for a new one.
bool cNetServer::GiveWayToNew() {
  if (!m_loginMs.load()) return false;
  const uint32_t now = cNetService::NowMs();
  std::shared_ptr<cNetServerLink> oldest;
  uint32_t oldestAge = 0;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (unsigned id = 1; id <= m_highId; ++id) {
      const uint32_t since = m_slots[id] ? m_slots[id]->GuestSinceMs() : 0;
      if (since && (!oldest || cNetService::Elapsed(now, since) > oldestAge)) {
        oldest = m_slots[id];
        oldestAge = cNetService::Elapsed(now, since);
      }
    }
  }
  return oldest && oldest->GiveWay();
}

std::shared_ptr<cNetServerLink> cNetServer::TakeId() {
  std::lock_guard<std::mutex> lock(m_lock);
  // Released since the accept began: the table is gone, and the connection is closed unheard.
  if (m_slots.empty()) return nullptr;
  for (unsigned tries = 0; tries < kMaxLinkId; ++tries) {
    unsigned id = m_nextId;
    m_nextId = m_nextId >= kMaxLinkId ? 1 : m_nextId + 1;
    auto& slot = m_slots[id];
    if (!slot) {
      slot = std::make_shared<cNetServerLink>(shared_from_this(), static_cast<unsigned short>(id),
                                              m_gate, m_limits);
    } else if (!slot->Free()) {
      continue;
    }
    if (id > m_highId) m_highId = id;
    return slot;
  }
  return nullptr;
}

iServerLink* cNetServer::GetLink(unsigned int id) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (id == 0 || id > m_highId || !m_slots[id] || m_slots[id]->Free()) return nullptr;
  return m_slots[id].get();
}

int cNetServer::SendToAll(const stMsg* msg, unsigned long size) {
  int sent = 0;
  std::lock_guard<std::mutex> lock(m_lock);
  for (unsigned id = 1; id <= m_highId; ++id) {
    if (m_slots[id] && m_slots[id]->IsUp()) sent += m_slots[id]->Send(msg, size);
  }
  return sent;
}

unsigned long cNetServer::GetUnsentBytes() {
  unsigned long total = 0;
  std::lock_guard<std::mutex> lock(m_lock);
  for (unsigned id = 1; id <= m_highId; ++id) {
    if (m_slots[id]) total += m_slots[id]->Unsent();
  }
  return total;
}

void cNetServer::TraceSendCmd(bool on) {
  m_traceSend.store(on);
  std::lock_guard<std::mutex> lock(m_lock);
  for (unsigned id = 1; id <= m_highId; ++id) {
    if (m_slots[id]) m_slots[id]->SetTraceSend(on);
  }
}

void cNetServer::TraceRecieveCmd(bool on) {
  m_traceRecv.store(on);
  std::lock_guard<std::mutex> lock(m_lock);
  for (unsigned id = 1; id <= m_highId; ++id) {
    if (m_slots[id]) m_slots[id]->SetTraceRecv(on);
  }
}

void cNetServer::ArmCheck() {
  std::lock_guard<std::mutex> lock(m_acceptLock);
  if (m_stopped.load()) return;
  m_checkTimer.expires_after(std::chrono::milliseconds(m_info.checkms));
  m_checkTimer.async_wait([self = shared_from_this()](auto ec) {
    if (ec) return;
    self->RunCheck();
    self->ArmCheck();
  });
}

// Idle links and links not logged in in time are cut (reasons 11 and 12); the check holds the table
// lock only to read it.
void cNetServer::RunCheck() {
  uint32_t now = cNetService::NowMs();
  std::lock_guard<std::mutex> lock(m_lock);
  for (unsigned id = 1; id <= m_highId; ++id) {
    if (m_slots[id]) m_slots[id]->CheckIdle(now, m_loginMs.load());
  }
}

// Called after every handled message, so it only looks at the table once a second: links
// down for long whose holder never released them keep their ids, which is worth a log line.
void cNetServer::CheckLinks(const char* tag) {
  if (!m_inited.load()) return;
  uint32_t now = cNetService::NowMs();
  uint32_t last = m_lastHeldCheckMs.load(std::memory_order_relaxed);
  if (cNetService::Elapsed(now, last) < kHeldCheckPeriodMs) return;
  if (!m_lastHeldCheckMs.compare_exchange_strong(last, now)) return;
  std::vector<unsigned> held;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (unsigned id = 1; id <= m_highId; ++id) {
      if (m_slots[id] && m_slots[id]->HeldDownMs(now) > kHeldDownReportMs) held.push_back(id);
    }
  }
  if (held.empty()) return;
  std::string ids;
  for (unsigned id : held) ids += " " + std::to_string(id);
  cNetService::Instance().Log(std::string(m_info.name) + " CheckLinks(" + (tag ? tag : "") +
                              "): links down but never released:" + ids);
}

void cNetServer::CloseAcceptor() {
  std::lock_guard<std::mutex> lock(m_acceptLock);
  boost::system::error_code ignored;
  m_acceptor.close(ignored);
  if (m_stopped.load()) m_checkTimer.cancel();
}

void cNetServer::ForbitAccept() {
  m_forbit.store(true);
  CloseAcceptor();
}

void cNetServer::Stop() {
  if (m_stopped.exchange(true)) return;
  CloseAcceptor();
  std::lock_guard<std::mutex> lock(m_lock);
  for (unsigned id = 1; id <= m_highId; ++id) {
    if (m_slots[id]) m_slots[id]->CutCurrent(NetReason_ServerClose, true, eDownCause::Local, 0);
  }
}

void cNetServer::Release() {
  Stop();
  {
    std::unique_lock<std::shared_mutex> gate(m_gate->lock);
    m_gate->callback = nullptr;
  }
  std::vector<std::shared_ptr<cNetServerLink>> links;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    links.swap(m_slots);
    m_highId = 0;
  }
  // The links' pending handlers keep what they use alive; the table's references go here.
  links.clear();
  m_self.reset();
}

void cNetServer::CountRecv(uint64_t records, uint64_t bytes) {
  CountTraffic(false, false, records, bytes);
  m_recvRecords.fetch_add(records, std::memory_order_relaxed);
  m_recvBytes.fetch_add(bytes, std::memory_order_relaxed);
}

void cNetServer::CountSent(uint64_t records, uint64_t bytes) {
  CountTraffic(false, true, records, bytes);
  m_sentRecords.fetch_add(records, std::memory_order_relaxed);
  m_sentBytes.fetch_add(bytes, std::memory_order_relaxed);
}

void cNetServer::Trace(std::ostream& os) {
  os << "server " << m_info.name << " listen " << m_bindText << ":" << m_port.load()
     << (m_forbit.load() ? " accept forbidden" : "") << (m_stopped.load() ? " stopped" : "")
     << " links " << m_open.load() << "/" << m_info.maxlinks << " recv " << m_recvRecords.load()
     << "/" << m_recvBytes.load() << " sent " << m_sentRecords.load() << "/" << m_sentBytes.load()
     << " max record " << m_limits.maxRecv << " queue bound " << m_limits.queueBound << '\n';
}

}  // namespace netlib
