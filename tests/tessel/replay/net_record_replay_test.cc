// The replay file as the recorder writes it and as the replayer plays it back.
#include "tessel/replay/net_replay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "tessel/replay/net_record.h"
#include "testkit/file_text.h"
#include "testkit/net_recorder.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"
#include "testkit/text_shape.h"

namespace {

// A settable millisecond clock, a writer of replay files laid out byte by byte, and a finder
// with fixed answers.
std::atomic<uint32_t> g_now{0};
uint32_t FakeClock() {
  return g_now.load();
}

void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

struct stFileRecord {
  uint32_t clock, kind;
  std::string name;  // written as given: the writer does not cut it
  uint32_t linkId;
  std::string data;
};
// The bytes of a replay file: header (version 1, start clock, calendar time 0) and records.
std::string ReplayBytes(uint32_t startClock, const std::vector<stFileRecord>& records) {
  std::string out;
  for (uint32_t word : {1u, startClock, 0u}) PutU32(out, word);
  for (const auto& r : records) {
    PutU32(out, r.clock);
    PutU32(out, r.kind);
    out += r.name + std::string(32 - std::min<size_t>(32, r.name.size()), '\0');
    PutU32(out, r.linkId);
    PutU32(out, static_cast<uint32_t>(r.data.size()));
    out += r.data;
  }
  return out;
}

// Names lead to callbacks; server links and client links to the iSend given for them.
struct cFixedFind : iCallbackFind {
  template <class K, class V>
  static V Find(const std::map<K, V>& map, const K& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
  }
  iSend* FindServerLink(const char* name, unsigned id) override {
    return Find(serverLinks, {name, id});
  }
  iSend* FindClientLink(const char* name) override { return Find(clientLinks, {name}); }
  iCallbackNet* FindCallback(const char* name) override { return Find(callbacks, {name}); }
  std::map<std::string, iCallbackNet*> callbacks;
  std::map<std::pair<std::string, unsigned>, iSend*> serverLinks;
  std::map<std::string, iSend*> clientLinks;
};

// A recorder and a replayer of their own that exclude each other (not the process's pair).
struct stRecordReplay {
  stRecordReplay(iCallbackFind* find, cNetReplay::ClockFunc clock = nullptr)
      : replay(find, &record, clock) {}
  cNetRecord record{&replay, &FakeClock};
  cNetReplay replay;
};

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

TEST_F(NetReplayTest, TheFileHoldsTheHeaderAndEachRecordLittleEndianAsLaidOut) {
  g_now.store(0x01020304);
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(pair_.record.StartRecord("run"));
  EXPECT_TRUE(testing_support::fits(pair_.record.GetPath(), "Replay/run/####_##_##-##.##.##.rep"))
      << pair_.record.GetPath();
  EXPECT_EQ(GetNetRecorder(), &pair_.record);  // the links' callbacks now record into it

  g_now.store(0x01020404);
  pair_.record.Record(2, "\x01\x02\x03", 3, 7, std::string(40, 'n').c_str());
  g_now.store(0x01020504);
  pair_.record.RecordNetState(9, 6, 13, "game");
  // Each record: clock, kind, name cut at 32 bytes, link id, size, data. The made-up state
  // event is kind 3 with 16 bytes: type 0, id 0, link id, state, reason.
  std::string state(4, '\0');
  for (uint32_t word : {9u, 6u, 13u}) PutU32(state, word);
  const std::string expected =
      ReplayBytes(0x01020304, {{0x01020404, 2, std::string(32, 'n'), 7, "\x01\x02\x03"},
                               {0x01020504, 3, "game", 9, state}});
  const std::string bytes = testkit::ReadFile(pair_.record.GetPath());
  EXPECT_EQ(bytes.substr(0, 8), expected.substr(0, 8));
  uint32_t written = 0;  // the calendar time, little-endian as the machine
  std::memcpy(&written, bytes.data() + 8, std::min<size_t>(bytes.size(), 12) - 8);
  EXPECT_GE(written, static_cast<uint32_t>(before));
  EXPECT_EQ(bytes.substr(12), expected.substr(12));
}

TEST_F(NetReplayTest, RecordingAndReplayingRefuseToStartWhileTheOtherIsOn) {
  testkit::WriteFile("far.rep", ReplayBytes(0, {{60000, 2, "game", 1, "later"}}));
  ASSERT_TRUE(pair_.replay.StartReplay("far.rep", 1, false));
  EXPECT_EQ(pair_.replay.Step(), cNetReplay::Step_Waiting);
  EXPECT_FALSE(pair_.record.StartRecord("run"));
  EXPECT_FALSE(pair_.record.IsRecording());
  // Once the replay reached its end, recording may start; from then on replaying is refused.
  g_now.fetch_add(60000);
  EXPECT_EQ(pair_.replay.Step(), cNetReplay::Step_Delivered);
  EXPECT_EQ(pair_.replay.Step(), cNetReplay::Step_End);
  EXPECT_TRUE(pair_.record.StartRecord("run"));
  EXPECT_FALSE(pair_.replay.StartReplay("far.rep", 1, false));
  EXPECT_FALSE(pair_.replay.IsReplaying());
}

TEST_F(NetReplayTest, WithoutATerminalAFileThatCannotBeCreatedFailsTheStartAtOnce) {
  testkit::WriteFile("Replay", "a file where the folder should be");
  EXPECT_FALSE(pair_.record.StartRecord("run"));
  EXPECT_FALSE(pair_.record.IsRecording());
  EXPECT_EQ(GetNetRecorder(), nullptr);
}

}  // namespace
