#include "tessel/core/flight_ring.h"

#include <time.h>

#include <ctime>
#include <mutex>

#include "tessel/util/civil_date.h"

namespace {

constexpr size_t kMostRings = 8;
std::atomic<const cFlightRingBase*> g_rings[kMostRings];
std::atomic<size_t> g_ringCount{0};
std::atomic<long> g_timeOffset{0};

}  // namespace

cFixedLine& cFixedLine::Bytes(const char* text, size_t n) {
  if (m_size == 0) return *this;
  const size_t room = m_size - 1 - m_fill;
  if (n > room) n = room;
  std::memcpy(m_out + m_fill, text, n);
  m_fill += n;
  Terminate();
  return *this;
}

cFixedLine& cFixedLine::Str(const char* text) {
  return Bytes(text, text != nullptr ? std::strlen(text) : 0);
}

cFixedLine& cFixedLine::Dec(uint64_t value, int width, char pad) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n < width && n < static_cast<int>(sizeof digits)) digits[n++] = pad;
  char text[24];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  return Bytes(text, static_cast<size_t>(n));
}

cFixedLine& cFixedLine::Time(int64_t epochMs) {
  const int64_t local = epochMs / 1000 + g_timeOffset.load(std::memory_order_relaxed);
  const int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  const int64_t secs = local - days * 86400;
  unsigned month, day;
  int64_t year = 0;
  CivilFromDays(days, year, month, day);
  Dec(month, 2, '0').Str("_").Dec(day, 2, '0').Str(" ");
  Dec(static_cast<uint64_t>(secs / 3600), 2, '0').Str(":");
  Dec(static_cast<uint64_t>(secs / 60 % 60), 2, '0').Str(":");
  Dec(static_cast<uint64_t>(secs % 60), 2, '0').Str(".");
  return Dec(static_cast<uint64_t>(epochMs % 1000), 3, '0');
}

void SetFlightTimeOffset(long seconds) {
  g_timeOffset.store(seconds, std::memory_order_relaxed);
}

long FlightTimeOffset() {
  return g_timeOffset.load(std::memory_order_relaxed);
}

void RefreshFlightTimeOffset() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) != nullptr) SetFlightTimeOffset(local.tm_gmtoff);
}

int64_t FlightNowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void RegisterFlightRing(const cFlightRingBase* ring) {
  static std::mutex lock;
  std::lock_guard hold(lock);
  const size_t count = g_ringCount.load();
  bool known = false;
  for (size_t i = 0; i < count; ++i) known = known || g_rings[i].load() == ring;
  if (!known && count < kMostRings) {
    g_rings[count].store(ring);
    g_ringCount.store(count + 1);
  }
}

size_t FlightRingCount() {
  return g_ringCount.load();
}

const cFlightRingBase* FlightRingAt(size_t index) {
  return index < FlightRingCount() ? g_rings[index].load() : nullptr;
}
