#include "tessel/contracts/timer_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "testkit/fake_clock.h"

namespace {

using Ids = std::vector<unsigned long>;

// Records each firing; answers with `result`; can act from inside OnTimer.
struct Probe : iTimerObjEx {
  unsigned long OnTimer(unsigned long id) override {
    fired.push_back(id);
    if (action) action(id);
    return result;
  }
  Ids fired;
  unsigned long result = 1;
  std::function<void(unsigned long)> action;
};

struct SelfDeleter : iTimerObjEx {
  unsigned long OnTimer(unsigned long) override {
    delete this;
    return 1;
  }
};

struct TimerManagerTest : ::testing::Test {
  ManagerClock time;
  cTimerManager& tm = time.tm;
};

// Also across the clock's wrap; a late repeating timer fires once, not once per missed beat.
TEST_F(TimerManagerTest, OneShotsFireOnceAndRepeatingTimersUntilOnTimerAnswersZero) {
  time.ms = 0xFFFFFFFFu - 20;
  tm.SetClock(&time);
  Probe once, at, p;
  EXPECT_EQ(once.AddTimer(TimeRange_MS, TimerEnum_Once, 50, 7), 1);
  unsigned long due = 40;
  tm.AddTime(TimeRange_MS, due);
  at.AddTimer(TimeRange_MS, TimerEnum_At, due, 0);
  ASSERT_EQ(p.AddTimer(TimeRange_Second, TimerEnum_Repeat, 2, 1), 1);
  time.Step(39);  // the clock wrapped
  time.Step(1);
  EXPECT_TRUE(once.fired.empty());
  EXPECT_EQ(at.fired.size(), 1u);
  time.Step(10);
  EXPECT_EQ(once.fired, Ids{7});
  for (int i = 0; i < 10; ++i) time.Step(500);  // 5 seconds
  EXPECT_EQ(p.fired.size(), 2u);
  time.Step(10000);
  EXPECT_EQ(p.fired.size(), 3u);
  time.Step(1);
  EXPECT_EQ(p.fired.size(), 3u);
  p.result = 0;
  time.Step(2000);
  time.Step(10000);
  EXPECT_EQ(p.fired.size(), 4u);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
  // Spans beyond the clocks' reach never come; with the calendar set back an hour (half of it by
  // the difference OS_SetTime sets) a span goes on, a calendar time waits for the clock.
  Probe far, span, calendar;
  far.AddTimer(TimeRange_MS, TimerEnum_Repeat, ULONG_MAX, 1);
  far.AddTimer(TimeRange_Day, TimerEnum_Once, ULONG_MAX / 2, 2);
  tm.AddTimerNext(TimeRange_Day, ULONG_MAX / 2, far.GetTimerObj(), 3, "far");
  span.AddTimer(TimeRange_Second, TimerEnum_Repeat, 2, 1);
  calendar.AddTimer(TimeRange_Second, TimerEnum_At, static_cast<unsigned long>(tm.GetSTime()), 2);
  time.set = -1800;
  tm.SetDiff(-1800);
  for (int i = 0; i < 3; ++i) time.Step(1000);
  EXPECT_EQ(far.fired.size() + calendar.fired.size(), 0u);
  EXPECT_EQ(span.fired, Ids{1});
}

// Requests are consumed in order at the next run; an id added again replaces the first. Timers
// added during a pass, even when due, wait for the next run; a nested Run does nothing.
TEST_F(TimerManagerTest, RequestsActInOrderAndTimersAddedDuringAPassWaitForTheNextRun) {
  Probe p, r, q;
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 10, 1);
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 10, 2);
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 30, 2);
  EXPECT_EQ(tm.GetTimerCount(), 2u);
  EXPECT_EQ(p.KillTimer(TimeRange_MS, TimerEnum_Once, 10, 1), 1);
  EXPECT_EQ(p.KillTimer(TimeRange_MS, TimerEnum_Once, 10, 1), 0);
  EXPECT_EQ(tm.CheckTimer(TimeRange_MS, TimerEnum_Once, 10, p.GetTimerObj(), 1), 0);
  r.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  r.AddTimer(TimeRange_Second, TimerEnum_Once, 1, 1);
  r.ResetTimer();
  r.AddTimer(TimeRange_MS, TimerEnum_Once, 10, 2);
  EXPECT_EQ(tm.AddTimer(TimeRange_MS, TimerEnum_Once, 10, q.GetTimerObj(), 1, "a"), 1);
  EXPECT_EQ(tm.AddTimer(TimeRange_MS, TimerEnum_Once, 10, q.GetTimerObj(), 2, "b"), 1);
  EXPECT_EQ(tm.KillTimer(TimeRange_MS, TimerEnum_Once, 10, q.GetTimerObj(), 1, "a"), 1);
  EXPECT_EQ(tm.GetRequestCount(), 3u);
  time.Step(10);
  EXPECT_EQ(tm.GetRequestCount(), 0u);
  EXPECT_TRUE(p.fired.empty());
  time.Step(2000);
  EXPECT_EQ(p.fired, Ids{2});
  EXPECT_EQ(r.fired, Ids{2});
  EXPECT_EQ(q.fired, Ids{2});
  EXPECT_EQ(q.GetTimerObj()->m_nRef, 1);
  Probe inner;
  bool innerFiredInNestedRun = true;
  p.action = [&](unsigned long id) {
    p.AddTimer(TimeRange_MS, TimerEnum_At, 0, id + 1);
    tm.Run(0);
    innerFiredInNestedRun = !inner.fired.empty();
  };
  tm.AddTimer(TimeRange_MS, TimerEnum_Once, 0, p.GetTimerObj(), 9, "payday");
  tm.AddTimer(TimeRange_MS, TimerEnum_Once, 0, inner.GetTimerObj(), 0, "inner");
  time.Step(1);
  EXPECT_EQ(p.fired, (Ids{2, 9}));
  EXPECT_FALSE(innerFiredInNestedRun);
  EXPECT_EQ(inner.fired.size(), 1u);
  time.Step(1);
  EXPECT_EQ(p.fired, (Ids{2, 9, 10}));
}

// The handle outlives its object, which may also end its timers from inside OnTimer.
TEST_F(TimerManagerTest, ATimerNeverReachesAnObjectThatEndedItsTimersOrItself) {
  auto* p = new Probe;
  p->AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  tm.AddTimer(TimeRange_Second, TimerEnum_Repeat, 1, p->GetTimerObj(), 1, "queued");
  Probe copy(*p), assigned, killer, resetter, deleted;
  assigned = *p;
  delete p;
  killer.action = [&](unsigned long id) {
    killer.KillTimer(TimeRange_MS, TimerEnum_Repeat, 0, id);
  };
  killer.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  resetter.action = [&](unsigned long) { resetter.ResetTimer(); };
  resetter.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  (new SelfDeleter)->AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  deleted.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 0);
  deleted.DeleteTimer();
  deleted.DeleteTimer();  // twice is harmless
  EXPECT_EQ(deleted.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1), 0);
  for (int i = 0; i < 200; ++i) time.Step(10);
  EXPECT_EQ(killer.fired.size(), 1u);
  EXPECT_EQ(resetter.fired.size(), 1u);
  EXPECT_TRUE(deleted.fired.empty());
  EXPECT_TRUE(copy.fired.empty());
  EXPECT_TRUE(assigned.fired.empty());
  EXPECT_EQ(tm.GetTimerCount(), 0u);
  EXPECT_EQ(tm.GetRequestCount(), 0u);
  deleted.CreateTimer();
  EXPECT_EQ(deleted.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1), 1);
}

}  // namespace
