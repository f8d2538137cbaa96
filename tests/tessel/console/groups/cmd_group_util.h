// Helpers for the tests of the standard groups: running a statement in a group while keeping
// what it wrote to standard output, the process's host made inside a temporary home, and the
// logged-in links.
#pragma once

#include <gtest/gtest.h>
#include <cstdlib>

#include <filesystem>
#include <string>
#include <vector>

#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/core/cmd.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/tessel.h"
#include "tessel/link/bridge.h"
#include "tessel/link/bridge_client.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/logged_in_fixture.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

struct stGroupRun {
  bool ok = false;
  std::string out;
};

inline stGroupRun RunInGroup(cCmd& group, const std::string& statement) {
  group.Create();
  testkit::cStdoutCapture capture;
  stGroupRun run;
  run.ok = group.Do(statement.c_str());
  run.out = capture.Text();
  return run;
}

// One statement, whether it succeeds, and its whole output (or, for a failure, a part of it).
struct stGroupCase {
  std::string statement;
  bool ok;
  std::string out;
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

// The process's host, made once with its home and registry in a temporary folder (removed at
// exit); the working folder is given back.
inline cTessel& GroupTestHost() {
  static const bool made = [] {
    const std::filesystem::path before = std::filesystem::current_path();
    if (std::getenv("TESSEL_HOME") == nullptr || std::getenv("TESSEL_REGISTRY") == nullptr) {
      static testkit::cTempDir home;
      setenv("TESSEL_HOME", home.path().c_str(), 0);
      setenv("TESSEL_REGISTRY", home.path().c_str(), 0);
    }
    testkit::cStdoutCapture quiet;
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

// The logged-in server and client of LoggedInTest, started before each test.
class GroupLinkTest : public LoggedInTest {
 protected:
  void SetUp() override {
    LoggedInTest::SetUp();
    StartLinks();
  }
  cBridgeClient& Link() { return *m_client->GetBridgeClient(); }
};
