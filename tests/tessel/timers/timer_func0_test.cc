#include "tessel/timers/timer_func0.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "testkit/fake_clock.h"

namespace {

// The child dies of the fault: by the signal itself, or by the sanitizer's exit after it
// reported the fault (never by the codes it exits with on its own).
bool DiedOfTheFault(int status) {
  if (WIFSIGNALED(status)) return true;
  return WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3;
}

TEST(TimerFunc0DeathTest, TheArmedTimerFaultsInsideTheTimerManagerOneSecondLater) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ManagerClock time;
        if (cTimerFunc0::Instance().Start() != 1) _exit(3);
        time.Step(10);  // not yet due
        time.Step(1000);
        _exit(0);  // not reached
      },
      DiedOfTheFault, "");
}

}  // namespace
