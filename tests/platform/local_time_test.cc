#include "platform/local_time.h"

#include <gtest/gtest.h>
#include <time.h>

namespace platform {
namespace {

TEST(LocalTime, FormatsGiveZeroPaddedFieldsAndLongResultsAreNotCutShort) {
  std::tm tm{};
  ASSERT_NE(::strptime("2026-03-07 09:05:02", "%Y-%m-%d %H:%M:%S", &tm), nullptr);
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  EXPECT_EQ(FormatLocalTime(kFileTimeFormat, t), "2026_03_07-09.05.02");
  EXPECT_EQ(FormatLocalTime(kLineTimeFormat, t), "03_07 09:05:02 ");
  // Built by appending: GCC 12 misreads `std::string(n, c) + "..."` as an out-of-bounds copy.
  const std::string padding(300, 'x');
  std::string format = padding;
  format.append("%Y");
  std::string expected = padding;
  expected.append("2026");
  EXPECT_EQ(FormatLocalTime(format.c_str(), t), expected);
  EXPECT_EQ(FormatLocalTime("", 0), "");
}

}  // namespace
}  // namespace platform
