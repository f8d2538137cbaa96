#include "netlib/net_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace nettest {

uint16_t stDelivery::Type() const {
  uint16_t t = 0;
  if (bytes.size() >= 2) std::memcpy(&t, bytes.data(), 2);
  return t;
}

uint32_t stDelivery::Word(size_t index) const {
  uint32_t w = 0;
  size_t at = 4 + 4 * index;
  if (bytes.size() >= at + 4) std::memcpy(&w, bytes.data() + at, 4);
  return w;
}

std::string stDelivery::NoticeIp() const {
  if (bytes.size() <= 12) return {};
  return std::string(bytes.data() + 12);
}

int cRecorder::OnMessage(int kind, const void* data, unsigned long size, iSend* send) {
  stDelivery d;
  d.kind = kind;
  d.bytes.assign(static_cast<const char*>(data), static_cast<const char*>(data) + size);
  d.send = send;
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_closed) {
    ++m_late;
    return 1;
  }
  d.id = send ? send->GetID() : 0;
  m_items.push_back(std::move(d));
  m_changed.notify_all();
  return 1;
}

bool cRecorder::WaitFor(const std::function<bool(const std::vector<stDelivery>&)>& pred, int ms) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(m_items); });
}

std::vector<stDelivery> cRecorder::Snapshot() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_items;
}

void cRecorder::Close() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_closed = true;
}

int cRecorder::Late() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_late;
}

bool IsServerEvent(const stDelivery& d, uint32_t event, unsigned id) {
  return d.kind == 1 && d.Type() == NetNotice_Server && d.Word(0) == event && d.Word(1) == id;
}

bool IsClientState(const stDelivery& d, uint32_t state) {
  return d.kind == 1 && d.Type() == NetNotice_Client && d.Word(0) == state;
}

bool IsReasonRecord(const stDelivery& d, uint32_t reason) {
  return d.kind == 2 && d.Type() == kNetDisconnectRecordType && d.Word(0) == reason;
}

bool IsRecord(const stDelivery& d, uint16_t type) {
  return d.kind == 2 && d.Type() == type;
}

bool cRecorder::WaitAny(const std::function<bool(const stDelivery&)>& pred, int ms) {
  return WaitFor(
      [&](const std::vector<stDelivery>& all) { return std::any_of(all.begin(), all.end(), pred); },
      ms);
}

bool cRecorder::WaitServerEvent(unsigned id, uint32_t event, int ms) {
  return WaitAny([&](const stDelivery& d) { return IsServerEvent(d, event, id); }, ms);
}

bool cRecorder::WaitClientState(uint32_t state, int ms) {
  return WaitAny([&](const stDelivery& d) { return IsClientState(d, state); }, ms);
}

bool cRecorder::WaitRecords(size_t count, int ms) {
  return WaitFor(
      [&](const std::vector<stDelivery>& all) {
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const stDelivery& d) {
                 return d.kind == 2;
               })) >= count;
      },
      ms);
}

bool cRecorder::ReasonBeforeDown(uint32_t reason) {
  if (!WaitClientState(NetState_ServerDown)) return false;
  int at = IndexOf([&](const stDelivery& d) { return IsReasonRecord(d, reason); });
  int down = IndexOf([](const stDelivery& d) { return IsClientState(d, NetState_ServerDown); });
  return at >= 0 && at < down;
}

int cRecorder::DisconnectReason(unsigned id) {
  for (const auto& d : Snapshot()) {
    if (IsServerEvent(d, NetEvent_Disconnected, id)) return static_cast<int>(d.Word(2));
  }
  return -1;
}

int cRecorder::IndexOf(const std::function<bool(const stDelivery&)>& pred) {
  auto all = Snapshot();
  for (size_t i = 0; i < all.size(); ++i) {
    if (pred(all[i])) return static_cast<int>(i);
  }
  return -1;
}

stServerInfo cServerScope::Defaults() {
  stServerInfo info;
  std::strcpy(info.name, "testserver");
  info.bindip = 0x7F000001;
  info.port = 0;
  info.checkms = 50;
  return info;
}

cServerScope::cServerScope(iCallbackNet& callback, stServerInfo info) {
  server = Net_CreateServer();
  if (server && server->Init(&info, &callback)) port = server->GetPort();
}

cServerScope::~cServerScope() {
  if (server) {
    server->Stop();
    server->Release();
  }
}

cClientScope::cClientScope(cRecorder& recorder, unsigned short port, stClientInfo info) {
  client = Net_CreateClient(0);
  if (!client || !client->Init(&info, &recorder)) return;
  size_t before = recorder.Snapshot().size();
  client->Connect("127.0.0.1", port);
  recorder.WaitFor([&](const std::vector<stDelivery>& all) {
    for (size_t i = before; i < all.size(); ++i) {
      if (IsClientState(all[i], NetState_ConnectResult) && all[i].send == client) {
        connected = all[i].Word(1) == 0;
        return true;
      }
    }
    return false;
  });
}

cClientScope::~cClientScope() {
  if (client) {
    client->Stop();
    client->Release();
  }
}

cRawPeer::cRawPeer(unsigned short port, const char* local) {
  m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (m_fd < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (local) {
    inet_pton(AF_INET, local, &addr.sin_addr);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(m_fd);
      m_fd = -1;
      return;
    }
  }
  addr.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

cRawPeer::~cRawPeer() {
  if (m_fd >= 0) ::close(m_fd);
}

bool cRawPeer::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size) {
    ssize_t n = ::send(m_fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long cRawPeer::Read(void* data, size_t size, int ms) {
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return -1;
  ssize_t n = ::recv(m_fd, data, size, 0);
  return n < 0 ? 0 : static_cast<long>(n);
}

bool cRawPeer::ReadUntilClosed(std::vector<char>& all, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char buffer[4096];
  while (std::chrono::steady_clock::now() < end) {
    long n = Read(buffer, sizeof buffer, 50);
    if (n == 0) return true;
    if (n > 0) all.insert(all.end(), buffer, buffer + n);
  }
  return false;
}

void cRawPeer::SetReceiveBuffer(int bytes) {
  ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

std::vector<char> MakeRecord(uint16_t type, const std::string& body) {
  std::vector<char> r(4 + body.size());
  std::memcpy(r.data(), &type, 2);
  std::memcpy(r.data() + 4, body.data(), body.size());
  return r;
}

int Send(iSend* link, const std::vector<char>& record) {
  return link->Send(reinterpret_cast<const stMsg*>(record.data()), record.size());
}

}  // namespace nettest
