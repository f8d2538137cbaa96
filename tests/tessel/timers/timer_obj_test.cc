// The system's side of the timer manager: handles, the request helpers and the clocks.
#include "tessel/contracts/timer_manager.h"

#include <gtest/gtest.h>

#include "tessel/contracts/baselib.h"

namespace {

class StepClock : public iTimerClock {
 public:
  std::uint32_t GetMilliSeconds() override { return ms; }
  long GetSeconds() override { return seconds; }
  std::uint32_t ms = 100;
  long seconds = 1'000'000;
};

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
  void SetUp() override {
    tm.Clear();
    tm.SetClock(&clock);
    tm.SetDiff(0);
  }
  void TearDown() override {
    tm.Clear();
    tm.SetDiff(0);
    tm.SetClock(nullptr);
  }
  void RunAt(long seconds, std::uint32_t ms) {
    clock.seconds = seconds;
    clock.ms = ms;
    tm.Run(10);
  }
  cTimerManager& tm = cTimerManager::Instance();
  StepClock clock;
};

TEST_F(TimerObjTest, AddTimerNextDueTimeCountsFromTheManagersSecondWithItsDifference) {
  Counter c;
  tm.SetDiff(50);
  EXPECT_EQ(tm.GetSTime(), 1'000'050);
  ASSERT_EQ(tm.AddTimerNext(TimeRange_Minute, 3, c.GetTimerObj(), 0, "next"), 1);
  RunAt(1'000'000 + 179, 200);
  EXPECT_EQ(c.calls, 0);
  RunAt(1'000'000 + 180, 300);  // GetSTime is now 180 s after the second it was queued at
  EXPECT_EQ(c.calls, 1);
}

TEST_F(TimerObjTest, AddTimeTurnsCountsIntoDueTimes) {
  unsigned long t = 25;
  tm.AddTime(TimeRange_MS, t);
  EXPECT_EQ(t, 125u);
  tm.SetDiff(-10);
  t = 2;
  tm.AddTime(TimeRange_Hour, t);
  EXPECT_EQ(t, 1'000'000u - 10u + 7200u);
  t = 7;
  tm.AddTime(static_cast<TimeRange>(5), t);
  EXPECT_EQ(t, 7u);
  EXPECT_EQ(tm.GetMSTime(), 100u);
}

TEST_F(TimerObjTest, ARangeOfFiveOrMoreIsRefused) {
  Counter c;
  EXPECT_EQ(tm._AddTimer(static_cast<TimeRange>(5), TimerEnum_Once, 1, c.GetTimerObj(), 0), 0);
  EXPECT_EQ(tm._KillTimer(static_cast<TimeRange>(7), TimerEnum_Once, 1, c.GetTimerObj(), 0), 0);
  EXPECT_EQ(tm.CheckTimer(static_cast<TimeRange>(5), TimerEnum_Once, 1, c.GetTimerObj(), 0), 0);
  EXPECT_EQ(tm.AddTimerNext(static_cast<TimeRange>(5), 1, c.GetTimerObj(), 0, "x"), 0);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
  EXPECT_EQ(tm.GetRequestCount(), 0u);
  EXPECT_EQ(c.GetTimerObj()->m_nRef, 1);
}

TEST_F(TimerObjTest, AQueuedRequestHoldsTheHandleBeyondItsObject) {
  auto* c = new Counter;
  cTimerObj* handle = c->GetTimerObj();
  tm.AddTimerNext(TimeRange_MS, 5, handle, 0, "queued");
  EXPECT_EQ(handle->m_nRef, 2);
  delete c;
  EXPECT_EQ(handle->m_nRef, 1);
  EXPECT_FALSE(handle->m_bAlive);
  EXPECT_EQ(handle->m_pOwner, nullptr);
  RunAt(clock.seconds, 200);  // the request is dropped and the handle freed
  EXPECT_EQ(tm.GetTimerCount(), 0u);
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
  RunAt(clock.seconds, 105);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 0);
}

TEST_F(TimerObjTest, DeleteTimerLeavesTheObjectWithoutTimers) {
  Counter c;
  c.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 0);
  c.DeleteTimer();
  EXPECT_EQ(c.GetTimerObj(), nullptr);
  EXPECT_EQ(c.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1), 0);
  c.DeleteTimer();  // twice is harmless
  RunAt(clock.seconds, 200);
  EXPECT_EQ(c.calls, 0);
  c.CreateTimer();
  EXPECT_EQ(c.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1), 1);
}

}  // namespace
