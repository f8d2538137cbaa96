#include "tessel/contracts/timer_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <vector>

#include "fake_clock.h"

namespace {

// Records each firing; answers with `result`; can act from inside OnTimer.
class Probe : public iTimerObjEx {
 public:
  unsigned long OnTimer(unsigned long id) override {
    fired.push_back(id);
    if (action) action(id);
    return result;
  }
  std::vector<unsigned long> fired;
  unsigned long result = 1;
  std::function<void(unsigned long)> action;
};

class SelfDeleter : public iTimerObjEx {
 public:
  unsigned long OnTimer(unsigned long) override {
    delete this;
    return 1;
  }
};

class TimerManagerTest : public ::testing::Test {
 protected:
  cTimerManager& tm = cTimerManager::Instance();
  ManagerClock time;
};

TEST_F(TimerManagerTest, OneShotAfterIntervalFiresOnceWhenDue) {
  Probe p;
  EXPECT_EQ(p.AddTimer(TimeRange_MS, TimerEnum_Once, 50, 7), 1);
  time.Step(49);
  EXPECT_TRUE(p.fired.empty());
  time.Step(1);
  EXPECT_EQ(p.fired, std::vector<unsigned long>{7});
  time.Step(100);
  EXPECT_EQ(p.fired.size(), 1u);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
}

TEST_F(TimerManagerTest, RepeatingTimerFiresEachIntervalUntilOnTimerReturnsZero) {
  Probe p;
  ASSERT_EQ(p.AddTimer(TimeRange_Second, TimerEnum_Repeat, 2, 1), 1);
  for (int i = 0; i < 10; ++i) time.Step(500);  // 5 seconds
  EXPECT_EQ(p.fired.size(), 2u);
  p.result = 0;
  time.Step(1000);
  EXPECT_EQ(p.fired.size(), 3u);
  time.Step(10000);
  EXPECT_EQ(p.fired.size(), 3u);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
}

TEST_F(TimerManagerTest, RepeatingTimerThatFellBehindFiresOnceNotOncePerMissedBeat) {
  Probe p;
  p.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  time.Step(1000);
  EXPECT_EQ(p.fired.size(), 1u);
  time.Step(10);
  EXPECT_EQ(p.fired.size(), 2u);
}

TEST_F(TimerManagerTest, MillisecondTimersSurviveTheWrapOfTheClock) {
  time.clock.ms = 0xFFFFFFFFu - 20;
  tm.SetClock(&time.clock);
  Probe p;
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 50, 0);
  unsigned long due = 40;
  tm.AddTime(TimeRange_MS, due);
  Probe q;
  q.AddTimer(TimeRange_MS, TimerEnum_At, due, 0);
  time.Step(30);  // the clock wrapped
  EXPECT_TRUE(p.fired.empty());
  EXPECT_TRUE(q.fired.empty());
  time.Step(10);
  EXPECT_EQ(q.fired.size(), 1u);
  time.Step(10);
  EXPECT_EQ(p.fired.size(), 1u);
}

TEST_F(TimerManagerTest, KillTimerRemovesThePendingTimerOnlyAndAnIdAddedAgainIsReplaced) {
  Probe p;
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 10, 1);
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 10, 2);
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 30, 2);
  EXPECT_EQ(tm.GetTimerCount(), 2u);
  EXPECT_EQ(tm.CheckTimer(TimeRange_MS, TimerEnum_Once, 10, p.GetTimerObj(), 1), 1);
  EXPECT_EQ(p.KillTimer(TimeRange_MS, TimerEnum_Once, 10, 1), 1);
  EXPECT_EQ(p.KillTimer(TimeRange_MS, TimerEnum_Once, 10, 1), 0);
  EXPECT_EQ(tm.CheckTimer(TimeRange_MS, TimerEnum_Once, 10, p.GetTimerObj(), 1), 0);
  time.Step(10);
  EXPECT_TRUE(p.fired.empty());
  time.Step(20);
  EXPECT_EQ(p.fired, std::vector<unsigned long>{2});
}

TEST_F(TimerManagerTest, BadArgumentsRegisterNothing) {
  Probe p;
  EXPECT_EQ(p.AddTimer(static_cast<TimeRange>(5), TimerEnum_Once, 1, 0), 0);
  EXPECT_EQ(p.AddTimer(TimeRange_MS, static_cast<TimerEnum>(3), 1, 0), 0);
  EXPECT_EQ(p.AddTimer(TimeRange_MS, TimerEnum_Repeat, 0, 0), 0);
  EXPECT_EQ(tm._AddTimer(TimeRange_MS, TimerEnum_Once, 1, nullptr, 0), 0);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
}

TEST_F(TimerManagerTest, ATimerNeverReachesAnObjectDestroyedBeforeItFires) {
  auto* p = new Probe;
  p->AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  tm.AddTimer(TimeRange_Second, TimerEnum_Repeat, 1, p->GetTimerObj(), 1, "queued");
  delete p;  // the manager still holds the handle, now dead
  time.Step(2000);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
  EXPECT_EQ(tm.GetRequestCount(), 0u);
}

