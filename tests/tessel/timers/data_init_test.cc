#include "tessel/timers/data_init.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/fake_clock.h"

namespace {

// A step that becomes ready after `notReadyFor` calls and logs what reaches it.
class Step : public iDataInit {
 public:
  explicit Step(std::vector<std::string>* log, std::string name, int notReadyFor = 0)
      : log_(log), name_(std::move(name)), notReadyFor_(notReadyFor) {}
  bool Init() override {
    log_->push_back(name_);
    return notReadyFor_-- <= 0;
  }
  void OnRecord(stDataInitRecord r) override {
    log_->push_back(name_ + ":" + std::to_string(r.m_nValue) + r.m_strText +
                    std::to_string(r.m_nValue2));
  }
  void OnValue(std::uint32_t v) override { log_->push_back(name_ + "=" + std::to_string(v)); }

 private:
  std::vector<std::string>* log_;
  std::string name_;
  int notReadyFor_;
};

class CountingArray : public cDataInitArrayTimer {
 public:
  void OnInitDone() override { ++done; }
  int done = 0;
};

class DataInitTest : public ::testing::Test {
 protected:
  void Tick(int seconds) {
    for (int i = 0; i < seconds; ++i) time.Step(1000);
  }
  ManagerClock time;
  std::vector<std::string> log;
};

TEST_F(DataInitTest, RecordsAndValuesReachEveryStepInOrder) {
  Step first(&log, "1", 5), second(&log, "2");
  cDataInitArray a;
  a.AddInit(&first);
  a.AddInit(&second);
  a.OnRecord({4, "x", 9});
  a.OnValue(3);
  EXPECT_EQ(log, (std::vector<std::string>{"1:4x9", "2:4x9", "1=3", "2=3"}));
}

// Each retry asks the steps in order up to the first that is not ready.
TEST_F(DataInitTest, TheTimerRetriesUntilEveryStepIsReadyThenStops) {
  Step links(&log, "links", 3), tables(&log, "tables");
  CountingArray a;
  a.AddInit(&links);
  a.AddInit(&tables);
  ASSERT_EQ(a.InitStart(2), 1);
  EXPECT_EQ(a.OnTimer(7), 0u) << "other timer ids run nothing";
  Tick(1);
  EXPECT_TRUE(log.empty());
  Tick(5);  // retries at 2, 4 and 6 seconds
  EXPECT_EQ(log, (std::vector<std::string>{"links", "links", "links"}));
  EXPECT_EQ(a.done, 0);
  Tick(2);
  EXPECT_EQ(a.done, 1);
  EXPECT_TRUE(a.IsDone());
  EXPECT_EQ(cTimerManager::Instance().GetTimerCount(), 0u);
  Tick(10);
  EXPECT_EQ(log.size(), 5u);
  EXPECT_EQ(a.InitStart(0), 0);
  CountingArray empty;
  EXPECT_TRUE(empty.Init());
  EXPECT_TRUE(empty.Init());
  EXPECT_EQ(empty.done, 1) << "an empty array is complete at its first init, once";
}

TEST_F(DataInitTest, ADestroyedArrayIsNeverReachedByItsPendingRetry) {
  Step never(&log, "never", 100);
  {
    CountingArray a;
    a.AddInit(&never);
    a.InitStart(1);
  }
  Tick(5);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(cTimerManager::Instance().GetTimerCount(), 0u);
}

}  // namespace
