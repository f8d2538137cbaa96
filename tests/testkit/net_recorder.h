// The network recorder: a callback that keeps every delivery of the network library, servers
// and clients on 127.0.0.1 that release themselves, and a raw socket for peers that misbehave.
// Header-only and built on the network interfaces alone, so the network library's own tests
// can use it without the rest of the system. Any thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"

namespace nettest {

struct stDelivery {
  int kind = 0;
  std::vector<char> bytes;
  iSend* send = nullptr;
  unsigned short id = 0;

  // The first 16 bits (notice or record type).
  uint16_t Type() const {
    uint16_t t = 0;
    if (bytes.size() >= 2) std::memcpy(&t, bytes.data(), 2);
    return t;
  }
  // The 32-bit field at 4 + 4 * index.
  uint32_t Word(size_t index) const {
    uint32_t w = 0;
    if (bytes.size() >= 8 + 4 * index) std::memcpy(&w, bytes.data() + 4 + 4 * index, 4);
    return w;
  }
  // The address of a client notice.
  std::string NoticeIp() const { return bytes.size() > 12 ? std::string(bytes.data() + 12) : ""; }
  std::string Body() const {
    return bytes.size() < 4 ? "" : std::string(bytes.begin() + 4, bytes.end());
  }
};

inline bool IsServerEvent(const stDelivery& d, uint32_t event, unsigned id) {
  return d.kind == 1 && d.Type() == NetNotice_Server && d.Word(0) == event && d.Word(1) == id;
}
inline bool IsClientState(const stDelivery& d, uint32_t state) {
  return d.kind == 1 && d.Type() == NetNotice_Client && d.Word(0) == state;
}
inline bool IsReasonRecord(const stDelivery& d, uint32_t reason) {
  return d.kind == 2 && d.Type() == kNetDisconnectRecordType && d.Word(0) == reason;
}
inline bool IsRecord(const stDelivery& d, uint16_t type) {
  return d.kind == 2 && d.Type() == type;
}

// Records every OnMessage; after Close() any further call counts as a late delivery.
class cRecorder : public iCallbackNet {
 public:
  using Pred = std::function<bool(const stDelivery&)>;

  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    stDelivery d{
        kind, {static_cast<const char*>(data), static_cast<const char*>(data) + size}, send};
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_closed) return ++m_late, 1;
    d.id = send ? send->GetID() : 0;
    m_items.push_back(std::move(d));
    m_changed.notify_all();
    return 1;
  }
  // Waits at most `ms` until `pred` holds over the deliveries so far.
  bool WaitFor(const std::function<bool(const std::vector<stDelivery>&)>& pred, int ms = 5000) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(m_items); });
  }
  std::vector<stDelivery> Snapshot() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_items;
  }
  void Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_closed = true;
  }
  int Late() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_late;
  }

  // Counts the deliveries that match.
  size_t Count(const Pred& pred) {
    auto all = Snapshot();
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), pred));
  }
  bool WaitCount(const Pred& pred, size_t count, int ms = 5000) {
    return WaitFor(
        [&](const std::vector<stDelivery>& all) {
          return static_cast<size_t>(std::count_if(all.begin(), all.end(), pred)) >= count;
        },
        ms);
  }
  bool WaitAny(const Pred& pred, int ms = 5000) { return WaitCount(pred, 1, ms); }
  bool WaitServerEvent(unsigned id, uint32_t event, int ms = 5000) {
    return WaitAny([&](const stDelivery& d) { return IsServerEvent(d, event, id); }, ms);
  }
  bool WaitClientState(uint32_t state, int ms = 5000) {
    return WaitAny([&](const stDelivery& d) { return IsClientState(d, state); }, ms);
  }
  bool WaitRecords(size_t count, int ms = 5000) {
    return WaitCount([](const stDelivery& d) { return d.kind == 2; }, count, ms);
  }
  // Index of the first delivery matching, or -1.
  int IndexOf(const Pred& pred) {
    auto all = Snapshot();
    auto at = std::find_if(all.begin(), all.end(), pred);
    return at == all.end() ? -1 : static_cast<int>(at - all.begin());
  }
  // Waits for the link-down notice; true when the reason record `reason` came before it.
  bool ReasonBeforeDown(uint32_t reason) {
    if (!WaitClientState(NetState_ServerDown)) return false;
    int at = IndexOf([&](const stDelivery& d) { return IsReasonRecord(d, reason); });
    int down = IndexOf([](const stDelivery& d) { return IsClientState(d, NetState_ServerDown); });
    return at >= 0 && at < down;
  }
  // The reason of the first server event 6 for `id`; -1 when there is none.
  int DisconnectReason(unsigned id) {
    for (const auto& d : Snapshot())
      if (IsServerEvent(d, NetEvent_Disconnected, id)) return static_cast<int>(d.Word(2));
    return -1;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<stDelivery> m_items;
  bool m_closed = false;
  int m_late = 0;
};

