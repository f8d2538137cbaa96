#include <gtest/gtest.h>

#include <ctime>

#include "tessel/contracts/loglib.h"

namespace loglib {
namespace {

// A record stamped with a fixed local time.
record at_local(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  record r;
  r.text = "text";
  r.time = std::chrono::system_clock::from_time_t(std::mktime(&tm));
  r.thread = 4711;
  return r;
}

TEST(Modifiers, PrependTimeFillsEveryFieldWithTwoDigitsAndKeepsLiteralText) {
  record r = at_local(2026, 3, 7, 9, 5, 2);
  prepend_time("$MM_$dd $hh:$mm:$ss ")(r);
  EXPECT_EQ(r.text, "03_07 09:05:02 text");

  record y = at_local(2026, 12, 31, 23, 59, 58);
  prepend_time("$yyyy/$yy $$ $x|")(y);
  EXPECT_EQ(y.text, "2026/26 $$ $x|text");
}

TEST(Modifiers, PrependThreadIdUsesTheWritersThread) {
  record r = at_local(2026, 1, 1, 0, 0, 0);
  prepend_thread_id()(r);
  EXPECT_EQ(r.text, "[4711] text");
}

TEST(Modifiers, AppendEnterEndsEachMessageWithExactlyOneLineEnd) {
  record r;
  r.text = "a";
  append_enter()(r);
  EXPECT_EQ(r.text, "a\n");
  append_enter()(r);
  EXPECT_EQ(r.text, "a\n");
  record empty;
  append_enter()(empty);
  EXPECT_EQ(empty.text, "\n");
}

}  // namespace
}  // namespace loglib
