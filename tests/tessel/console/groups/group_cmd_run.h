// Helpers for the tests of the standard groups: running one command in a group and keeping what
// it wrote to standard output, and the process's host made inside a temporary home.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tessel/console/cmd.h"
#include "tessel/console/console_test_util.h"
#include "tessel/host/tessel.h"
#include "tessel/host/tessel_values.h"

struct stCmdRun {
  bool ok = false;
  std::string out;
};

inline stCmdRun RunIn(cCmd& group, const std::string& text) {
  group.Create();
  CoutCapture capture;
  stCmdRun run;
  run.ok = group.Do(text.c_str());
  run.out = capture.Text();
  return run;
}

// The process's host. Its first use enters the home folder, so the home and the registry are
// pointed at a temporary folder first (removed when the tests end), and the working folder is
// given back. A program name is set when none is.
inline cTessel& TestHost() {
  static const bool made = [] {
    const std::filesystem::path before = std::filesystem::current_path();
    static std::string home;
    if (std::getenv("TESSEL_HOME") == nullptr || std::getenv("TESSEL_REGISTRY") == nullptr) {
      char pattern[] = "/tmp/tessel_groups_XXXXXX";
      if (mkdtemp(pattern) == nullptr) std::abort();
      home = pattern;
      setenv("TESSEL_HOME", pattern, 0);
      setenv("TESSEL_REGISTRY", pattern, 0);
      std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
      });
    }
    CoutCapture quiet;
    cTessel::Instance();
    if (cTesselValues::Instance().GetProgram().empty())
      cTessel::Instance().SetProgram("2026-01-01", "00:00:00", "1.0", "groups_test");
    std::filesystem::current_path(before);
    return true;
  }();
  (void)made;
  return cTessel::Instance();
}

// The name this process goes by without a default route.
inline std::string OwnName() {
  TestHost();
  return cTesselValues::Instance().GetProgram();
}
