#include "tessel/replay/net_record.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "replay_test_util.h"
#include "testkit/file_text.h"
#include "testkit/temp_dir.h"

namespace {

using namespace replaytest;

class NetRecordTest : public testing::Test {
 protected:
  testkit::cTempDir home_{testkit::cTempDir::kHome};
  cFixedFind find_;
  stRecordReplay pair_{&find_, &FakeClock};
  cNetRecord& record_ = pair_.record;
};

TEST_F(NetRecordTest, TheFileHoldsTheHeaderAndEachRecordLittleEndianAsLaidOut) {
  g_now.store(0x01020304);
  const std::time_t before = std::time(nullptr);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(record_.StartRecord("run"));
  testing::internal::GetCapturedStdout();
  // Replay/run/YYYY_MM_DD-hh.mm.ss.rep, '0' standing for any digit below.
  const std::string shape = "Replay/run/0000_00_00-00.00.00.rep";
  const std::string path = record_.GetPath();
  ASSERT_EQ(path.size(), shape.size()) << path;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digitWanted = shape[i] == '0';
    EXPECT_TRUE(digitWanted ? std::isdigit(static_cast<unsigned char>(path[i])) != 0
                            : path[i] == shape[i])
        << path << " at " << i;
  }
  EXPECT_EQ(GetNetRecorder(), &record_);  // the links' callbacks now record into it

  const std::string name40(40, 'n');
  g_now.store(0x01020404);
  record_.Record(2, "\x01\x02\x03", 3, 7, name40.c_str());
  g_now.store(0x01020504);
  record_.RecordNetState(9, 6, 13, "game");

  const std::string bytes = testkit::ReadFile(record_.GetPath());
  ASSERT_EQ(bytes.size(), 12u + 48 + 3 + 48 + 16);
  EXPECT_EQ(U32At(bytes, 0), 1u);
  EXPECT_EQ(bytes.substr(4, 4), std::string("\x04\x03\x02\x01", 4));
  EXPECT_GE(U32At(bytes, 8), static_cast<uint32_t>(before));
  // The first record: clock, kind, name cut at 32 bytes, link id, size, data.
  EXPECT_EQ(U32At(bytes, 12), 0x01020404u);
  EXPECT_EQ(U32At(bytes, 16), 2u);
  EXPECT_EQ(bytes.substr(20, 32), std::string(32, 'n'));
  EXPECT_EQ(U32At(bytes, 52), 7u);
  EXPECT_EQ(U32At(bytes, 56), 3u);
  EXPECT_EQ(bytes.substr(60, 3), "\x01\x02\x03");
  // The made-up state event: kind 3, 16 bytes of type 0, 0, link id, state, reason.
  const size_t at = 63;
  EXPECT_EQ(U32At(bytes, at + 4), 3u);
  EXPECT_EQ(bytes.substr(at + 8, 32), std::string("game") + std::string(28, '\0'));
  EXPECT_EQ(U32At(bytes, at + 44), 16u);
  EXPECT_EQ(U32At(bytes, at + 48), 0u);
  EXPECT_EQ(U32At(bytes, at + 52), 9u);
  EXPECT_EQ(U32At(bytes, at + 56), 6u);
  EXPECT_EQ(U32At(bytes, at + 60), 13u);
}

TEST_F(NetRecordTest, RecordingAndReplayingRefuseToStartWhileTheOtherIsOn) {
  testkit::WriteFile("far.rep", ReplayBytes(0, {{60000, 2, "game", 1, "later"}}));
  testing::internal::CaptureStdout();
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
  testing::internal::GetCapturedStdout();
}

TEST_F(NetRecordTest, WithoutATerminalAFileThatCannotBeCreatedFailsTheStartAtOnce) {
  testkit::WriteFile("Replay", "a file where the folder should be");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(record_.StartRecord("run"));
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(record_.IsRecording());
  EXPECT_EQ(GetNetRecorder(), nullptr);
}

}  // namespace
