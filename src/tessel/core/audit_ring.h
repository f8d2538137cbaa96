// The bounded queue between the threads that record audit lines and the trail's writer: fixed
// slots made once, each with its own state. Recording copies a line into the next free slot and
// never waits on the writer; a full queue refuses the line. A crash report reads the lines
// still queued without allocating or taking a lock. Push: any thread (pushers take turns on a
// lock the writer and the reader never take); Pop, Peek and Release: the writer thread only;
// ReadQueued: any thread, also inside a fatal-signal handler.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class cAuditRing {
 public:
  // Bytes a slot holds; a longer line is cut (lines are capped well below it).
  static constexpr size_t kSlotBytes = 1024;

  explicit cAuditRing(size_t slots);
  cAuditRing(const cAuditRing&) = delete;
  cAuditRing& operator=(const cAuditRing&) = delete;

  // False, storing nothing, when every slot is taken. `pushed` (when given) gets the number of
  // lines pushed so far.
  bool Push(std::string_view line, uint64_t* pushed = nullptr);
  // The same, with the line written straight into the slot by `fill(arg, text, cap, &size)`;
  // nothing is stored when it returns false.
  using tFill = bool (*)(const void* arg, char* text, size_t cap, size_t* size);
  bool Push(tFill fill, const void* arg, uint64_t* pushed = nullptr);
  // Takes the oldest line into `line`; false when none is queued.
  bool Pop(std::string& line);
  // Copies line number `at` (counted from the first line pushed; at least the oldest still
  // queued) into `line`, leaving it queued, so that a crash report still shows it until it is
  // released; false when it was not pushed yet.
  bool Peek(uint64_t at, std::string& line) const;
  // Frees every line before number `end` (lines looked at with Peek).
  void Release(uint64_t end);
  size_t Queued() const;
  size_t Capacity() const { return m_count; }

  // Calls `each` with every line still queued, oldest first; a slot being taken by the writer
  // at that moment is passed over. Returns how many were passed to `each`.
  size_t ReadQueued(void (*each)(const char* text, size_t size, void* arg), void* arg) const;

 private:
  enum eState : int { kFree, kReady, kReading };
  struct stSlot {
    mutable std::atomic<int> state{kFree};
    uint32_t size = 0;
    char text[kSlotBytes];
  };

  const size_t m_count;
  std::unique_ptr<stSlot[]> m_slots;
  // The pushers' and the writer's counters on lines of their own, so that neither slows the
  // other down.
  alignas(64) std::mutex m_pushLock;
  alignas(64) std::atomic<uint64_t> m_head{0};  // the next slot to fill
  alignas(64) std::atomic<uint64_t> m_tail{0};  // the next slot to take
};