TEST_F(TimerManagerTest, ResetTimerKillsEveryTimerOfTheOldHandle) {
  Probe p;
  p.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  p.AddTimer(TimeRange_Second, TimerEnum_Once, 1, 1);
  p.ResetTimer();
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 10, 2);
  time.Step(2000);
  EXPECT_EQ(p.fired, std::vector<unsigned long>{2});
}

TEST_F(TimerManagerTest, AnObjectMayKillResetOrDestroyItselfInsideOnTimer) {
  Probe killer;
  killer.action = [&](unsigned long id) {
    killer.KillTimer(TimeRange_MS, TimerEnum_Repeat, 0, id);
  };
  killer.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  Probe resetter;
  resetter.action = [&](unsigned long) { resetter.ResetTimer(); };
  resetter.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  (new SelfDeleter)->AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 0);
  for (int i = 0; i < 5; ++i) time.Step(10);
  EXPECT_EQ(killer.fired.size(), 1u);
  EXPECT_EQ(resetter.fired.size(), 1u);
  EXPECT_EQ(tm.GetTimerCount(), 0u);
}

TEST_F(TimerManagerTest, TimersAddedDuringAPassWaitForTheNextRun) {
  Probe p;
  // Each firing adds a timer that is already due: it must not fire in the same pass.
  p.action = [&](unsigned long id) { p.AddTimer(TimeRange_MS, TimerEnum_At, 0, id + 1); };
  p.AddTimer(TimeRange_MS, TimerEnum_Once, 0, 0);
  time.Step(1);
  EXPECT_EQ(p.fired.size(), 1u);
  time.Step(1);
  EXPECT_EQ(p.fired.size(), 2u);
}

TEST_F(TimerManagerTest, RequestsAreConsumedInOrderAtTheNextRun) {
  Probe p;
  EXPECT_EQ(tm.AddTimer(TimeRange_MS, TimerEnum_Once, 10, p.GetTimerObj(), 1, "a"), 1);
  EXPECT_EQ(tm.AddTimer(TimeRange_MS, TimerEnum_Once, 10, p.GetTimerObj(), 2, "b"), 1);
  EXPECT_EQ(tm.KillTimer(TimeRange_MS, TimerEnum_Once, 10, p.GetTimerObj(), 1, "a"), 1);
  EXPECT_EQ(tm.AddTimer(TimeRange_MS, TimerEnum_Once, 10, nullptr, 3, "null"), 0);
  EXPECT_EQ(tm.GetRequestCount(), 3u);
  EXPECT_EQ(p.GetTimerObj()->m_nRef, 4);
  time.Step(0);
  EXPECT_EQ(tm.GetRequestCount(), 0u);
  EXPECT_EQ(tm.GetTimerCount(), 1u);
  EXPECT_EQ(p.GetTimerObj()->m_nRef, 2);
  time.Step(10);
  EXPECT_EQ(p.fired, std::vector<unsigned long>{2});
  EXPECT_EQ(p.GetTimerObj()->m_nRef, 1);
}

TEST_F(TimerManagerTest, SetDiffMovesTheSecondsClockAndItsTimers) {
  Probe p;
  p.AddTimer(TimeRange_Hour, TimerEnum_Once, 1, 0);
  const long before = tm.GetSTime();
  tm.SetDiff(3600);
  EXPECT_EQ(tm.GetSTime(), before + 3600);
  EXPECT_EQ(time.clock.seconds, before);  // the machine clock is untouched
  time.Step(0);
  EXPECT_EQ(p.fired.size(), 1u);
  tm.SetDiff(0);
}

TEST_F(TimerManagerTest, CrashReportNamesTheTimerBeingFired) {
  Probe p;
  std::string during;
  p.action = [&](unsigned long) {
    std::ostringstream os;
    tm.ReportCrashToStream(os);
    during = os.str();
  };
  tm.AddTimerNext(TimeRange_Second, 1, p.GetTimerObj(), 9, "payday");
  time.Step(1000);
  EXPECT_NE(during.find("timer range 1 kind 0"), std::string::npos) << during;
  EXPECT_NE(during.find("id 9 name payday"), std::string::npos) << during;
  std::ostringstream idle;
  tm.ReportCrashToStream(idle);
  EXPECT_EQ(idle.str(), "timer idle\n");
}

TEST_F(TimerManagerTest, NestedRunFromInsideATimerDoesNothing) {
  Probe outer, inner;
  bool innerFiredInNestedRun = true;
  outer.action = [&](unsigned long) {
    tm.Run(0);
    innerFiredInNestedRun = !inner.fired.empty();
  };
  outer.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 0);
  inner.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 0);
  time.Step(5);
  EXPECT_FALSE(innerFiredInNestedRun);
  EXPECT_EQ(outer.fired.size(), 1u);
  EXPECT_EQ(inner.fired.size(), 1u);
}

}  // namespace