// A server listening on 127.0.0.1 at a free port; stopped and released on destruction.
struct cServerScope {
  static stServerInfo Defaults() {
    stServerInfo info;
    std::strcpy(info.name, "testserver");
    info.bindip = 0x7F000001;
    info.port = 0;
    info.checkms = 50;
    return info;
  }
  explicit cServerScope(iCallbackNet& callback, stServerInfo info = Defaults())
      : server(Net_CreateServer()) {
    if (server && server->Init(&info, &callback)) port = server->GetPort();
  }
  ~cServerScope() {
    if (server) server->Stop(), server->Release();
  }
  iServer* server = nullptr;
  unsigned short port = 0;
};

// A client connected to 127.0.0.1:port (waits for the connect notice); released on destruction.
struct cClientScope {
  cClientScope(cRecorder& recorder, unsigned short port, stClientInfo info = stClientInfo())
      : client(Net_CreateClient(0)) {
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
  ~cClientScope() {
    if (client) client->Stop(), client->Release();
  }
  iClient* client = nullptr;
  bool connected = false;
};

// A plain blocking socket on loopback, for peers that send raw bytes or never read.
class cRawPeer {
 public:
  explicit cRawPeer(unsigned short port, const char* local = nullptr)
      : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (m_fd >= 0 && local &&
        (inet_pton(AF_INET, local, &addr.sin_addr) != 1 ||
         ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)))
      Drop();
    addr.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Drop();
  }
  ~cRawPeer() { Drop(); }
  bool Connected() const { return m_fd >= 0; }
  bool Write(const void* data, size_t size) {
    for (const char* p = static_cast<const char*>(data); size;) {
      ssize_t n = ::send(m_fd, p, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      p += n, size -= static_cast<size_t>(n);
    }
    return true;
  }
  bool Write(const std::vector<char>& bytes) { return Write(bytes.data(), bytes.size()); }
  // Reads up to `size` bytes, waiting at most `ms`; bytes read, 0 at end of stream or on an
  // error (a reset), -1 on time-out.
  long Read(void* data, size_t size, int ms) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return -1;
    ssize_t n = ::recv(m_fd, data, size, 0);
    return n < 0 ? 0 : static_cast<long>(n);
  }
  // Reads until `want` bytes arrived, the peer closed or `ms` passed; true when the peer closed.
  bool ReadUntil(std::vector<char>& all, int ms, size_t want = SIZE_MAX) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::vector<char> buffer(1 << 16);
    while (all.size() < want && std::chrono::steady_clock::now() < end) {
      long n = Read(buffer.data(), std::min(buffer.size(), want - all.size()), 50);
      if (n == 0) return true;
      if (n > 0) all.insert(all.end(), buffer.begin(), buffer.begin() + n);
    }
    return false;
  }
  void SetReceiveBuffer(int bytes) {
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }

 private:
  void Drop() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  int m_fd = -1;
};

// A record with the 4-byte header (type, id) followed by `body`.
inline std::vector<char> MakeRecord(uint16_t type, const std::string& body) {
  std::vector<char> r(4 + body.size());
  std::memcpy(r.data(), &type, 2);
  std::memcpy(r.data() + 4, body.data(), body.size());
  return r;
}
inline int Send(iSend* link, const std::vector<char>& record) {
  return link->Send(reinterpret_cast<const stMsg*>(record.data()), record.size());
}

}  // namespace nettest

// The kit's names for the recorder, as the suites above the network library use it.
namespace testkit {
using stDelivery = nettest::stDelivery;
using cNetRecorder = nettest::cRecorder;
}  // namespace testkit
