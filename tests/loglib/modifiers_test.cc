#include <gtest/gtest.h>

#include <time.h>

#include <ctime>

#include "tessel/contracts/loglib.h"

namespace loglib {
namespace {

// A record of thread 4711 stamped with a local time given as "yyyy-MM-dd hh:mm:ss".
record at_local(const char* when) {
  std::tm tm{};
  ::strptime(when, "%Y-%m-%d %H:%M:%S", &tm);
  tm.tm_isdst = -1;
  return record{"text", std::chrono::system_clock::from_time_t(std::mktime(&tm)), 4711};
}

TEST(Modifiers, PrependTimeFillsEveryFieldWithTwoDigitsAndKeepsLiteralText) {
  record r = at_local("2026-03-07 09:05:02");
  prepend_time("$MM_$dd $hh:$mm:$ss ")(r);
  EXPECT_EQ(r.text, "03_07 09:05:02 text");
  record y = at_local("2026-12-31 23:59:58");
  prepend_time("$yyyy/$yy $$ $x|")(y);
  EXPECT_EQ(y.text, "2026/26 $$ $x|text");
  prepend_thread_id()(y);
  EXPECT_EQ(y.text, "[4711] 2026/26 $$ $x|text");
}

TEST(Modifiers, AppendEnterEndsEachMessageWithExactlyOneLineEnd) {
  const std::pair<const char*, const char*> cases[] = {{"a", "a\n"}, {"a\n", "a\n"}, {"", "\n"}};
  for (const auto& [text, ended] : cases) {
    record r{text, {}, 0};
    append_enter()(r);
    EXPECT_EQ(r.text, ended) << text;
  }
}

}  // namespace
}  // namespace loglib
