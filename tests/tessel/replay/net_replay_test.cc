#include "tessel/replay/net_replay.h"

#include <gtest/gtest.h>

#include <chrono>

#include "replay_test_util.h"
#include "tessel/replay/net_record.h"
#include "testkit/file_text.h"
#include "testkit/net_recorder.h"
#include "testkit/temp_dir.h"

namespace {

using namespace replaytest;

constexpr uint32_t kStart = 5000;  // the recorded start clock

std::string Text(const testkit::stDelivery& d) {
  return std::string(d.bytes.begin(), d.bytes.end());
}

class NetReplayTest : public testing::Test {
 protected:
  void SetUp() override {
    g_now.store(100000);
    find_.callbacks["game"] = &game_;
    find_.callbacks["world"] = &world_;
  }
  // A replayer of its own (not the process's), driven step by step on the fake clock.
  bool Load(const std::string& bytes, int speed) {
    testkit::WriteFile("t.rep", bytes);
    return replay_.StartReplay("t.rep", speed, false);
  }
  // Steps until nothing more is due; the number delivered.
  int StepAll() {
    int delivered = 0;
    for (int i = 0; i < 100; ++i) {
      cNetReplay::StepResult r = replay_.Step();
      if (r != cNetReplay::Step_Delivered) break;
      ++delivered;
    }
    return delivered;
  }

  testkit::cTempDir home_{testkit::cTempDir::kHome};
  cFixedFind find_;
  stRecordReplay pair_{&find_, &FakeClock};
  cNetReplay& replay_ = pair_.replay;
  testkit::cNetRecorder game_{false}, world_{false};
};

TEST_F(NetReplayTest, RecordsComeDueAtTheirRecordedOffsetDividedByTheSpeed) {
  // Recorded at 0, 100 and 300 ms after the file's start clock.
  struct Case {
    int speed;
    uint32_t recordedStart;  // the recording's clock at its start
    uint32_t loadedAt;       // the replaying clock when the file is loaded
    // milliseconds after loading, and how many records are out by then
    std::vector<std::pair<uint32_t, size_t>> steps;
  } cases[] = {
      {1, kStart, 100000, {{0, 1}, {99, 1}, {100, 2}, {299, 2}, {300, 3}}},
      {2, kStart, 100000, {{0, 1}, {49, 1}, {50, 2}, {149, 2}, {150, 3}}},
      {0, kStart, 100000, {{0, 1}, {1, 3}}},  // 1000 times the recorded pace
      // Both millisecond clocks wrap around 2^32 during the replay.
      {1, 0xFFFFFF9Cu, 0xFFFFFFF0u, {{0, 1}, {99, 1}, {100, 2}, {299, 2}, {300, 3}}},
  };
  for (const Case& c : cases) {
    testkit::cNetRecorder out{false};
    find_.callbacks["game"] = &out;
    const std::vector<stFileRecord> records = {
        {c.recordedStart, 2, "game", 1, "a"},
        {c.recordedStart + 100, 2, "game", 1, "b"},
        {c.recordedStart + 300, 2, "game", 1, "c"},
    };
    g_now.store(c.loadedAt);
    ASSERT_TRUE(Load(ReplayBytes(c.recordedStart, records), c.speed));
    for (auto [after, expected] : c.steps) {
      g_now.store(c.loadedAt + after);
      StepAll();
      EXPECT_EQ(out.Snapshot().size(), expected)
          << "speed " << c.speed << " from " << c.recordedStart << " at " << after;
    }
    EXPECT_EQ(replay_.Step(), cNetReplay::Step_End);
    EXPECT_FALSE(replay_.IsReplaying());
    ASSERT_EQ(out.Snapshot().size(), 3u);
    EXPECT_EQ(Text(out.Snapshot()[2]), "c");
  }
}

TEST_F(NetReplayTest, EachRecordGoesToTheCallbackAndLinkOfItsNameAndUnknownNamesAreDropped) {
  int serverLink = 0, clientLink = 0;  // stand for two links by their addresses
  auto* server = reinterpret_cast<iSend*>(&serverLink);
  auto* client = reinterpret_cast<iSend*>(&clientLink);
  find_.serverLinks[{"game", 7}] = server;
  find_.clientLinks["world"] = client;
  find_.clientLinks["game"] = client;
  const std::string longName(40, 'x');
  ASSERT_TRUE(Load(ReplayBytes(kStart, {{kStart, 2, "game", 7, "to link 7"},
                                        {kStart, 1, "world", 0, "notice"},
                                        {kStart, 2, "nobody", 3, "dropped"},
                                        {kStart, 2, "game", 0, "as a client"},
                                        {kStart, 2, "game", 9, "no such link"},
                                        {kStart, 3, "game", 7, std::string(16, '\0')}}),
                   0));
  EXPECT_EQ(StepAll(), 6);
  auto game = game_.Snapshot();
  ASSERT_EQ(game.size(), 4u);
  EXPECT_EQ(Text(game[0]), "to link 7");
  EXPECT_EQ(game[0].send, server);
  EXPECT_EQ(game[1].send, client);   // link id 0: looked up as a client link
  EXPECT_EQ(game[2].send, nullptr);  // the link is absent: delivered without one
  EXPECT_EQ(game[3].kind, 3);
  ASSERT_EQ(world_.Snapshot().size(), 1u);
  EXPECT_EQ(world_.Snapshot()[0].kind, 1);
  EXPECT_EQ(world_.Snapshot()[0].send, client);
  EXPECT_EQ(replay_.GetDropped(), 1u);
  EXPECT_EQ(replay_.GetDelivered(), 5u);
}

TEST_F(NetReplayTest, ADamagedFileEndsTheReplayWithAMessageAfterTheRecordsBeforeTheDamage) {
  const std::string good = ReplayBytes(kStart, {{kStart, 2, "game", 1, "ok"}});
  std::string lying =
      ReplayBytes(kStart, {{kStart, 2, "game", 1, "ok"}, {kStart, 2, "game", 1, "abc"}});
  lying[good.size() + 44] = '\xF0';  // size field 0xFFFFFFF0, far past the end of the file
  lying[good.size() + 45] = lying[good.size() + 46] = lying[good.size() + 47] = '\xFF';
  std::string badKind =
      ReplayBytes(kStart, {{kStart, 2, "game", 1, "ok"}, {kStart, 9, "game", 1, "x"}});
  const std::string twoRecords =
      ReplayBytes(kStart, {{kStart, 2, "game", 1, "ok"}, {kStart, 2, "game", 1, "abcdef"}});
  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  } cases[] = {
      {"cut in a record head", good + twoRecords.substr(good.size(), 20), "cut in a record head"},
      {"cut in the data", twoRecords.substr(0, twoRecords.size() - 2), "only 4 left in the file"},
      {"lying size", lying, "record of 4294967280 bytes"},
      {"unknown kind", badKind, "bad record kind 9"},
  };
  for (const Case& c : cases) {
    testkit::cNetRecorder out{false};
    find_.callbacks["game"] = &out;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(Load(c.bytes, 0)) << c.what;
    g_now.fetch_add(10);
    EXPECT_EQ(StepAll(), 1) << c.what;
    EXPECT_EQ(replay_.Step(), cNetReplay::Step_End) << c.what;
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find(c.message), std::string::npos) << c.what << ": " << printed;
    EXPECT_FALSE(replay_.IsReplaying()) << c.what;
    EXPECT_EQ(out.Snapshot().size(), 1u) << c.what;
  }
  // A file cut in its header is never loaded.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(Load(good.substr(0, 7), 0));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("cut in its header"), std::string::npos);
  EXPECT_FALSE(replay_.IsReplaying());
}

