// The flight rings the crash report prints: the last entries, oldest first, one line each.
#include "tessel/core/flight_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> Lines(const cFlightRingBase& ring) {
  std::vector<std::string> lines;
  ring.VisitLines(
      [](void* out, const char* text, size_t n) {
        static_cast<std::vector<std::string>*>(out)->emplace_back(text, n);
      },
      &lines);
  return lines;
}

TEST(FlightRing, KeepsTheLastEntriesOldestFirstEachOnOneLineCutToItsFields) {
  SetFlightTimeOffset(0);
  cFlightCmdRing ring("commands");
  for (int i = 1; i <= 100; ++i) {
    const std::string text = "Cmd(" + std::to_string(i) + ")\n--" + std::string(300, 'x');
    stFlightCmd entry{86400000 + i, "ops@game#3", {}};
    std::snprintf(entry.text, sizeof entry.text, "%s", text.c_str());
    ring.Add(entry);
  }
  const std::vector<std::string> lines = Lines(ring);
  ASSERT_EQ(lines.size(), kFlightEntries);
  EXPECT_EQ(ring.Added(), 100u);
  EXPECT_EQ(lines.front().substr(0, 40), "01_02 00:00:00.037  ops@game#3  Cmd(37).");
  EXPECT_EQ(lines.back().substr(0, 41), "01_02 00:00:00.100  ops@game#3  Cmd(100).");
  EXPECT_EQ(lines.back().size(), 32 + sizeof(stFlightCmd::text) - 1);
}

// Every field of an entry is told by its time, so that a copy mixing two entries shows.
stFlightCmd Numbered(int64_t value) {
  stFlightCmd entry{value, {}, {}};
  std::snprintf(entry.requester, sizeof entry.requester, "%lld", static_cast<long long>(value));
  std::memset(entry.text, 'a' + static_cast<int>(value % 26), sizeof entry.text - 1);
  return entry;
}

bool Whole(const stFlightCmd& entry) {
  return Numbered(entry.timeMs).requester == std::string(entry.requester) &&
         std::string(entry.text) == Numbered(entry.timeMs).text;
}

// Writers on three threads go round the ring many times while a reader copies it: every copy
// is one writer's whole entry (the ThreadSanitizer suite runs it too).
TEST(FlightRing, AReaderCopiesOnlyWholeEntriesWhileThreadsAdd) {
  static cFlightCmdRing ring("commands");
  static stFlightCmd copies[kFlightEntries];
  std::atomic<int> running{3};
  std::atomic<bool> reading{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w)
    writers.emplace_back([w, &running, &reading] {
      while (!reading) std::this_thread::yield();
      for (int64_t i = 0; i < 20000; ++i) ring.Add(Numbered(w * 1000000 + i));
      --running;
    });
  size_t torn = 0;
  reading = true;
  while (running > 0) {
    const size_t n = ring.Snapshot(copies);
    for (size_t i = 0; i < n; ++i) torn += !Whole(copies[i]);
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(torn, 0u);
}

}  // namespace
