// The flight rings the crash report prints: the last entries, oldest first, one line each.
#include "tessel/core/flight_recorder.h"

#include <gtest/gtest.h>

#include <string>
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

}  // namespace
