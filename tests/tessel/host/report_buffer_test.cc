// The crash report's hand-built clock text, which a signal handler writes without the C library.
#include "tessel/host/report_buffer.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

std::string Formatted(int64_t secs, int64_t gmtOffset) {
  char out[64];
  cReportBuffer::FormatTime(secs, gmtOffset, out, sizeof out);
  return out;
}

// The same instant as the C library's calendar gives it.
std::string FromCalendar(std::time_t secs) {
  std::tm t{};
  gmtime_r(&secs, &t);
  char out[64];
  std::strftime(out, sizeof out, "%H:%M:%S", &t);
  return std::to_string(t.tm_mon + 1) + "/" + std::to_string(t.tm_mday) + "/" +
         std::to_string(t.tm_year + 1900) + " " + out;
}

}  // namespace

// Every month of every year from 1970 to 2100, leap days and century years included.
TEST(ReportBuffer, TimesReadAsTheCalendarGivesThemInEveryMonthAndBeforeTheEpoch) {
  for (int64_t secs = 0; secs < int64_t{4102444800}; secs += 9 * 86400 + 3661)
    ASSERT_EQ(Formatted(secs, 0), FromCalendar(secs)) << secs;
  EXPECT_EQ(Formatted(951782400, 0), "2/29/2000 00:00:00");
  EXPECT_EQ(Formatted(0, -1), "12/31/1969 23:59:59");
  EXPECT_EQ(Formatted(1700000000, 8 * 3600), "11/15/2023 06:13:20");
}
