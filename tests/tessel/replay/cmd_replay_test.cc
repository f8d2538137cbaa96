#include "tessel/console/groups/cmd_replay.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "replay_test_util.h"
#include "tessel/link/net_help.h"
#include "tessel/replay/net_record.h"
#include "testkit/child_process.h"
#include "testkit/link_test_util.h"

namespace {

using namespace replaytest;

// Runs commands in the process's replay group; what they printed.
std::string RunInGroup(std::initializer_list<const char*> commands) {
  cCmdReplay& group = cCmdReplay::Instance();
  group.Create();
  testing::internal::CaptureStdout();
  for (const char* text : commands) EXPECT_TRUE(group.Do(text)) << text;
  return testing::internal::GetCapturedStdout();
}

TEST(CmdReplay, HelpListsTheGroupsCommands) {
  EXPECT_EQ(RunInGroup({"Help()"}),
            "[Replay命令]\nRecord -- Record('filename')\nReplay -- Replay('filename')\n"
            "ReplayLog -- ReplayLog('filename')\nReplaySpeed -- ReplaySpeed(2)\n");
}

// The process's replayer plays a file whose second record is a minute away; meanwhile Record is
// refused, ReplaySpeed changes the pace and a negative speed stops the replay.
TEST(CmdReplay, ReplayPlaysAFileAndReplaySpeedStopsItAndRecordIsRefusedMeanwhile) {
  linktest::cTempHome home;
  cNetReplay& replay = cNetReplay::Instance();
  replay.SetEndPause(0);
  WriteFile("far.rep", ReplayBytes(0, {{0, 2, "nobody", 1, "now"}, {60000, 2, "nobody", 1, "x"}}));
  std::string printed = RunInGroup({"Replay('missing.rep')"});
  EXPECT_NE(printed.find("Record missing.rep\n"), std::string::npos);
  EXPECT_NE(printed.find(" error!\n"), std::string::npos);

  printed = RunInGroup({"Replay('far.rep')"});
  EXPECT_NE(printed.find("cNetReplay::LoadReplay File far.rep\n"), std::string::npos);
  EXPECT_NE(printed.find(" ok!\n"), std::string::npos);
  EXPECT_TRUE(replay.IsReplaying());
  EXPECT_EQ(replay.GetSpeed(), 1);
  // The first record names no link of this process: read and dropped.
  EXPECT_TRUE(WaitUntil([&] { return replay.GetDropped() == 1; }));
  printed = RunInGroup({"Record('run')", "ReplaySpeed(2)"});
  EXPECT_EQ(printed, "Record run\ncNetReplay::Instance().m_bReplay\n error!\n");
  EXPECT_FALSE(cNetRecord::Instance().IsRecordOn());
  EXPECT_EQ(replay.GetSpeed(), 2);
  RunInGroup({"ReplaySpeed(-1)"});
  EXPECT_TRUE(WaitUntil([&] { return replay.IsThreadDone(); }));
  EXPECT_FALSE(replay.IsReplaying());
  EXPECT_EQ(replay.GetDropped(), 1u);
  replay.SetSpeed(0);
}

// Recording through the group stays on for the life of the process, so it runs in one of its own.
TESSEL_CHILD_SCENARIO(ReplayGroupRecords) {
  cCmdReplay& group = cCmdReplay::Instance();
  group.Create();
  if (!group.Do("Record('run')") || !cNetRecord::Instance().IsRecordOn()) return 1;
  if (GetNetRecorder() != &cNetRecord::Instance()) return 2;  // the links' callbacks record
  if (!group.Do("Replay('Replay/run')") || cNetReplay::Instance().IsReplaying()) return 3;
  return 0;
}

TEST(CmdReplay, RecordTurnsTheProcessRecorderOnAndReplayingIsRefusedFromThenOn) {
  cTempDir dir;
  const stChildResult child = RunChildScenario(dir.path(), "ReplayGroupRecords", false);
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.code, 0) << child.out;
  EXPECT_NE(child.out.find("Record run\ncNetRecord::CreateRecord File Replay/run/"),
            std::string::npos);
  EXPECT_NE(child.out.find(".rep\n ok!\nRecord Replay/run\ncNetRecord::Instance().m_bRecord\n"
                           " error!\n"),
            std::string::npos)
      << child.out;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "Replay" / "run"))
    files += entry.path().extension() == ".rep" ? 1 : 0;
  EXPECT_EQ(files, 1);
}

}  // namespace
