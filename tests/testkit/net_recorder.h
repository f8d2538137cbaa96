// The network recorder: a callback that keeps every delivery of the network library, servers
// and clients on 127.0.0.1 that release themselves, and a raw socket for peers that misbehave.
// Header-only and built on the network interfaces alone, so the network library's own tests
// can use it without the rest of the system. Any thread.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"

namespace testkit {

struct stDelivery {
  int kind = 0;  // 1 notice, 2 record
  std::vector<char> bytes;
  iSend* send = nullptr;
  unsigned short id = 0;

  uint16_t Type() const {
    return bytes.size() >= 2 ? uint16_t(uint8_t(bytes[0]) | bytes[1] << 8) : 0;
  }
  // The 32-bit field at 4 + 4 * index.
  uint32_t Word(size_t index) const {
    uint32_t w = 0;
    if (bytes.size() >= 8 + 4 * index) std::memcpy(&w, bytes.data() + 4 + 4 * index, 4);
    return w;
  }
  std::string NoticeIp() const { return bytes.size() > 12 ? std::string(bytes.data() + 12) : ""; }
  // The text of a command record: from byte 8 up to its end mark.
  std::string CmdText() const {
    if (bytes.size() <= 8) return "";
    return std::string(bytes.data() + 8, ::strnlen(bytes.data() + 8, bytes.size() - 8));
  }
};

inline bool IsServerEvent(const stDelivery& d, uint32_t event, unsigned id) {
  return d.kind == 1 && d.Type() == NetNotice_Server && d.Word(0) == event && d.Word(1) == id;
}
inline bool IsClientState(const stDelivery& d, uint32_t state) {
  return d.kind == 1 && d.Type() == NetNotice_Client && d.Word(0) == state;
}
inline bool IsRecord(const stDelivery& d, uint16_t type) {
  return d.kind == 2 && d.Type() == type;
}

// Records every OnMessage.
class cNetRecorder : public iCallbackNet {
 public:
  using Pred = std::function<bool(const stDelivery&)>;

  // With readIds, each delivery notes its link's id; a test whose links are only tokens (the
  // replay's) turns it off.
  explicit cNetRecorder(bool readIds = true) : m_readIds(readIds) {}

  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    const char* bytes = static_cast<const char*>(data);
    const unsigned short id = send != nullptr && m_readIds ? send->GetID() : 0;
    Keep({kind, {bytes, bytes + size}, send, id});
    return 1;
  }
  std::vector<stDelivery> Snapshot() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_items;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_items.clear();
  }
  bool Has(const Pred& pred) { return Count(pred) > 0; }
  // Waits at most `ms` until `pred` holds over the deliveries so far.
  bool WaitFor(const std::function<bool(const std::vector<stDelivery>&)>& pred, int ms = 5000) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(m_items); });
  }
  size_t Count(const Pred& pred) {
    auto all = Snapshot();
    return size_t(std::count_if(all.begin(), all.end(), pred));
  }
  // Waits at most `ms` until `count` deliveries match.
  bool WaitCount(const Pred& pred, size_t count, int ms = 5000) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      return size_t(std::count_if(m_items.begin(), m_items.end(), pred)) >= count;
    });
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
    return at == all.end() ? -1 : int(at - all.begin());
  }
  // Waits for the link-down notice; true when the reason record `reason` came before it.
  bool ReasonBeforeDown(uint32_t reason) {
    if (!WaitClientState(NetState_ServerDown)) return false;
    int at = IndexOf([&](const stDelivery& d) {
      return IsRecord(d, kNetDisconnectRecordType) && d.Word(0) == reason;
    });
    return at >= 0 &&
           at < IndexOf([](const stDelivery& d) { return IsClientState(d, NetState_ServerDown); });
  }
  // The reason of the link-down event of `id`; -1 when there is none.
  int DisconnectReason(unsigned id) {
    for (const auto& d : Snapshot())
      if (IsServerEvent(d, NetEvent_Disconnected, id)) return int(d.Word(2));
    return -1;
  }


 protected:
  void Keep(stDelivery d) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_items.push_back(std::move(d));
    m_changed.notify_all();
  }

 private:
  const bool m_readIds;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<stDelivery> m_items;
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
  explicit cServerScope(iCallbackNet& callback, stServerInfo info = Defaults()) {
    if (server->Init(&info, &callback)) port = server->GetPort();
  }
  ~cServerScope() { server->Stop(), server->Release(); }
  iServer* server = Net_CreateServer();
  unsigned short port = 0;
};

// A client connected to 127.0.0.1:port (waits for the connect notice); released on destruction.
struct cClientScope {
  cClientScope(cNetRecorder& rec, unsigned short port, stClientInfo info = stClientInfo()) {
    if (!client->Init(&info, &rec)) return;
    auto mine = [this](const stDelivery& d) {
      return IsClientState(d, NetState_ConnectResult) && d.send == client;
    };
    size_t before = rec.Count(mine);
    client->Connect("127.0.0.1", port);
    rec.WaitCount(mine, before + 1);
    for (const auto& d : rec.Snapshot()) connected = mine(d) ? d.Word(1) == 0 : connected;
  }
  ~cClientScope() { client->Stop(), client->Release(); }
  iClient* client = Net_CreateClient(0);
  bool connected = false;
};

// A plain blocking socket on loopback, for peers that send raw bytes or never read.
class cRawPeer {
 public:
  explicit cRawPeer(unsigned short port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      ::close(m_fd), m_fd = -1;
  }
  ~cRawPeer() {
    if (m_fd >= 0) ::close(m_fd);
  }
  bool Connected() const { return m_fd >= 0; }
  bool Write(const void* data, size_t size) {  // blocking: all or nothing
    return ::send(m_fd, data, size, MSG_NOSIGNAL) == ssize_t(size);
  }
  bool Write(const std::vector<char>& bytes) { return Write(bytes.data(), bytes.size()); }
  // Reads until `want` bytes arrived, the peer closed (or reset) or `ms` passed; true when the
  // peer closed.
  bool ReadUntil(std::vector<char>& all, int ms, size_t want = SIZE_MAX) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buffer[1 << 16];
    while (all.size() < want && std::chrono::steady_clock::now() < end) {
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::recv(m_fd, buffer, std::min(sizeof buffer, want - all.size()), 0);
      if (n <= 0) return true;
      all.insert(all.end(), buffer, buffer + n);
    }
    return false;
  }

 private:
  int m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
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

}  // namespace testkit
