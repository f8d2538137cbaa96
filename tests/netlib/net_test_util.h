// Test helpers for the network library: a callback that records every delivery, servers and
// clients on 127.0.0.1 with scoped release, and a raw socket for peers that misbehave.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
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

  uint16_t Type() const;              // the first 16 bits (notice or record type)
  uint32_t Word(size_t index) const;  // the 32-bit field at 4 + 4 * index
  std::string NoticeIp() const;       // the address of a client notice
};

// Records every OnMessage; after Close() any further call counts as a late delivery.
class cRecorder : public iCallbackNet {
 public:
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override;

  // Waits at most `ms` until `pred` holds over the deliveries so far.
  bool WaitFor(const std::function<bool(const std::vector<stDelivery>&)>& pred, int ms = 5000);
  std::vector<stDelivery> Snapshot();
  void Close();
  int Late();

  // Shorthands over WaitFor: a delivery that matches, server events for a link id, client
  // states, a count of records (kind 2).
  bool WaitAny(const std::function<bool(const stDelivery&)>& pred, int ms = 5000);
  bool WaitServerEvent(unsigned id, uint32_t event, int ms = 5000);
  bool WaitClientState(uint32_t state, int ms = 5000);
  bool WaitRecords(size_t count, int ms = 5000);
  // Waits for the link-down notice; true when the reason record `reason` came before it.
  bool ReasonBeforeDown(uint32_t reason);
  // The reason of the first server event 6 for `id`; -1 when there is none.
  int DisconnectReason(unsigned id);
  // Index of the first delivery matching, or -1.
  int IndexOf(const std::function<bool(const stDelivery&)>& pred);

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<stDelivery> m_items;
  bool m_closed = false;
  int m_late = 0;
};

// Predicates over one delivery.
bool IsServerEvent(const stDelivery& d, uint32_t event, unsigned id);
bool IsClientState(const stDelivery& d, uint32_t state);
bool IsReasonRecord(const stDelivery& d, uint32_t reason);
bool IsRecord(const stDelivery& d, uint16_t type);

// A server listening on 127.0.0.1 at a free port; stopped and released on destruction.
struct cServerScope {
  explicit cServerScope(iCallbackNet& callback, stServerInfo info = Defaults());
  ~cServerScope();
  static stServerInfo Defaults();
  iServer* server = nullptr;
  unsigned short port = 0;
};

// A client connected to 127.0.0.1:port (waits for the connect notice); released on destruction.
struct cClientScope {
  cClientScope(cRecorder& recorder, unsigned short port, stClientInfo info = stClientInfo());
  ~cClientScope();
  iClient* client = nullptr;
  bool connected = false;
};

// A plain blocking socket on loopback, for peers that send raw bytes or never read.
class cRawPeer {
 public:
  explicit cRawPeer(unsigned short port, const char* local = nullptr);
  ~cRawPeer();
  bool Connected() const { return m_fd >= 0; }
  bool Write(const void* data, size_t size);
  // Reads up to `size` bytes, waiting at most `ms`; bytes read, 0 at end of stream or on an
  // error (a reset), -1 on time-out.
  long Read(void* data, size_t size, int ms);
  // Reads until the peer closes or `ms` pass; true when the peer closed.
  bool ReadUntilClosed(std::vector<char>& all, int ms);
  void SetReceiveBuffer(int bytes);

 private:
  int m_fd = -1;
};

// A record with the 4-byte header (type, id) followed by `body`.
std::vector<char> MakeRecord(uint16_t type, const std::string& body);
int Send(iSend* link, const std::vector<char>& record);

}  // namespace nettest
