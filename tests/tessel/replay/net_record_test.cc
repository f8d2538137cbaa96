#include "tessel/replay/net_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "replay_test_util.h"
#include "testkit/file_text.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"
#include "testkit/text_shape.h"

namespace {

using namespace replaytest;

class NetRecordTest : public testing::Test {
 protected:
  testkit::cTempDir home_{testkit::cTempDir::kHome};
  testkit::cStdoutCapture quiet_;
  cFixedFind find_;
  stRecordReplay pair_{&find_, &FakeClock};
  cNetRecord& record_ = pair_.record;
};

TEST_F(NetRecordTest, TheFileHoldsTheHeaderAndEachRecordLittleEndianAsLaidOut) {
  g_now.store(0x01020304);
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(record_.StartRecord("run"));
  EXPECT_TRUE(testing_support::fits(record_.GetPath(), "Replay/run/####_##_##-##.##.##.rep"))
      << record_.GetPath();
  EXPECT_EQ(GetNetRecorder(), &record_);  // the links' callbacks now record into it

  g_now.store(0x01020404);
  record_.Record(2, "\x01\x02\x03", 3, 7, std::string(40, 'n').c_str());
  g_now.store(0x01020504);
  record_.RecordNetState(9, 6, 13, "game");
  // Each record: clock, kind, name cut at 32 bytes, link id, size, data. The made-up state
  // event is kind 3 with 16 bytes: type 0, id 0, link id, state, reason.
  std::string state(4, '\0');
  for (uint32_t word : {9u, 6u, 13u}) PutU32(state, word);
  const std::string expected =
      ReplayBytes(0x01020304, {{0x01020404, 2, std::string(32, 'n'), 7, "\x01\x02\x03"},
                               {0x01020504, 3, "game", 9, state}});
  const std::string bytes = testkit::ReadFile(record_.GetPath());
  EXPECT_EQ(bytes.substr(0, 8), expected.substr(0, 8));
  EXPECT_GE(U32At(bytes, 8), static_cast<uint32_t>(before));
  EXPECT_EQ(bytes.substr(12), expected.substr(12));
}

TEST_F(NetRecordTest, RecordingAndReplayingRefuseToStartWhileTheOtherIsOn) {
  testkit::WriteFile("far.rep", ReplayBytes(0, {{60000, 2, "game", 1, "later"}}));
  ASSERT_TRUE(pair_.replay.StartReplay("far.rep", 1, false));
  EXPECT_EQ(pair_.replay.Step(), cNetReplay::Step_Waiting);
  EXPECT_FALSE(record_.StartRecord("run"));
  EXPECT_FALSE(record_.IsRecording());
  // Once the replay reached its end, recording may start; from then on replaying is refused.
  g_now.fetch_add(60000);
  EXPECT_EQ(pair_.replay.Step(), cNetReplay::Step_Delivered);
  EXPECT_EQ(pair_.replay.Step(), cNetReplay::Step_End);
  EXPECT_TRUE(record_.StartRecord("run"));
  EXPECT_FALSE(pair_.replay.StartReplay("far.rep", 1, false));
  EXPECT_FALSE(pair_.replay.IsReplaying());
}

TEST_F(NetRecordTest, WithoutATerminalAFileThatCannotBeCreatedFailsTheStartAtOnce) {
  testkit::WriteFile("Replay", "a file where the folder should be");
  EXPECT_FALSE(record_.StartRecord("run"));
  EXPECT_FALSE(record_.IsRecording());
  EXPECT_EQ(GetNetRecorder(), nullptr);
}

}  // namespace