TEST_F(NetReplayTest, WithoutATerminalAMissingFileFailsAtOnceInsteadOfWaitingForTheOperator) {
  testing::internal::CaptureStdout();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(replay_.StartReplay("no/such.rep", 1, true));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(replay_.IsReplaying());
}

// The thread on the real clock: speed 0 plays everything at once and says its end; a negative
// speed stops a replay whose next record is a minute away.
TEST(NetReplayThread, PlaysOnItsOwnThreadUntilTheEndOrUntilTheSpeedTurnsNegative) {
  testkit::cTempDir home{testkit::cTempDir::kHome};
  testkit::cNetRecorder game{false};
  cFixedFind find;
  find.callbacks["game"] = &game;
  stRecordReplay pair(&find);
  cNetReplay& replay = pair.replay;
  replay.SetEndPause(20);
  testkit::WriteFile("fast.rep", ReplayBytes(kStart, {{kStart, 2, "game", 1, "a"},
                                                      {kStart + 2000, 2, "game", 1, "b"}}));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(replay.StartReplay("fast.rep", 0, true));
  EXPECT_TRUE(WaitUntil([&] { return replay.IsThreadDone(); }));
  EXPECT_EQ(game.Snapshot().size(), 2u);
  EXPECT_FALSE(replay.IsReplaying());

  testkit::WriteFile("slow.rep", ReplayBytes(kStart, {{kStart, 2, "game", 1, "c"},
                                                      {kStart + 60000, 2, "game", 1, "d"}}));
  ASSERT_TRUE(replay.StartReplay("slow.rep", 1, true));
  WaitUntil([&] { return game.Snapshot().size() >= 3; });
  EXPECT_TRUE(replay.IsReplaying());
  replay.SetSpeed(-1);
  EXPECT_TRUE(WaitUntil([&] { return replay.IsThreadDone(); }));
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(replay.IsReplaying());
  EXPECT_EQ(game.Snapshot().size(), 3u);
  EXPECT_NE(printed.find("[replay] end..."), std::string::npos);
}

}  // namespace
