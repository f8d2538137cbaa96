#include "tessel/core/lua_limits.h"

#include <gtest/gtest.h>

#include <string>

#include "tessel/core/config_stores.h"
#include "testkit/record_cmd.h"
#include "testkit/stdout_capture.h"

namespace {

// A group whose commands run under the limits set for the test; the defaults come back after.
class LuaLimits : public testing::Test {
 protected:
  void SetUp() override { group_.Create(); }
  void TearDown() override {
    SetConfigValue("lua_time_limit", 10);
    SetConfigValue("lua_memory_limit", 128);
  }
  // Runs `text`; true when it succeeded. The error line, if any, is kept in said_.
  bool Run(const std::string& text) {
    testkit::cStdoutCapture out;
    const bool ok = group_.Do(text.c_str());
    said_ = out.Text();
    return ok;
  }
  cRecordCmd group_;
  std::string said_;
};

// A runaway chunk ends with the time-limit error, also when it catches errors itself or runs in
// a coroutine; the group runs its next command as before.
TEST_F(LuaLimits, ACommandPastItsTimeIsStoppedEvenWhenItCatchesTheError) {
  SetConfigValue("lua_time_limit", 1);
  for (const char* runaway :
       {"while true do end", "while true do pcall(function() while true do end end) end",
        "while true do pcall(coroutine.wrap(function() while true do end end)) end"}) {
    SCOPED_TRACE(runaway);
    EXPECT_FALSE(Run(runaway));
    EXPECT_NE(said_.find("command time limit: stopped after 1 s"), std::string::npos) << said_;
    EXPECT_TRUE(Run("done = (done or 0) + 1"));
  }
}

// Memory past the cap is refused while a command runs, with a note naming the limit; what the
// state held is still there and usable afterwards, and a raised cap holds at the next command.
TEST_F(LuaLimits, AStateIsRefusedMemoryPastItsCapAndGoesOnWithWhatItHas) {
  SetConfigValue("lua_memory_limit", 4);
  ASSERT_TRUE(Run("kept = string.rep('k', 1024)"));
  for (const char* greedy :
       {"s = string.rep('x', 8 * 1024 * 1024)", "t = {} for i = 1, 10000000 do t[i] = i end"}) {
    SCOPED_TRACE(greedy);
    EXPECT_FALSE(Run(greedy));
    EXPECT_NE(said_.find("not enough memory (the group's Lua state may hold 4 MiB"),
              std::string::npos)
        << said_;
  }
  EXPECT_TRUE(Run("t = nil collectgarbage() assert(#kept == 1024)"));
  // A changed limit holds from the next command on.
  SetConfigValue("lua_memory_limit", 64);
  EXPECT_TRUE(Run("s = string.rep('x', 8 * 1024 * 1024) s = nil"));
}

}  // namespace
