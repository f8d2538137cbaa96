// Names the steps of a long test, so that a failure says which step it happened in: each new
// step replaces the name of the one before. Header-only. The test's thread.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace testkit {

class cSteps {
 public:
  void Next(const char* file, int line, const std::string& name) {
    m_trace.reset();
    m_trace.emplace(file, line, name);
  }

 private:
  std::optional<::testing::ScopedTrace> m_trace;
};

}  // namespace testkit

// Starts the step `name` of `steps` here.
#define TESSEL_STEP(steps, name) (steps).Next(__FILE__, __LINE__, name)
