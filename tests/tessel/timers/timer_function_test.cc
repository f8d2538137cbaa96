#include "tessel/timers/timer_function.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tessel/contracts/baselib.h"

namespace {

std::uint32_t g_now = 5000;
std::uint32_t FakeTick() {
  return g_now;
}

// Lines written to "tessel.timererror" (the appender is added once for the test program).
std::mutex g_linesLock;
std::vector<std::string> g_lines;

std::vector<std::string> TakeLines() {
  std::lock_guard<std::mutex> lock(g_linesLock);
  std::vector<std::string> out;
  out.swap(g_lines);
  return out;
}

class CostGuardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TESSEL_COLOR", "0", 1);
    loglib::add_appender(
        loglib::default_manager(), "tessel.timererror",
        [](const std::string& line) {
          std::lock_guard<std::mutex> lock(g_linesLock);
          g_lines.push_back(line);
        },
        1000);
    loglib::flush_log_cache();
  }
  void SetUp() override {
    SetTimerFunctionTick(&FakeTick);
    TakeLines();
    old = std::cout.rdbuf(out.rdbuf());
  }
  void TearDown() override {
    std::cout.rdbuf(old);
    SetTimerFunctionTick(nullptr);
  }

  std::ostringstream out;
  std::streambuf* old = nullptr;
};

TEST_F(CostGuardTest, AnOverrunWritesOneTimerErrorLineAtLevelOneAndNothingToStandardOutput) {
  {
    cTimerFunctionTessel guard("cCmd_Tessel", "Sleep(150)", 100, 1);
    EXPECT_EQ(GetTimerFunctionTesselLevel(), 1);
    g_now += 150;
  }
  EXPECT_EQ(GetTimerFunctionTesselLevel(), 0);
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("cCmd_Tessel 【costtime】 150 param Sleep(150) level 1"),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(out.str(), "");
}

TEST_F(CostGuardTest, NestedOverrunsReportTheirNestingLevels) {
  {
    cTimerFunctionTessel outer("outer", "a", 100, 1);
    {
      cTimerFunctionTessel inner("inner", "b", 100, 1);
      EXPECT_EQ(GetTimerFunctionTesselLevel(), 2);
      g_now += 120;
    }
    g_now += 10;
  }
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("inner 【costtime】 120 param b level 2"), std::string::npos);
  EXPECT_NE(lines[1].find("outer 【costtime】 130 param a level 1"), std::string::npos);
  EXPECT_EQ(GetTimerFunctionTesselLevel(), 0);
}

TEST_F(CostGuardTest, WorkWithinTheThresholdOrNotStartedReportsNothing) {
  {
    cTimerFunctionTessel quick("quick", "x", 100, 1);
    g_now += 100;
  }
  {
    cTimerFunctionTessel idle("idle", "y", 100, 0);
    g_now += 500;
    EXPECT_FALSE(idle.IsArmed());
  }
  {
    cTimerFunctionTessel later("later", nullptr, 100, 0);
    g_now += 500;
    later.Start();
    g_now += 101;
  }
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("later 【costtime】 101 param  level 1"), std::string::npos);
  EXPECT_EQ(GetTimerFunctionTesselLevel(), 0);
}

TEST_F(CostGuardTest, ThePlainGuardWritesItsOverrunToStandardOutput) {
  {
    cTimerFunction guard("load", 10, 1);
    g_now += 11;
  }
  EXPECT_EQ(out.str(), "load cost time 11\n");
  EXPECT_TRUE(TakeLines().empty());
}

TEST_F(CostGuardTest, TheElapsedTimeIsRightAcrossTheWrapOfTheTick) {
  g_now = 0xFFFFFFF0u;
  {
    cTimerFunctionTessel guard("wrap", "", 100, 1);
    g_now += 0x20;  // wraps to 0x10
  }
  EXPECT_TRUE(TakeLines().empty());
  g_now = 5000;
}

}  // namespace
