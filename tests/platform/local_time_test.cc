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
  EXPECT_EQ(FormatLocalTime((std::string(300, 'x') + "%Y").c_str(), t),
            std::string(300, 'x') + "2026");
  EXPECT_EQ(FormatLocalTime("", 0), "");
}

}  // namespace
}  // namespace platform
