// The network recorder: a network callback that keeps every delivery (its kind, bytes and link)
// and lets the test wait for the one it expects. The network's threads deliver, the test thread
// reads. Header-only, needing only the network contract, so the network library's own tests can
// use it too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"

namespace testkit {

struct stDelivery {
  int kind = 0;
  std::vector<char> bytes;
  iSend* send = nullptr;

  // The first 16 bits: the record or notice type.
  uint16_t Type() const {
    uint16_t type = 0;
    if (bytes.size() >= 2) std::memcpy(&type, bytes.data(), 2);
    return type;
  }
  // The 32-bit field at 4 + 4 * index.
  int32_t Word(size_t index) const {
    int32_t word = 0;
    if (bytes.size() >= 8 + 4 * index) std::memcpy(&word, bytes.data() + 4 + 4 * index, 4);
    return word;
  }
  // The text of a command record: from byte 8 up to its end mark.
  std::string CmdText() const {
    if (bytes.size() <= 8) return "";
    return std::string(bytes.data() + 8, ::strnlen(bytes.data() + 8, bytes.size() - 8));
  }
};

class cNetRecorder : public iCallbackNet {
 public:
  using Pred = std::function<bool(const stDelivery&)>;

  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    stDelivery item;
    item.kind = kind;
    item.bytes.assign(static_cast<const char*>(data), static_cast<const char*>(data) + size);
    item.send = send;
    Keep(std::move(item));
    return 1;
  }

  // Waits at most `ms` until `pred` holds over the deliveries so far.
  bool WaitFor(const std::function<bool(const std::vector<stDelivery>&)>& pred, int ms = 5000) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(m_items); });
  }
  // Waits at most `ms` for a delivery that matches.
  bool WaitAny(const Pred& pred, int ms = 5000) {
    return WaitFor([&](const std::vector<stDelivery>& all) { return Find(all, pred); }, ms);
  }
  bool Has(const Pred& pred) {
    std::lock_guard lock(m_lock);
    return Find(m_items, pred);
  }
  std::vector<stDelivery> Snapshot() {
    std::lock_guard lock(m_lock);
    return m_items;
  }
  void Clear() {
    std::lock_guard lock(m_lock);
    m_items.clear();
  }
  // After Close, every further delivery counts as late instead of being kept.
  void Close() {
    std::lock_guard lock(m_lock);
    m_closed = true;
  }
  int Late() {
    std::lock_guard lock(m_lock);
    return m_late;
  }

 protected:
  void Keep(stDelivery item) {
    std::lock_guard lock(m_lock);
    if (m_closed)
      ++m_late;
    else
      m_items.push_back(std::move(item));
    m_changed.notify_all();
  }

 private:
  static bool Find(const std::vector<stDelivery>& all, const Pred& pred) {
    for (const stDelivery& d : all)
      if (pred(d)) return true;
    return false;
  }

  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<stDelivery> m_items;
  bool m_closed = false;
  int m_late = 0;
};

}  // namespace testkit
