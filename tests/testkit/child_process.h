// Runs this test program again as a child process that plays one named scenario, from a copy
// placed in a temporary folder (so the copy's own folder can hold a report tool).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/temp_dir.h"

// A scenario runs in the child with the working directory set to TESSEL_HOME; its result is
// the child's exit code.
bool RegisterChildScenario(const std::string& name, std::function<int()> body);

#define TESSEL_CHILD_SCENARIO(name)                                                             \
  static int ChildScenario_##name();                                                            \
  static const bool kChildScenario_##name = RegisterChildScenario(#name, ChildScenario_##name); \
  static int ChildScenario_##name()

struct stChildResult {
  bool exited = false;  // ended by exit (code) rather than by a signal (signo)
  int code = -1;
  int signo = 0;
  std::string out;  // what the child wrote to standard output and error
};

// Copies this program into dir, adds a report tool there when withTool (it writes its
// arguments to "xcrash_args.txt"), runs the scenario with TESSEL_HOME and TESSEL_REGISTRY under
// dir, and waits at most timeoutMs (then the child is killed).
stChildResult RunChildScenario(const std::string& dir, const std::string& scenario, bool withTool,
                               int timeoutMs = 30000);
