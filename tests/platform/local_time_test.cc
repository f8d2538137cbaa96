#include "platform/local_time.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST(LocalTime, FileAndLineFormatsGiveZeroPaddedFields) {
  std::time_t t = LocalTime(2026, 3, 7, 9, 5, 2);
  EXPECT_EQ(FormatLocalTime(kFileTimeFormat, t), "2026_03_07-09.05.02");
  EXPECT_EQ(FormatLocalTime(kLineTimeFormat, t), "03_07 09:05:02 ");
}

TEST(LocalTime, LongResultsAreNotCutShort) {
  std::string format(300, 'x');
  format += "%Y";
  EXPECT_EQ(FormatLocalTime(format.c_str(), LocalTime(2026, 1, 2, 3, 4, 5)),
            std::string(300, 'x') + "2026");
  EXPECT_EQ(FormatLocalTime("", 0), "");
}

}  // namespace
}  // namespace platform
