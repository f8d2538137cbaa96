// Fixed rings of the last entries of one kind (commands run, records received, ...) that the
// crash report prints: writers add entries without allocating or waiting, and the report reads
// them inside a fatal-signal handler without allocating or locking. Add: any thread; the
// registry: any thread; the visits: the crash report (or a test).
//
// A part that wants its own lines in the report (the audit trail's lines still queued at a
// fault, say) keeps one ring for the life of the process and registers it once:
//
//   struct stAuditLine {             // trivially copyable: fixed arrays, no pointers it owns
//     int64_t timeMs;
//     char text[200];
//     void Format(cFixedLine& line) const { line.Time(timeMs).Str("  ").Str(text); }
//   };
//   cFlightRing<stAuditLine, 64>& AuditRing() {
//     static cFlightRing<stAuditLine, 64> ring("Audit lines not yet written (time, line)");
//     return ring;
//   }
//   RegisterFlightRing(&AuditRing());  // at start-up, after the host's own rings
//   AuditRing().Add(line);             // from any thread
//
// The report prints, after its module block and before its last line, each registered ring in
// the order of registration: "TITLE, oldest first, COUNT in all:" and one line per entry
// held. Format must only use cFixedLine (no allocation, no locale, no stdio).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Builds one line of text in a caller's fixed buffer, cut at its end; safe in a signal handler.
class cFixedLine {
 public:
  cFixedLine(char* out, size_t size) : m_out(out), m_size(size) { Terminate(); }
  cFixedLine& Str(const char* text);
  cFixedLine& Bytes(const char* text, size_t n);
  cFixedLine& Dec(uint64_t value, int width = 0, char pad = ' ');
  // Local time of `epochMs` (with the offset set by SetFlightTimeOffset) as "MM_DD hh:mm:ss.mmm".
  cFixedLine& Time(int64_t epochMs);
  size_t Size() const { return m_fill; }

 private:
  void Terminate() {
    if (m_size > 0) m_out[m_fill] = '\0';
  }
  char* m_out;
  size_t m_size;
  size_t m_fill = 0;
};

// The local time offset (seconds east of UTC) the entries' times and the crash report's are
// shown with, since a signal handler cannot ask for it. Refresh takes the zone's offset now: the
// host does at start-up and every second, so that a change to summer time or back shows.
void SetFlightTimeOffset(long seconds);
long FlightTimeOffset();
void RefreshFlightTimeOffset();
// Milliseconds since the epoch from the coarse real-time clock (cheap enough for every entry).
int64_t FlightNowMs();

// What the crash report sees of a ring: its title and its entries as lines, oldest first.
class cFlightRingBase {
 public:
  using LineFunc = void (*)(void* context, const char* text, size_t size);
  explicit cFlightRingBase(const char* title) : m_title(title) {}
  const char* Title() const { return m_title; }
  // Entries added since the start (more than the ring holds once it went round).
  virtual uint64_t Added() const = 0;
  // Calls `line` once per entry held, oldest first; an entry being written is skipped.
  virtual void VisitLines(LineFunc line, void* context) const = 0;

 protected:
  ~cFlightRingBase() = default;

 private:
  const char* m_title;
};

// The last N entries of type Entry: trivially copyable, with a member
// `void Format(cFixedLine& line) const` that is safe in a signal handler. Each slot carries a
// sequence number, odd while written; the entry's bytes are kept as atomic words (release
// stores, acquire loads), so that a reader that saw a writer's word also sees that writer's odd
// mark and drops the copy: a reader copies only whole entries. A writer that finds its slot
// being written, or already holding a newer entry, drops its own (the ring went round under it).
template <class Entry, size_t N>
class cFlightRing final : public cFlightRingBase {
  static_assert(std::is_trivially_copyable_v<Entry>);
  static constexpr size_t kWords = (sizeof(Entry) + 7) / 8;

 public:
  explicit cFlightRing(const char* title) : cFlightRingBase(title) {}

  // `used`: the bytes of the entry that count, from its start (an entry whose last field is a
  // text ended early need not be copied whole); the rest of its slot keeps older bytes.
  void Add(const Entry& entry, size_t used = sizeof(Entry)) {
    const size_t count = used < sizeof(Entry) ? (used + 7) / 8 : kWords;
    const uint64_t ticket = m_next.fetch_add(1, std::memory_order_relaxed);
    Slot& slot = m_slots[ticket % N];
    uint64_t mark = slot.seq.load(std::memory_order_relaxed);
    do {
      if (mark % 2 == 1 || mark > 2 * ticket) return;
    } while (!slot.seq.compare_exchange_weak(mark, 2 * ticket + 1, std::memory_order_relaxed));
    uint64_t words[kWords] = {};
    std::memcpy(words, &entry, sizeof entry);
    for (size_t i = 0; i < count; ++i) slot.words[i].store(words[i], std::memory_order_release);
    slot.seq.store(2 * ticket + 2, std::memory_order_release);
  }

  uint64_t Added() const override { return m_next.load(std::memory_order_acquire); }

  // Copies the entries held, oldest first, into out (room for N); returns how many.
  size_t Snapshot(Entry* out) const {
    const uint64_t end = Added();
    size_t n = 0;
    for (uint64_t ticket = end > N ? end - N : 0; ticket < end; ++ticket) {
      const Slot& slot = m_slots[ticket % N];
      if (slot.seq.load(std::memory_order_acquire) != 2 * ticket + 2) continue;
      uint64_t words[kWords];
      for (size_t i = 0; i < kWords; ++i) words[i] = slot.words[i].load(std::memory_order_acquire);
      // Unchanged after the copy means no later writer's word was read.
      if (slot.seq.load(std::memory_order_acquire) != 2 * ticket + 2) continue;
      std::memcpy(static_cast<void*>(&out[n++]), words, sizeof(Entry));
    }
    return n;
  }

  void VisitLines(LineFunc line, void* context) const override {
    // Static: the ring's copy is too large for an alternate signal stack, and only the one
    // reporting thread visits.
    static Entry copies[N];
    static char text[1024];
    const size_t n = Snapshot(copies);
    for (size_t i = 0; i < n; ++i) {
      cFixedLine out(text, sizeof text);
      copies[i].Format(out);
      line(context, text, out.Size());
    }
  }

 private:
  struct Slot {
    std::atomic<uint64_t> seq{0};
    std::atomic<uint64_t> words[kWords] = {};
  };
  std::atomic<uint64_t> m_next{0};
  Slot m_slots[N];
};

// The rings the crash report prints, in the order they were registered (at most 8; a ring is
// registered once). The rings must live until the process ends.
void RegisterFlightRing(const cFlightRingBase* ring);
size_t FlightRingCount();
const cFlightRingBase* FlightRingAt(size_t index);
