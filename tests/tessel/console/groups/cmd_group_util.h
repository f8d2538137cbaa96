// Helpers for the tests of the standard groups: the groups themselves, a statement run in a
// group (typed on the console, or served for a peer through the kit's bridge double), the
// process's host made inside a temporary home, and the fixtures on it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessel/console/groups/cmd_account.h"
#include "tessel/console/groups/cmd_config.h"
#include "tessel/console/groups/cmd_exception.h"
#include "tessel/console/groups/cmd_input.h"
#include "tessel/console/groups/cmd_login.h"
#include "tessel/console/groups/cmd_maintain.h"
#include "tessel/console/groups/cmd_msg.h"
#include "tessel/console/groups/cmd_net.h"
#include "tessel/console/groups/cmd_os.h"
#include "tessel/console/groups/cmd_remote.h"
#include "tessel/console/groups/cmd_remote_call.h"
#include "tessel/console/groups/cmd_script.h"
#include "tessel/console/groups/cmd_sim.h"
#include "tessel/console/groups/cmd_tessel.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/tessel.h"
#include "tessel/link/bridge_client.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/os_clock.h"
#include "testkit/bridge_double.h"
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
  const bool ok = group.Do(statement.c_str());
  return {ok, capture.Text()};
}

// A statement typed in a group: whether Lua accepts it and a text its output holds.
struct stGroupCase {
  cCmd* group;
  std::string statement;
  bool ok;
  std::string holds;
};

inline void CheckGroupCases(const std::vector<stGroupCase>& cases) {
  for (const stGroupCase& c : cases) {
    const stGroupRun run = RunInGroup(*c.group, c.statement);
    EXPECT_EQ(run.ok, c.ok) << c.statement << "\n" << run.out;
    EXPECT_NE(run.out.find(c.holds), std::string::npos) << c.statement << "\n" << run.out;
  }
}

// The process's host, made once with its home and registry in a temporary folder; the
// console's standard groups are registered and the working folder is given back.
inline cTessel& GroupTestHost() {
  [[maybe_unused]] static const bool made = [] {
    const auto before = std::filesystem::current_path();
    static testkit::cTempDir home(testkit::cTempDir::kHome);
    testkit::cStdoutCapture quiet;
    cTessel::Instance().SetProgram("2026-01-01", "00:00:00", "1.0", "groups_test");
    if (cTesselCmd::Instance().GetCmd(0) == nullptr) AddStandardGroups(cTesselCmd::Instance());
    cTesselCmd::Instance().Start();
    std::filesystem::current_path(before);
    return true;
  }();
  if (GetInstalledHost() == nullptr) SetHost(&cTessel::Instance());
  return cTessel::Instance();
}

// Runs a statement in `group` as if a peer had sent it at `level` over a recording link; the
// command texts sent back. The console's group of a level answers what the statement runs there.
inline std::vector<std::string> Served(cCmd& group, int level, const std::string& statement,
                                       bool inRecord = false) {
  GroupTestHost();
  group.Create();
  struct cServing : testkit::cBridgeDouble {
    cCmd* GetCmdSafe(unsigned level) override { return cTesselCmd::Instance().GetCmd(level); }
  } bridge;
  bridge.m_run = [](unsigned cmd, const char* text) {
    return cTesselCmd::Instance().GetCmd(cmd)->Do(text) ? ChatException_OK : ChatException_NoCmd;
  };
  testkit::cRecordingLink link;
  stBindMsg msg;
  msg.send = &link;
  std::vector<char> record;  // the statement as the served record's text as well, when asked
  if (inRecord) {
    unsigned long size = 0;
    const char* built = reinterpret_cast<const char*>(Msg_GetCmd(level, statement, size));
    record.assign(built, built + size);
    msg = {static_cast<uint32_t>(size), &link, reinterpret_cast<stMsg*>(record.data())};
  }
  {
    testkit::cStdoutCapture quiet;
    ostreamCmd::cServeScope serving(&msg, &bridge, level);
    group.Do(statement.c_str());
  }
  std::vector<std::string> texts;
  for (const std::string& bytes : link.m_sent) texts.push_back(link.SentText(bytes));
  return texts;
}

// Rights read from their text form; a text that does not read fails the test.
inline CmdRightsPtr RightsFrom(const std::string& text) {
  auto rights = std::make_shared<stCmdRights>();
  std::string error;
  EXPECT_TRUE(CmdRightsFromText(text, *rights, error)) << error;
  return rights;
}

// The standard groups typed on the console of the process's host, in a fresh working folder;
// the process-wide settings the groups change are put back afterwards.
class GroupTest : public ::testing::Test {
 protected:
  void SetUp() override { GroupTestHost(); }
  void TearDown() override {
    for (const char* key : {"map", "initcmd", "user", "PassWord"})
      GetExeParamStore().SetStringString(key, "");
    SetOsCalendarSource(nullptr);
    SetOsCalendarSetter(nullptr);
    SetConfigString("maintain_servers", "");
  }
  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
};

// The logged-in server and client of LoggedInTest, started before each test; the client logs in
// as a process account, so that it carries the origins of the commands it sends.
class GroupLinkTest : public LoggedInTest {
 protected:
  void SetUp() override {
    LoggedInTest::SetUp();
    StartLinks(100, "s3cretpw", 1, "process = 1\n");
  }
  cBridgeClient& Link() { return *m_client->GetBridgeClient(); }
  // The standard groups on the host, and console commands taken on the server's side (and on
  // the client's too when both is set).
  void ConsoleCmdsOverTheLink(bool both) {
    GroupTestHost();
    m_server->GetBridgeServer()->SetUseConsoleCmd(true);
    if (both) Link().SetUseConsoleCmd(true);
  }
  // The rights of an account gm logged in to process p, with every right but the one named.
  static CmdRightsPtr GmWithout(const std::string& right) {
    return RightsFrom("gm\ngm@p\n*\n-" + right + "\n@\n");
  }
};
