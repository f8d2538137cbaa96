// Helpers for the tests of the standard groups: running a statement in a group while keeping
// what it wrote to standard output, and the process's host made inside a temporary home.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/core/cmd.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/tessel.h"
#include "tessel/link/bridge.h"
#include "testkit/child_process.h"
#include "testkit/console_test_util.h"

struct stGroupRun {
  bool ok = false;
  std::string out;
};

inline stGroupRun RunInGroup(cCmd& group, const std::string& statement) {
  group.Create();
  CoutCapture capture;
  stGroupRun run;
  run.ok = group.Do(statement.c_str());
  run.out = capture.Text();
  return run;
}

// One statement, whether it succeeds, and its whole output (or, for a failure, a part of it).
struct stGroupCase {
  const char* statement;
  bool ok;
  const char* out;
};

inline void CheckGroupCases(cCmd& group, const std::vector<stGroupCase>& cases) {
  for (const stGroupCase& c : cases) {
    const stGroupRun run = RunInGroup(group, c.statement);
    EXPECT_EQ(run.ok, c.ok) << c.statement << "\n" << run.out;
    if (c.ok)
      EXPECT_EQ(run.out, c.out) << c.statement;
    else
      EXPECT_NE(run.out.find(c.out), std::string::npos) << c.statement << "\n" << run.out;
  }
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The process's host, made once with its home and registry in a temporary folder (removed at
// exit); the working folder is given back.
inline cTessel& GroupTestHost() {
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
  // Groups ask the installed host; a test that started no host of its own gets this one.
  if (GetInstalledHost() == nullptr) SetHost(&cTessel::Instance());
  return cTessel::Instance();
}

// Lets an endpoint run the console's standard groups at the levels it has none of its own.
inline void UseConsoleGroups(cBridge& bridge) {
  if (cTesselCmd::Instance().GetCmd(0) == nullptr) AddStandardGroups(cTesselCmd::Instance());
  bridge.SetUseConsoleCmd(true);
}

// The lines of a text, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type at = 0;
  while (at < text.size()) {
    const auto end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}
