// The system's side of the timer manager: handles, the request helpers and the clocks.
#include "tessel/contracts/timer_manager.h"

#include <gtest/gtest.h>

#include "baselib/fake_clock.h"
#include "tessel/contracts/baselib.h"

namespace {

class Counter : public iTimerObjEx {
 public:
  unsigned long OnTimer(unsigned long) override {
    ++calls;
    return 0;
  }
  int calls = 0;
};

class TimerObjTest : public ::testing::Test {
 protected:
  void TearDown() override { tm.SetDiff(0); }
  cTimerManager& tm = cTimerManager::Instance();
  ManagerClock time;
  const long start = time.clock.seconds;
};

TEST_F(TimerObjTest, AddTimerNextAndAddTimeCountFromTheManagersSecondWithItsDifference) {
  Counter c;
  tm.SetDiff(50);
  EXPECT_EQ(tm.GetSTime(), start + 50);
  ASSERT_EQ(tm.AddTimerNext(TimeRange_Minute, 3, c.GetTimerObj(), 0, "next"), 1);
  time.Step(179'000);
  EXPECT_EQ(c.calls, 0);
  time.Step(1000);  // GetSTime is now 180 s after the second it was queued at
  EXPECT_EQ(c.calls, 1);

  tm.SetDiff(-10);
  unsigned long t = 2;
  tm.AddTime(TimeRange_Hour, t);
  EXPECT_EQ(t, static_cast<unsigned long>(start + 180 - 10 + 7200));
  t = 25;
  tm.AddTime(TimeRange_MS, t);
  EXPECT_EQ(t, time.clock.ms + 25);
}

TEST_F(TimerObjTest, ARangeOfFiveOrMoreIsRefused) {
  Counter c;
  unsigned long t = 7;
  tm.AddTime(static_cast<TimeRange>(5), t);
  EXPECT_EQ(t, 7u);
  EXPECT_EQ(tm._AddTimer(static_cast<TimeRange>(5), TimerEnum_Once, 1, c.GetTimerObj(), 0), 0);
  EXPECT_EQ(tm._KillTimer(static_cast<TimeRange>(7), TimerEnum_Once, 1, c.GetTimerObj(), 0), 0);
  EXPECT_EQ(tm.CheckTimer(static_cast<TimeRange>(5), TimerEnum_Once, 1, c.GetTimerObj(), 0), 0);
  EXPECT_EQ(tm.AddTimerNext(static_cast<TimeRange>(5), 1, c.GetTimerObj(), 0, "x"), 0);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
  EXPECT_EQ(tm.GetRequestCount(), 0u);
  EXPECT_EQ(c.GetTimerObj()->m_nRef, 1);
}

TEST_F(TimerObjTest, ACopiedTimerObjectHasItsOwnHandle) {
  Counter a;
  a.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 0);
  Counter b(a);
  Counter c;
  c = a;
  EXPECT_NE(b.GetTimerObj(), a.GetTimerObj());
  EXPECT_NE(c.GetTimerObj(), a.GetTimerObj());
  EXPECT_EQ(tm.CheckTimer(TimeRange_MS, TimerEnum_Once, 5, b.GetTimerObj(), 0), 0);
  time.Step(5);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 0);
}

TEST_F(TimerObjTest, DeleteTimerLeavesTheObjectWithoutTimers) {
  Counter c;
  c.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 0);
  c.DeleteTimer();
  EXPECT_EQ(c.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1), 0);
  c.DeleteTimer();  // twice is harmless
  time.Step(100);
  EXPECT_EQ(c.calls, 0);
  c.CreateTimer();
  EXPECT_EQ(c.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1), 1);
}

}  // namespace
