// A recorder of every delivery of the network library, self-releasing servers and clients on
// 127.0.0.1, a raw socket for peers that misbehave. Header-only on netlib.h alone. Any thread.
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
#include "testkit/wait.h"

namespace testkit {

struct stDelivery {
  int kind = 0;  // 1 notice, 2 record
  std::vector<char> bytes;
  iSend* send = nullptr;
  unsigned short id = 0;

  // The field of `size` bytes at `offset`; 0 when the bytes end before it.
  uint32_t At(size_t offset, size_t size = 4) const {
    uint32_t w = 0;
    if (bytes.size() >= offset + size) std::memcpy(&w, bytes.data() + offset, size);
    return w;
  }
  uint16_t Type() const { return uint16_t(At(0, 2)); }
  uint32_t Word(size_t index) const { return At(4 + 4 * index); }
  std::string NoticeIp() const { return bytes.size() > 12 ? std::string(bytes.data() + 12) : ""; }
  // The text of a command record: from byte 8 up to its end mark.
  std::string CmdText() const {
    if (bytes.size() <= 8) return "";
    return std::string(bytes.data() + 8, ::strnlen(bytes.data() + 8, bytes.size() - 8));
  }
};

// Predicates: an event of the server's link `id`, a client's state, a record of `type` (0: any).
using Pred = std::function<bool(const stDelivery&)>;
inline Pred ServerEvent(uint32_t event, unsigned id) {
  return [=](auto& d) {
    return d.kind == 1 && d.Type() == NetNotice_Server && d.Word(0) == event && d.Word(1) == id;
  };
}
inline Pred ClientState(uint32_t state) {
  return [=](auto& d) { return d.kind == 1 && d.Type() == NetNotice_Client && d.Word(0) == state; };
}
inline Pred RecordOf(uint16_t type = 0) {
  return [=](auto& d) { return d.kind == 2 && (type == 0 || d.Type() == type); };
}

// Records every OnMessage; with readIds each delivery notes its link's id (a test whose links
// are only tokens, the replay's, turns it off).
class cNetRecorder : public iCallbackNet {
 public:
  explicit cNetRecorder(bool readIds = true) : m_readIds(readIds) {}

  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    const char* bytes = static_cast<const char*>(data);
    const uint16_t id = send && m_readIds ? send->GetID() : 0;
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
  size_t Count(const Pred& pred) { return size_t(std::ranges::count_if(Snapshot(), pred)); }
  bool Has(const Pred& pred) { return Count(pred) > 0; }
  int IndexOf(const Pred& pred) {
    auto all = Snapshot();
    auto at = std::ranges::find_if(all, pred);
    return at == all.end() ? -1 : int(at - all.begin());
  }
  // Waits at most `ms` until `pred` holds over the deliveries so far.
  bool WaitFor(const std::function<bool(const std::vector<stDelivery>&)>& pred, int ms = kWaitMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(m_items); });
  }
  // Waits at most `ms` until `count` deliveries match.
  bool WaitCount(const Pred& pred, int count = 1, int ms = kWaitMs) {
    return WaitFor([&](auto& all) { return std::ranges::count_if(all, pred) >= count; }, ms);
  }
  // Waits for the link-down notice; true when the reason record `reason` came before it.
  bool ReasonBeforeDown(uint32_t reason) {
    if (!WaitCount(ClientState(NetState_ServerDown))) return false;
    int at = IndexOf(
        [&](auto& d) { return RecordOf(kNetDisconnectRecordType)(d) && d.Word(0) == reason; });
    return at >= 0 && at < IndexOf(ClientState(NetState_ServerDown));
  }
  // The reason of the link-down event of `id`; -1 when there is none.
  int DisconnectReason(unsigned id) {
    int at = IndexOf(ServerEvent(NetEvent_Disconnected, id));
    return at < 0 ? -1 : int(Snapshot()[at].Word(2));
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
  ~cServerScope() {
    server->Stop();
    server->Release();
  }
  iServer* server = Net_CreateServer();
  unsigned short port = 0;
};

// A client connected to 127.0.0.1:port (waits for the connect notice); released on destruction.
struct cClientScope {
  cClientScope(cNetRecorder& rec, unsigned short port, stClientInfo info = stClientInfo()) {
    if (!client->Init(&info, &rec)) return;
    auto mine = [this](auto& d) {
      return ClientState(NetState_ConnectResult)(d) && d.send == client;
    };
    size_t before = rec.Count(mine);
    client->Connect("127.0.0.1", port);
    rec.WaitCount(mine, before + 1);
    for (const auto& d : rec.Snapshot()) connected = mine(d) ? d.Word(1) == 0 : connected;
  }
  ~cClientScope() {
    client->Stop();
    client->Release();
  }
  iClient* client = Net_CreateClient(0);
  bool connected = false;
};

// A plain blocking socket on loopback, for peers that send raw bytes or never read.
class cRawPeer {
 public:
  // `from`: the local address to connect from (any of loopback's 127.0.0.0/8), else the system's.
  explicit cRawPeer(unsigned short port, const char* from = nullptr) {
    sockaddr_in local{AF_INET, 0, {}, {}};
    if (from != nullptr && ::inet_pton(AF_INET, from, &local.sin_addr) == 1)
      ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);  // else writes fail
  }
  ~cRawPeer() { ::close(m_fd); }
  bool Write(const void* data, size_t size) {
    return ::send(m_fd, data, size, MSG_NOSIGNAL) == ssize_t(size);
  }
  bool Write(const std::vector<char>& bytes) { return Write(bytes.data(), bytes.size()); }
  // Ends the writing side: the peer reads what was sent, then the end of the stream.
  void CloseWrite() { ::shutdown(m_fd, SHUT_WR); }
  // Reads until `want` bytes came, the peer closed (or reset) or `ms` passed; true if it closed.
  bool ReadUntil(std::vector<char>& all, int ms, size_t want = SIZE_MAX) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (char buffer[1 << 16]; all.size() < want && std::chrono::steady_clock::now() < end;) {
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
  std::vector<char> r(4 + body.size(), 0);
  r[0] = char(type);
  r[1] = char(type >> 8);
  std::copy(body.begin(), body.end(), r.begin() + 4);
  return r;
}

// A record of `type` as it travels: its size, then the record.
inline std::vector<char> Frame(uint16_t type, const std::string& body) {
  std::vector<char> record = MakeRecord(type, body);
  const uint32_t size = uint32_t(record.size());
  record.insert(record.begin(), reinterpret_cast<const char*>(&size),
                reinterpret_cast<const char*>(&size) + 4);
  return record;
}

// A command record (type 1004) of `group` with `text`, framed as on the wire.
inline std::vector<char> CmdFrame(int32_t group, const std::string& text) {
  return Frame(1004, std::string(reinterpret_cast<const char*>(&group), 4) + text + '\0');
}

inline int Send(iSend* link, const std::vector<char>& record) {
  return link->Send(reinterpret_cast<const stMsg*>(record.data()), record.size());
}

}  // namespace testkit
