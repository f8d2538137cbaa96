#include "tessel/replay/net_replay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "replay_test_util.h"
#include "tessel/replay/net_record.h"
#include "testkit/file_text.h"
#include "testkit/net_recorder.h"
#include "testkit/stdout_capture.h"
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
    while (delivered < 100 && replay_.Step() == cNetReplay::Step_Delivered) ++delivered;
    return delivered;
  }

  testkit::cTempDir home_{testkit::cTempDir::kHome};
  testkit::cStdoutCapture quiet_;
  cFixedFind find_;
  stRecordReplay pair_{&find_, &FakeClock};
  cNetReplay& replay_ = pair_.replay;
  testkit::cNetRecorder game_{false}, world_{false};
};

TEST_F(NetReplayTest, RecordsComeDueAtTheirRecordedOffsetDividedByTheSpeed) {
  // Recorded at 0, 100 and 300 ms after the recording's start clock; loaded at `loadedAt`, and
  // at so many milliseconds after loading so many records are out.
  const struct {
    int speed;
    uint32_t recordedStart, loadedAt;
    std::vector<std::pair<uint32_t, size_t>> steps;
  } cases[] = {
      {1, kStart, 100000, {{0, 1}, {99, 1}, {100, 2}, {299, 2}, {300, 3}}},
      {2, kStart, 100000, {{0, 1}, {49, 1}, {50, 2}, {149, 2}, {150, 3}}},
      {0, kStart, 100000, {{0, 1}, {1, 3}}},  // 1000 times the recorded pace
      // Both millisecond clocks wrap around 2^32 during the replay.
      {1, 0xFFFFFF9Cu, 0xFFFFFFF0u, {{0, 1}, {99, 1}, {100, 2}, {299, 2}, {300, 3}}},
  };
  for (const auto& c : cases) {
    game_.Clear();
    const uint32_t t = c.recordedStart;
    g_now.store(c.loadedAt);
    ASSERT_TRUE(Load(ReplayBytes(t, {{t, 2, "game", 1, "a"},
                                     {t + 100, 2, "game", 1, "b"},
                                     {t + 300, 2, "game", 1, "c"}}),
                     c.speed));
    for (auto [after, expected] : c.steps) {
      g_now.store(c.loadedAt + after);
      StepAll();
      EXPECT_EQ(game_.Snapshot().size(), expected)
          << "speed " << c.speed << " from " << t << " at " << after;
    }
    EXPECT_EQ(replay_.Step(), cNetReplay::Step_End);
    EXPECT_FALSE(replay_.IsReplaying());
    ASSERT_EQ(game_.Snapshot().size(), 3u);
    EXPECT_EQ(Text(game_.Snapshot()[2]), "c");
  }
}

TEST_F(NetReplayTest, EachRecordGoesToTheCallbackAndLinkOfItsNameAndUnknownNamesAreDropped) {
  int serverLink = 0, clientLink = 0;  // stand for two links by their addresses
  auto* server = reinterpret_cast<iSend*>(&serverLink);
  auto* client = reinterpret_cast<iSend*>(&clientLink);
  find_.serverLinks[{"game", 7}] = server;
  find_.clientLinks["world"] = client;
  find_.clientLinks["game"] = client;
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
  EXPECT_TRUE(world_.Snapshot()[0].kind == 1 && world_.Snapshot()[0].send == client);
  EXPECT_EQ(replay_.GetDropped(), 1u);
  EXPECT_EQ(replay_.GetDelivered(), 5u);
}

TEST_F(NetReplayTest, ADamagedOrMissingFileEndsTheReplayAfterTheRecordsBeforeTheDamage) {
  // The file of one good record followed by `then`.
  auto file = [](const stFileRecord& then) {
    return ReplayBytes(kStart, {{kStart, 2, "game", 1, "ok"}, then});
  };
  const std::string good = ReplayBytes(kStart, {{kStart, 2, "game", 1, "ok"}});
  const std::string twoRecords = file({kStart, 2, "game", 1, "abcdef"});
  std::string lying = file({kStart, 2, "game", 1, "abc"});
  lying.replace(good.size() + 44, 4, "\xF0\xFF\xFF\xFF");  // size 0xFFFFFFF0: past the end
  const std::pair<const char*, std::string> cases[] = {
      {"cut in a record head", good + twoRecords.substr(good.size(), 20)},
      {"cut in the data", twoRecords.substr(0, twoRecords.size() - 2)},
      {"lying size", lying},
      {"unknown kind", file({kStart, 9, "game", 1, "x"})},
  };
  for (const auto& [what, bytes] : cases) {
    game_.Clear();
    ASSERT_TRUE(Load(bytes, 0)) << what;
    g_now.fetch_add(10);
    EXPECT_EQ(StepAll(), 1) << what;
    EXPECT_EQ(replay_.Step(), cNetReplay::Step_End) << what;
    EXPECT_FALSE(replay_.IsReplaying()) << what;
    EXPECT_EQ(game_.Snapshot().size(), 1u) << what;
  }
  // A file cut in its header is never loaded.
  EXPECT_FALSE(Load(good.substr(0, 7), 0));
  EXPECT_FALSE(replay_.IsReplaying());
  // Without a terminal a missing file fails at once instead of waiting for the operator.
  EXPECT_FALSE(replay_.StartReplay("no/such.rep", 1, true));
}

// The thread on the real clock: speed 0 plays everything at once; a negative speed stops a
// replay whose next record is a minute away.
TEST_F(NetReplayTest, PlaysOnItsOwnThreadUntilTheEndOrUntilTheSpeedTurnsNegative) {
  auto pair = std::make_unique<stRecordReplay>(&find_);
  cNetReplay& replay = pair->replay;
  replay.SetEndPause(20);
  // Polls every millisecond for at most 5 s.
  auto waitUntil = [](const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
  };
  testkit::WriteFile("fast.rep", ReplayBytes(kStart, {{kStart, 2, "game", 1, "a"},
                                                      {kStart + 2000, 2, "game", 1, "b"}}));
  ASSERT_TRUE(replay.StartReplay("fast.rep", 0, true));
  EXPECT_TRUE(waitUntil([&] { return replay.IsThreadDone(); }));
  EXPECT_EQ(game_.Snapshot().size(), 2u);
  EXPECT_FALSE(replay.IsReplaying());
  testkit::WriteFile("slow.rep", ReplayBytes(kStart, {{kStart, 2, "game", 1, "c"},
                                                      {kStart + 60000, 2, "game", 1, "d"}}));
  ASSERT_TRUE(replay.StartReplay("slow.rep", 1, true));
  waitUntil([&] { return game_.Snapshot().size() >= 3; });
  EXPECT_TRUE(replay.IsReplaying());
  replay.SetSpeed(-1);
  EXPECT_TRUE(waitUntil([&] { return replay.IsThreadDone(); }));
  EXPECT_FALSE(replay.IsReplaying());
  EXPECT_EQ(game_.Snapshot().size(), 3u);
}

}  // namespace
