#include "tessel/contracts/game_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

stGameTime At(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s = 0) {
  return {y, mo, d, h, mi, s};
}

// Records "kind=value" for each change.
struct Changes : iGameTimeCallback {
  void OnGameTime(GameTimeEnum kind, unsigned long value) override {
    seen.push_back(std::to_string(kind) + "=" + std::to_string(value));
  }
  std::vector<std::string> seen;
};

struct Alarm : iGameTimeCallbackAt {
  void OnGameTimeAt(const stGameTime& at) override { rang.push_back(at.ToString()); }
  std::vector<std::string> rang;
};

class GameTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(clock.SetGameTime(At(2006, 12, 31, 23, 58, 0)));
    for (int k = 0; k < GameTime_Max; ++k) clock.RegistCallback(GameTimeEnum(k), &changes);
  }
  cGameTime clock;
  Changes changes;
};

TEST_F(GameTimeTest, EveryFieldChangeRunsItsCallbacksInOrderFromYearToMinute) {
  clock.Run(60'000);
  EXPECT_EQ(changes.seen, std::vector<std::string>{"4=59"});
  clock.Run(60'000);
  EXPECT_EQ(changes.seen, (std::vector<std::string>{"4=59", "0=2007", "1=1", "2=1", "3=0", "4=0"}));
  EXPECT_EQ(clock.GetGameTime().ToString(), "2007/1/1 0:0:0");
  changes.seen.clear();
  ASSERT_TRUE(clock.SetGameTime(At(2007, 1, 1, 5, 0, 30)));
  EXPECT_EQ(changes.seen, std::vector<std::string>{"3=5"}) << "setting reports each changed field";
}

TEST_F(GameTimeTest, TheMultiplierScalesGameTimeAndEachMinuteIsReported) {
  clock.SetTimeMul(60);  // one real second is one game minute
  clock.Run(999);
  EXPECT_EQ(changes.seen.size(), 0u);
  EXPECT_EQ(clock.GetGameTime().m_nSec, 59u);
  clock.Run(1);
  EXPECT_EQ(changes.seen, std::vector<std::string>{"4=59"});
  changes.seen.clear();
  clock.Run(3000);  // three game minutes in one run: three minute changes
  EXPECT_EQ(std::count(changes.seen.begin(), changes.seen.end(), "4=0"), 1);
  EXPECT_EQ(std::count(changes.seen.begin(), changes.seen.end(), "4=1"), 1);
  EXPECT_EQ(std::count(changes.seen.begin(), changes.seen.end(), "4=2"), 1);
  EXPECT_EQ(clock.GetGameTime().ToString(), "2007/1/1 0:2:0");
  for (int stop : {0, -5}) {
    clock.SetTimeMul(stop);
    clock.Run(600'000);
  }
  EXPECT_EQ(clock.GetGameTime().ToString(), "2007/1/1 0:2:0") << "a multiplier of 0 or less stops";
}

TEST_F(GameTimeTest, MonthEndsFollowTheCalendarAndLeapYearsAndInvalidTimesAreRefused) {
  const std::pair<stGameTime, const char*> steps[] = {{At(2008, 2, 28, 23, 59), "2008/2/29 0:0:0"},
                                                      {At(2100, 2, 28, 23, 59), "2100/3/1 0:0:0"}};
  for (const auto& [from, to] : steps) {
    ASSERT_TRUE(clock.SetGameTime(from));
    clock.Run(60'000);
    EXPECT_EQ(clock.GetGameTime().ToString(), to);
  }
  for (const stGameTime& bad :
       {At(2007, 2, 29, 0, 0), At(2007, 13, 1, 0, 0), At(2007, 1, 1, 24, 0)})
    EXPECT_FALSE(clock.SetGameTime(bad)) << bad;
}

TEST_F(GameTimeTest, AHugeStepIsSpreadOverRunsWithoutLosingTime) {
  clock.SetTimeMul(1000);
  clock.Run(100u * 24 * 3600);  // 100 game days in one run
  EXPECT_EQ(std::count(changes.seen.begin(), changes.seen.end(), "2=1"), 1);
  EXPECT_EQ(std::count(changes.seen.begin(), changes.seen.end(), "1=2"), 0);
  EXPECT_LE(changes.seen.size(), static_cast<std::size_t>(cGameTime::kMaxStepsPerRun) * 5);
  for (int i = 0; i < 3; ++i) clock.Run(0);
  EXPECT_EQ(clock.GetGameTime().ToString(), "2007/4/10 23:58:0");
  EXPECT_EQ(std::count(changes.seen.begin(), changes.seen.end(), "2=10"), 4);
}

TEST_F(GameTimeTest, ACallbackMayUnregisterItselfOrAnotherDuringDispatch) {
  struct Leaver : iGameTimeCallback {
    void OnGameTime(GameTimeEnum kind, unsigned long) override {
      ++calls;
      clock->UnregistCallback(kind, this);
      clock->UnregistCallback(kind, other);
    }
    cGameTime* clock = nullptr;
    iGameTimeCallback* other = nullptr;
    int calls = 0;
  };
  cGameTime fresh;
  Leaver leaver;
  Changes after;
  leaver.clock = &fresh;
  leaver.other = &after;
  fresh.RegistCallback(GameTime_Min, &leaver);
  fresh.RegistCallback(GameTime_Min, &after);
  fresh.RegistCallback(GameTimeEnum(9), &after);  // ignored
  fresh.Run(120'000);
  EXPECT_EQ(leaver.calls, 1);
  EXPECT_TRUE(after.seen.empty());
}

TEST_F(GameTimeTest, CallbacksAtATimeRunOnceWhenTheClockReachesIt) {
  Alarm alarm, cancelled;
  clock.RegistCallbackAt(At(2006, 12, 31, 23, 59), &alarm);
  clock.RegistCallbackAt(At(2007, 1, 1, 0, 0), &alarm);
  clock.RegistCallbackAt(At(2007, 1, 1, 0, 0), &cancelled);
  clock.UnregistCallbackAt(At(2007, 1, 1, 0, 0), &cancelled);
  clock.Run(60'000);
  EXPECT_EQ(alarm.rang, std::vector<std::string>{"2006/12/31 23:59:0"});
  clock.Run(600'000);
  EXPECT_EQ(alarm.rang.size(), 2u);
  EXPECT_TRUE(cancelled.rang.empty());
  // A time already passed rings at the next change.
  clock.RegistCallbackAt(At(2000, 1, 1, 0, 0), &alarm);
  clock.Run(60'000);
  EXPECT_EQ(alarm.rang.size(), 3u);
}

TEST(GameTimeValueTest, OrderingIgnoresSecondsAndTextRoundTrips) {
  EXPECT_FALSE(At(2006, 5, 1, 10, 20, 59) < At(2006, 5, 1, 10, 20, 0));
  EXPECT_FALSE(At(2006, 5, 1, 10, 20, 0) < At(2006, 5, 1, 10, 20, 59));
  EXPECT_TRUE(At(2005, 12, 31, 23, 59) < At(2006, 1, 1, 0, 0));
  stGameTime t;
  ASSERT_TRUE(t.FromString("2007-06-02-11-21-01"));
  EXPECT_EQ(t.ToString(), "2007/6/2 11:21:1");
  EXPECT_FALSE(t.FromString("2006/5/1 10:20"));
  EXPECT_FALSE(t.FromString("tomorrow"));
  EXPECT_EQ(t.ToString(), "2007/6/2 11:21:1");
}

}  // namespace
