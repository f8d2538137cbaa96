// A test whose Lua commands run in one recording group under the limits the test sets; the
// limits' defaults come back after it. Header-only; the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tessel/core/config_stores.h"
#include "testkit/record_cmd.h"
#include "testkit/stdout_capture.h"

namespace testkit {

class cGroupRunTest : public testing::Test {
 protected:
  void SetUp() override { group_.Create(); }
  void TearDown() override {
    SetConfigValue("lua_time_limit", 10);
    SetConfigValue("lua_memory_limit", 128);
  }
  // Runs `text`; true when it succeeded. What it printed (the error line, if any) is in said_.
  bool Run(const std::string& text) {
    cStdoutCapture out;
    const bool ok = group_.Do(text.c_str());
    said_ = out.Text();
    return ok;
  }
  // Runs `text`; success when it failed and said `error` (by default, the time limit's stop).
  testing::AssertionResult Fails(
      const std::string& text, const std::string& error = "command time limit: stopped after 1 s") {
    if (Run(text)) return testing::AssertionFailure() << "it ran: " << said_;
    if (said_.find(error) == std::string::npos) return testing::AssertionFailure() << said_;
    return testing::AssertionSuccess();
  }
  cRecordCmd group_;
  std::string said_;
};

}  // namespace testkit
