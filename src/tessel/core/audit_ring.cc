#include "tessel/core/audit_ring.h"

#include <algorithm>
#include <cstring>
#include <thread>

cAuditRing::cAuditRing(size_t slots)
    : m_count(std::max<size_t>(slots, 1)), m_slots(new stSlot[m_count]) {}

bool cAuditRing::Push(std::string_view line, uint64_t* pushed) {
  const auto copy = [](const void* arg, char* text, size_t cap, size_t* size) {
    const auto* from = static_cast<const std::string_view*>(arg);
    *size = std::min(from->size(), cap);
    std::memcpy(text, from->data(), *size);
    return true;
  };
  return Push(copy, &line, pushed);
}

bool cAuditRing::Push(tFill fill, const void* arg, uint64_t* pushed) {
  std::lock_guard<std::mutex> hold(m_pushLock);
  const uint64_t head = m_head.load(std::memory_order_relaxed);
  stSlot& slot = m_slots[head % m_count];
  if (slot.state.load(std::memory_order_acquire) != kFree) return false;
  size_t size = 0;
  if (!fill(arg, slot.text, kSlotBytes, &size)) return false;
  slot.size = static_cast<uint32_t>(std::min(size, kSlotBytes));
  slot.state.store(kReady, std::memory_order_release);
  m_head.store(head + 1, std::memory_order_release);
  if (pushed != nullptr) *pushed = head + 1;
  // The next slot was last freed by the writer, a round of the ring ago: fetch it for writing
  // now, so that the next line does not wait for it.
  stSlot& next = m_slots[(head + 1) % m_count];
  __builtin_prefetch(&next.state, 1);
  for (size_t at = 64; at < 320; at += 64) __builtin_prefetch(next.text + at, 1);
  return true;
}

bool cAuditRing::Pop(std::string& line) {
  const uint64_t tail = m_tail.load(std::memory_order_relaxed);
  if (!Peek(tail, line)) return false;
  Release(tail + 1);
  return true;
}

bool cAuditRing::Peek(uint64_t at, std::string& line) const {
  if (at >= m_head.load(std::memory_order_acquire)) return false;
  // Published by the head's store; no one writes the slot before it is released.
  const stSlot& slot = m_slots[at % m_count];
  line.assign(slot.text, slot.size);
  // The next line was written on another core: start fetching its first bytes while this one
  // is formatted and signed.
  const stSlot& next = m_slots[(at + 1) % m_count];
  __builtin_prefetch(&next.size);
  __builtin_prefetch(next.text + 64);
  __builtin_prefetch(next.text + 128);
  return true;
}

void cAuditRing::Release(uint64_t end) {
  const uint64_t tail = m_tail.load(std::memory_order_relaxed);
  if (end <= tail) return;
  m_tail.store(end, std::memory_order_release);
  for (uint64_t at = tail; at < end; ++at) {
    stSlot& slot = m_slots[at % m_count];
    // A crash report reading the slot holds it for a moment.
    for (int expected = kReady;
         !slot.state.compare_exchange_weak(expected, kFree, std::memory_order_acq_rel);
         expected = kReady)
      std::this_thread::yield();
  }
}

size_t cAuditRing::Queued() const {
  return static_cast<size_t>(m_head.load(std::memory_order_acquire) -
                             m_tail.load(std::memory_order_acquire));
}

size_t cAuditRing::ReadQueued(void (*each)(const char*, size_t, void*), void* arg) const {
  const uint64_t head = m_head.load(std::memory_order_acquire);
  size_t passed = 0;
  for (uint64_t at = m_tail.load(std::memory_order_acquire); at < head; ++at) {
    stSlot& slot = m_slots[at % m_count];
    int expected = kReady;
    if (!slot.state.compare_exchange_strong(expected, kReading, std::memory_order_acq_rel))
      continue;
    each(slot.text, slot.size, arg);
    slot.state.exchange(kReady, std::memory_order_acq_rel);
    ++passed;
  }
  return passed;
}
