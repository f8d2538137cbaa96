#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tessel/timers/data_init.h"
#include "tessel/timers/timer_function.h"
#include "testkit/fake_clock.h"
#include "testkit/logger_lines.h"
#include "testkit/stdout_capture.h"

namespace {

using Log = std::vector<std::string>;

// A step that becomes ready after `notReadyFor` calls and logs what reaches it.
struct Step : iDataInit {
  Step(Log* log, std::string name, int notReadyFor) : log_(log), name_(name), wait_(notReadyFor) {}
  bool Init() override {
    if (act) return act();
    log_->push_back(name_);
    return wait_-- <= 0;
  }
  void OnRecord(stDataInitRecord r) override {
    log_->push_back(name_ + ":" + std::to_string(r.m_nValue) + r.m_strText +
                    std::to_string(r.m_nValue2));
  }
  void OnValue(std::uint32_t v) override { log_->push_back(name_ + "=" + std::to_string(v)); }
  Log* log_;
  std::string name_;
  int wait_;
  std::function<bool()> act;  // what Init does instead, when set
};

struct CountingArray : cDataInitArrayTimer {
  void OnInitDone() override { ++done; }
  int done = 0;
};

// Records and values reach every step in order; each retry asks the steps in order up to the
// first that is not ready; a destroyed array is never reached by its pending retry.
TEST(DataInit, TheTimerRetriesUntilEveryStepIsReadyThenStopsAndNeverOutlivesItsArray) {
  ManagerClock time;
  Log log;
  Step links(&log, "links", 3), tables(&log, "tables", 0), never(&log, "never", 100);
  CountingArray a;
  a.AddInit(&links);
  a.AddInit(&tables);
  a.OnRecord({4, "x", 9});
  a.OnValue(3);
  EXPECT_EQ(log, (Log{"links:4x9", "tables:4x9", "links=3", "tables=3"}));
  log.clear();
  ASSERT_EQ(a.InitStart(2), 1);
  EXPECT_EQ(a.OnTimer(7), 0u) << "other timer ids run nothing";
  {
    CountingArray gone;
    gone.AddInit(&never);
    gone.InitStart(1);
  }
  for (int i = 0; i < 6; ++i) time.Step(1000);  // retries at 2, 4 and 6 seconds
  EXPECT_EQ(log, (Log{"links", "links", "links"}));
  EXPECT_EQ(a.done, 0);
  for (int i = 0; i < 12; ++i) time.Step(1000);
  EXPECT_EQ(a.done, 1);
  EXPECT_TRUE(a.IsDone());
  EXPECT_EQ(log.size(), 5u);
  EXPECT_EQ(cTimerManager::Instance().GetTimerCount(), 0u);
  CountingArray empty;
  EXPECT_TRUE(empty.Init());
  EXPECT_TRUE(empty.Init());
  EXPECT_EQ(empty.done, 1) << "an empty array is complete at its first init, once";
}

// Steps that throw or add steps, a hook that asks again and deletes, an array in itself.
TEST(DataInit, StepsAndHooksThatChangeOrEndTheArrayWhileItRunsAreSafe) {
  Log log;
  std::vector<Step> more(40, Step(&log, "more", 0));
  struct Ending : cDataInitArray {
    void OnInitDone() override { delete (Init() ? this : nullptr); }
  };
  auto* a = new Ending;
  Step act(&log, "", 0);
  act.act = [&] {
    if (log.empty()) throw(log.push_back("thrown"), 1);
    for (Step& s : more) a->AddInit(&s);
    return true;
  };
  a->AddInit(&act);
  EXPECT_THROW(a->Init(), int);
  EXPECT_TRUE(a->Init()) << "asked again after a throw, grown as it ran, deleted by its hook";
  cDataInitArray loop;
  loop.AddInit(&loop);
  EXPECT_FALSE(loop.Init()) << "an array holding itself";
}

std::uint32_t g_now = 5000;

// An overrun writes one timer-error line with its nesting level and nothing to standard output;
// work within the threshold (also across the wrap of the tick) or before Start reports nothing;
// the plain guard writes its overrun to standard output.
TEST(CostGuard, OverrunsAreReportedWithTheirNestingLevelAndWorkWithinTheThresholdIsNot) {
  static testing_support::logger_lines lines("tessel.timererror");
  SetTimerFunctionTick([] { return g_now; });
  lines.take();
  testkit::cStdoutCapture out;
  {
    cTimerFunctionTessel outer("outer", "Sleep(150)", 100, 1);
    {
      cTimerFunctionTessel inner("inner", "b", 100, 1);
      EXPECT_EQ(GetTimerFunctionTesselLevel(), 2);
      g_now += 120;
    }
    cTimerFunctionTessel idle("idle", "y", 100, 0);
    g_now += 30;
    EXPECT_FALSE(idle.IsArmed());
  }
  EXPECT_EQ(GetTimerFunctionTesselLevel(), 0);
  g_now = 0xFFFFFFF0u;
  {
    cTimerFunctionTessel wrap("wrap", "", 100, 1);
    g_now += 0x20;  // wraps to 0x10
  }
  const auto got = lines.take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find("inner 【costtime】 120 param b level 2"), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("outer 【costtime】 150 param Sleep(150) level 1"), std::string::npos);
  EXPECT_EQ(out.Text(), "");
  {
    cTimerFunction guard("load", 10, 1);
    g_now += 11;
  }
  EXPECT_EQ(out.Text(), "load cost time 11\n");
  SetTimerFunctionTick(nullptr);
}

}  // namespace
