#include "tessel/timers/timer_function.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <iostream>
#include <sstream>

#include "testkit/logger_lines.h"
#include "tessel/contracts/baselib.h"
#include "testkit/stdout_capture.h"

namespace {

std::uint32_t g_now = 5000;
std::uint32_t FakeTick() {
  return g_now;
}

std::vector<std::string> TakeLines() {
  static testing_support::logger_lines lines("tessel.timererror");
  return lines.take();
}

class CostGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTimerFunctionTick(&FakeTick);
    TakeLines();
  }
  void TearDown() override { SetTimerFunctionTick(nullptr); }

  testkit::cStdoutCapture stdout_;
};

TEST_F(CostGuardTest, OverrunsWriteOneTimerErrorLineEachWithTheirNestingLevel) {
  {
    cTimerFunctionTessel outer("cCmd_Tessel", "Sleep(150)", 100, 1);
    {
      cTimerFunctionTessel inner("inner", "b", 100, 1);
      EXPECT_EQ(GetTimerFunctionTesselLevel(), 2);
      g_now += 120;
    }
    EXPECT_EQ(GetTimerFunctionTesselLevel(), 1);
    g_now += 30;
  }
  EXPECT_EQ(GetTimerFunctionTesselLevel(), 0);
  const auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("inner 【costtime】 120 param b level 2"), std::string::npos);
  EXPECT_NE(lines[1].find("cCmd_Tessel 【costtime】 150 param Sleep(150) level 1"),
            std::string::npos)
      << lines[1];
  EXPECT_EQ(stdout_.Text(), "") << "nothing goes to standard output";
}

// Work within the threshold (also across the wrap of the tick) or before Start reports nothing.
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
  g_now = 0xFFFFFFF0u;
  {
    cTimerFunctionTessel wrap("wrap", "", 100, 1);
    g_now += 0x20;  // wraps to 0x10
  }
  EXPECT_TRUE(TakeLines().empty());
  g_now = 5000;
}

TEST_F(CostGuardTest, ThePlainGuardWritesItsOverrunToStandardOutput) {
  {
    cTimerFunction guard("load", 10, 1);
    g_now += 11;
  }
  EXPECT_EQ(stdout_.Text(), "load cost time 11\n");
  EXPECT_TRUE(TakeLines().empty());
}

}  // namespace
