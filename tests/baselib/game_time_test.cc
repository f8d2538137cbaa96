#include "tessel/contracts/game_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;
using At = stGameTime;

// Records "kind=value" for each change and the times of its alarms.
struct Changes : iGameTimeCallback, iGameTimeCallbackAt {
  void OnGameTime(GameTimeEnum kind, unsigned long value) override {
    seen.push_back(std::to_string(kind) + "=" + std::to_string(value));
  }
  void OnGameTimeAt(const stGameTime& at) override { rang.push_back(at.ToString()); }
  long Count(const char* change) const { return std::count(seen.begin(), seen.end(), change); }
  Texts seen, rang;
};

struct GameTimeTest : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(clock.SetGameTime(At{2006, 12, 31, 23, 58, 0}));
    for (int k = 0; k < GameTime_Max; ++k) clock.RegistCallback(GameTimeEnum(k), &changes);
  }
  cGameTime clock;
  Changes changes;
};

// Changes come from year to minute, each minute of a run; a multiplier of 0 or less stops time.
TEST_F(GameTimeTest, EveryFieldChangeRunsItsCallbacksInOrderAndTheMultiplierScalesTime) {
  clock.Run(60'000);
  clock.Run(60'000);
  EXPECT_EQ(changes.seen, (Texts{"4=59", "0=2007", "1=1", "2=1", "3=0", "4=0"}));
  changes.seen.clear();
  clock.SetTimeMul(60);  // one real second is one game minute
  clock.Run(999);
  EXPECT_TRUE(changes.seen.empty());
  clock.Run(1);
  clock.Run(2000);
  EXPECT_EQ(changes.seen, (Texts{"4=1", "4=2", "4=3"}));
  for (int stop : {0, -5}) {
    clock.SetTimeMul(stop);
    clock.Run(600'000);
  }
  EXPECT_EQ(clock.GetGameTime().ToString(), "2007/1/1 0:3:0");
  changes.seen.clear();
  ASSERT_TRUE(clock.SetGameTime(At{2007, 1, 1, 5, 3, 30}));
  EXPECT_EQ(changes.seen, Texts{"3=5"}) << "setting reports each changed field";
}

TEST_F(GameTimeTest, MonthEndsFollowTheCalendarAndLeapYearsAndInvalidTimesAreRefused) {
  const std::pair<stGameTime, const char*> steps[] = {
      {At{2008, 2, 28, 23, 59}, "2008/2/29 0:0:0"},
      {At{2100, 2, 28, 23, 59}, "2100/3/1 0:0:0"},
      {At{UINT32_MAX, 12, 31, 23, 59, 30}, "4294967295/12/31 23:59:59"}};
  for (const auto& [from, to] : steps) {
    ASSERT_TRUE(clock.SetGameTime(from));
    clock.Run(60'000);
    EXPECT_EQ(clock.GetGameTime().ToString(), to);
  }
  for (const stGameTime& bad :
       {At{2007, 2, 29, 0, 0}, At{2007, 13, 1, 0, 0}, At{2007, 1, 1, 24, 0}})
    EXPECT_FALSE(clock.SetGameTime(bad)) << bad;
  // Ordering ignores seconds; the text form round-trips and a bad text changes nothing.
  EXPECT_FALSE((At{2006, 5, 1, 10, 20, 59} < At{2006, 5, 1, 10, 20, 0}));
  EXPECT_TRUE((At{2005, 12, 31, 23, 59} < At{2006, 1, 1, 0, 0}));
  stGameTime t;
  ASSERT_TRUE(t.FromString("2007-06-02-11-21-01 \r\n"));  // blanks may follow
  for (const char* bad : {"2006/5/1 10:20", "-3/5/1 10:20:0", "4294967296/5/1 10:20:0",
                          "2006/5/1 10:20:1garbage", "2006/5/1 10:20:5 9"})
    EXPECT_FALSE(t.FromString(bad)) << bad;
  EXPECT_EQ(t.ToString(), "2007/6/2 11:21:1");
}

TEST_F(GameTimeTest, AHugeStepIsSpreadOverRunsWithoutLosingTime) {
  clock.SetTimeMul(1000);
  clock.Run(100u * 24 * 3600);  // 100 game days in one run
  EXPECT_EQ(changes.Count("2=1"), 1);
  EXPECT_EQ(changes.Count("1=2"), 0) << "the rest waits";
  EXPECT_LE(changes.seen.size(), static_cast<std::size_t>(cGameTime::kMaxStepsPerRun) * 5);
  for (int i = 0; i < 3; ++i) clock.Run(0);
  EXPECT_EQ(clock.GetGameTime().ToString(), "2007/4/10 23:58:0");
  EXPECT_EQ(changes.Count("2=10"), 4);
  // At most a year waits: the clock stands soon after a huge multiplier is set back.
  clock.SetTimeMul(INT_MAX);
  for (int i = 0; i < 100; ++i) clock.Run(10);
  clock.SetTimeMul(1);
  for (int i = 0; i < 13; ++i) clock.Run(0);
  const std::string after = clock.GetGameTime().ToString();
  clock.Run(0);
  EXPECT_EQ(clock.GetGameTime().ToString(), after);
}

// Alarms ring once at their time (a time already passed at the next change), a cancelled never.
TEST_F(GameTimeTest, CallbacksMayLeaveDuringDispatchAndAlarmsRingOnce) {
  Changes after, alarm, cancelled;
  struct Leaver : iGameTimeCallback {
    void OnGameTime(GameTimeEnum kind, unsigned long) override {
      ++calls;
      clock->UnregistCallback(kind, this);
      clock->UnregistCallback(kind, other);
    }
    cGameTime* clock = nullptr;
    iGameTimeCallback* other = nullptr;
    int calls = 0;
  } leaver;
  leaver.clock = &clock;
  leaver.other = &after;
  clock.RegistCallback(GameTime_Min, &leaver);
  clock.RegistCallback(GameTime_Min, &after);
  clock.RegistCallback(GameTimeEnum(9), &after);  // ignored
  clock.RegistCallbackAt(At{2006, 12, 31, 23, 59}, &alarm);
  clock.RegistCallbackAt(At{2007, 1, 1, 0, 0}, &alarm);
  clock.RegistCallbackAt(At{2007, 1, 1, 0, 0}, &cancelled);
  clock.UnregistCallbackAt(At{2007, 1, 1, 0, 0}, &cancelled);
  clock.Run(60'000);
  EXPECT_EQ(alarm.rang, std::vector<std::string>{"2006/12/31 23:59:0"});
  clock.Run(600'000);
  EXPECT_EQ(leaver.calls, 1);
  EXPECT_TRUE(after.seen.empty());
  EXPECT_TRUE(cancelled.rang.empty());
  EXPECT_EQ(alarm.rang.size(), 2u);
  clock.RegistCallbackAt(At{2000, 1, 1, 0, 0}, &alarm);
  clock.Run(60'000);
  EXPECT_EQ(alarm.rang.size(), 3u);
}

TEST_F(GameTimeTest, AThrowingCallbackIsReportedAndTheOthersGoOn) {
  struct Thrower : iGameTimeCallback, iGameTimeCallbackAt {
    void OnGameTime(GameTimeEnum, unsigned long) override { throw 7; }
    void OnGameTimeAt(const stGameTime&) override { throw 7; }
  } bad;
  clock.RegistCallback(GameTime_Min, &bad);
  clock.RegistCallback(GameTime_Min, &changes);
  clock.RegistCallbackAt(At{2006, 12, 31, 23, 59}, &bad);
  clock.RegistCallbackAt(At{2006, 12, 31, 23, 59}, &changes);
  clock.RegistCallbackAt(At{2007, 1, 1, 0, 0}, &changes);
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(clock.Run(60'000); clock.Run(60'000));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("alarm 2006/12/31 23:59:0 error unknown"),
            std::string::npos);
  EXPECT_EQ(changes.rang, (Texts{"2006/12/31 23:59:0", "2007/1/1 0:0:0"}));
  EXPECT_EQ(changes.Count("4=0"), 2);
}

}  // namespace
