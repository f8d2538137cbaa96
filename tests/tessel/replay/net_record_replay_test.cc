// The replay file as the recorder writes it and as the replayer plays it back.
#include "tessel/replay/net_replay.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tessel/core/config_stores.h"
#include "tessel/core/worker_thread.h"
#include "tessel/replay/net_record.h"
#include "testkit/descriptor_limit.h"
#include "testkit/file_size_limit.h"
#include "testkit/file_text.h"
#include "testkit/net_recorder.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"
#include "testkit/text_shape.h"

namespace {

// A settable millisecond clock, a writer of replay files laid out byte by byte, and a finder
// with fixed answers.
std::atomic<uint32_t> g_now{100000};

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
    for (uint32_t word : {r.clock, r.kind}) PutU32(out, word);
    out += r.name + std::string(32 - std::min<size_t>(32, r.name.size()), '\0');
    for (uint32_t word : {r.linkId, uint32_t(r.data.size())}) PutU32(out, word);
    out += r.data;
  }
  return out;
}

// Names lead to callbacks; a server link is found as "name#id", a client link by its name.
struct cFixedFind : iCallbackFind {
  template <class V>
  static V Get(const std::map<std::string, V>& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
  }
  iSend* FindServerLink(const char* name, unsigned id) override {
    return Get(links, name + ("#" + std::to_string(id)));
  }
  iSend* FindClientLink(const char* name) override { return Get(links, name); }
  iCallbackNet* FindCallback(const char* name) override { return Get(callbacks, name); }
  std::map<std::string, iCallbackNet*> callbacks;
  std::map<std::string, iSend*> links;
};

constexpr uint32_t kStart = 5000;  // the recorded start clock

class NetReplayTest : public testing::Test {
 protected:
  NetReplayTest() { find_.callbacks = {{"game", &game_}, {"world", &world_}}; }
  bool Load(const std::string& bytes, int speed) {  // driven step by step on the fake clock
    testkit::WriteFile("t.rep", bytes);
    return replay_.StartReplay("t.rep", speed, false);
  }
  int StepAll() {  // steps until nothing more is due; the number delivered
    int delivered = 0;
    while (delivered < 100 && replay_.Step() == cNetReplay::Step_Delivered) ++delivered;
    return delivered;
  }

  testkit::cTempDir home_{testkit::cTempDir::kHome};
  testkit::cStdoutCapture quiet_;
  testkit::cNetRecorder game_{false}, world_{false};
  cFixedFind find_;
  // A recorder and a replayer of their own that exclude each other (not the process's pair).
  static uint32_t Now() { return g_now.load(); }
  cNetRecord record_{&replay_, &Now};
  cNetReplay replay_{&find_, &record_, &Now};
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
    EXPECT_EQ(game_.Snapshot().back().bytes, std::vector<char>{'c'});
  }
}

// A record that its link refuses, as a full queue does, is handed out again at a later step.
TEST_F(NetReplayTest, ARecordItsLinkRefusesIsDeliveredAtALaterStepNotDropped) {
  struct cFull : iCallbackNet {
    int OnMessage(int, const void* data, unsigned long size, iSend*) override {
      if (refusals-- > 0) return 0;
      taken.emplace_back(static_cast<const char*>(data), size);
      return 1;
    }
    int refusals = 2;
    std::vector<std::string> taken;
  } full;
  find_.callbacks["game"] = &full;
  ASSERT_TRUE(
      Load(ReplayBytes(kStart, {{kStart, 2, "game", 1, "a"}, {kStart, 2, "game", 1, "b"}}), 0));
  EXPECT_EQ(replay_.Step(), cNetReplay::Step_Waiting);
  EXPECT_EQ(replay_.Step(), cNetReplay::Step_Waiting);
  EXPECT_EQ(StepAll(), 2);
  EXPECT_EQ(full.taken, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(replay_.GetDelivered(), 2u);
}

TEST_F(NetReplayTest, EachRecordGoesToTheCallbackAndLinkOfItsNameAndUnknownNamesAreDropped) {
  // Two links as tokens: the replayer hands them on without using them.
  iSend *server = reinterpret_cast<iSend*>(0x1000), *client = reinterpret_cast<iSend*>(0x2000);
  find_.links = {{"game#7", server}, {"world", client}, {"game", client}};
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
  EXPECT_EQ(std::string(game[0].bytes.begin(), game[0].bytes.end()), "to link 7");
  EXPECT_EQ(game[0].send, server);
  EXPECT_EQ(game[1].send, client);   // link id 0: looked up as a client link
  EXPECT_EQ(game[2].send, nullptr);  // the link is absent: delivered without one
  EXPECT_EQ(game[3].kind, 3);
  ASSERT_EQ(world_.Snapshot().size(), 1u);
  EXPECT_EQ(world_.Snapshot()[0].kind, 1);
  EXPECT_EQ(world_.Snapshot()[0].send, client);
  EXPECT_EQ(replay_.GetDropped(), 1u);
  EXPECT_EQ(replay_.GetDelivered(), 5u);
  EXPECT_EQ(replay_.Step(), cNetReplay::Step_End);  // its end says what went nowhere
  EXPECT_TRUE(quiet_.Text().ends_with("named no link of this process, not replayed: 1\n"));
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
  // Each case with what the replay says when it ends: a lying size is seen before anything is
  // read or allocated for it.
  const std::string where = " (t.rep at offset " + std::to_string(good.size()) + ")";
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"cut in a record head", good + twoRecords.substr(good.size(), 20), "cut in a record head"},
      {"cut in the data", twoRecords.substr(0, twoRecords.size() - 2), "of 6 bytes, only 4 left"},
      {"lying size", lying, "record of 4294967280 bytes, only 3 left in the file"},
      {"unknown kind", file({kStart, 9, "game", 1, "x"}), "bad record kind 9"},
  };
  for (const auto& [what, bytes, says] : cases) {
    game_.Clear();
    ASSERT_TRUE(Load(bytes, 0)) << what;
    const size_t mark = quiet_.Text().size();
    g_now.fetch_add(10);
    EXPECT_EQ(StepAll(), 1) << what;
    EXPECT_EQ(replay_.Step(), cNetReplay::Step_End) << what;
    EXPECT_EQ(game_.Snapshot().size(), 1u) << what;
    EXPECT_NE(quiet_.Text().find(says, mark), std::string::npos) << quiet_.Text().substr(mark);
    EXPECT_NE(quiet_.Text().find(where, mark), std::string::npos);  // the file and the offset
  }
  // A size no link takes, in a file that does hold it (sparse), is not read either.
  std::string huge = lying;
  huge.replace(good.size() + 44, 4, std::string("\x01\x00\xFF\x3F", 4));
  ASSERT_TRUE(Load(huge, 0) && ::truncate("t.rep", off_t{2} << 30) == 0);
  g_now.fetch_add(10);
  EXPECT_TRUE(StepAll() == 1 && replay_.Step() == cNetReplay::Step_End);
  EXPECT_NE(quiet_.Text().find("record of 1073676289 bytes, more"), std::string::npos);
  // A file cut in its header is never loaded.
  EXPECT_FALSE(Load(good.substr(0, 7), 0));
  EXPECT_FALSE(replay_.IsReplaying());
  // Without a terminal a missing file fails at once instead of waiting for the operator.
  EXPECT_FALSE(replay_.StartReplay("Replay/no/such.rep", 1, true));
  EXPECT_TRUE(quiet_.Text().ends_with("can not find replay.rep under  Replay\\no/such.rep\n"));
  EXPECT_FALSE(replay_.StartReplay("Replay/\x1b]0;title\a.rep", 1, false));
  EXPECT_TRUE(quiet_.Text().ends_with("under  Replay\\\\x1B]0;title\\x07.rep\n")) << quiet_.Text();
}

// A pipe given the file's name once the replayer named it is never read: it reads what it opened.
struct cSwapOnLoad : std::stringbuf {
  std::streamsize xsputn(const char* text, std::streamsize n) override {
    if (std::string_view(text, static_cast<size_t>(n)) == " File ") std::rename("p.rep", "t.rep");
    return std::stringbuf::xsputn(text, n);
  }
};
TEST_F(NetReplayTest, APipeGivenTheFilesNameMeanwhileIsNeverRead) {
  testkit::WriteFile("t.rep", ReplayBytes(kStart, {}));
  ASSERT_EQ(::mkfifo("p.rep", 0600), 0);
  const int pipe = ::open("p.rep", O_RDWR | O_NONBLOCK | O_CLOEXEC);  // no open of it waits
  ASSERT_EQ(::write(pipe, "twelve bytes", 12), 12);
  cSwapOnLoad console;
  std::streambuf* const former = std::cout.rdbuf(&console);
  EXPECT_TRUE(replay_.LoadReplay("t.rep"));
  std::cout.rdbuf(former);
  EXPECT_EQ(::read(pipe, std::array<char, 16>{}.data(), 16), 12);  // still in the pipe
  ::close(pipe);
}

// The thread on the real clock, over records a minute apart: speed 0 plays everything at once
// (1000 times the pace); a negative speed stops the replay while the next record is not due.
TEST_F(NetReplayTest, PlaysOnItsOwnThreadUntilTheEndOrUntilTheSpeedTurnsNegative) {
  cNetReplay replay(&find_, &record_, nullptr);
  replay.SetEndPause(20);
  testkit::WriteFile("t.rep", ReplayBytes(kStart, {{kStart, 2, "game", 1, "a"},
                                                   {kStart + 60000, 2, "game", 1, "b"}}));
  for (int speed : {0, 1}) {
    ASSERT_TRUE(replay.StartReplay("t.rep", speed, true));
    if (speed == 1) {
      EXPECT_TRUE(testkit::WaitUntil([&] { return game_.Snapshot().size() >= 3; }));
      EXPECT_TRUE(replay.IsReplaying());
      replay.SetSpeed(-1);
    }
    EXPECT_TRUE(testkit::WaitUntil([&] { return replay.IsThreadDone(); }));
    EXPECT_FALSE(replay.IsReplaying());
    EXPECT_EQ(game_.Snapshot().size(), speed == 0 ? 2u : 3u);
  }
}

// Recording and replaying refuse to start while the other is on; without a terminal, a file
// that cannot be created fails the start at once. The file holds the header and each record
// little-endian as laid out, and is its owner's alone.
TEST_F(NetReplayTest, RecordingAndReplayingExcludeEachOtherAndTheFileIsLaidOutLittleEndian) {
  testkit::WriteFile("Replay", "a file where the folder should be");
  EXPECT_FALSE(record_.StartRecord("run"));
  EXPECT_EQ(GetNetRecorder(), nullptr);
  std::filesystem::remove("Replay");
  testkit::WriteFile("far.rep", ReplayBytes(0, {{60000, 2, "game", 1, "later"}}));
  g_now.store(0x01020304 - 60000);
  ASSERT_TRUE(replay_.StartReplay("far.rep", 1, false));
  EXPECT_EQ(replay_.Step(), cNetReplay::Step_Waiting);
  EXPECT_FALSE(record_.StartRecord("run"));
  EXPECT_FALSE(record_.IsRecording());
  // Once the replay reached its end, recording may start; from then on replaying is refused.
  g_now.fetch_add(60000);
  EXPECT_EQ(replay_.Step(), cNetReplay::Step_Delivered);
  EXPECT_EQ(replay_.Step(), cNetReplay::Step_End);
  const std::time_t before = std::time(nullptr);
  // The file holds what peers sent, the passwords of their logins among it: whatever the
  // umask, only its owner reads it.
  const mode_t umask = ::umask(0);
  ASSERT_TRUE(record_.StartRecord("run"));
  ::umask(umask);
  stMsg head;  // a record a replay handed in, handled now, is not recorded
  stBindMsg replayed{sizeof head, nullptr, &head, stBindMsg::kPeerRecord, true};
  cNetHelpTessel().HandlePeerMessageSelf(&replayed);
  struct stat st {};
  ASSERT_EQ(::stat(record_.GetPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(replay_.StartReplay("far.rep", 1, false));
  EXPECT_FALSE(replay_.IsReplaying());
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
  ASSERT_GE(bytes.size(), 12u);
  EXPECT_EQ(bytes.substr(0, 8), expected.substr(0, 8));
  uint32_t written = 0;  // the calendar time, little-endian as the machine
  std::memcpy(&written, bytes.data() + 8, 4);
  EXPECT_GE(written, static_cast<uint32_t>(before));
  EXPECT_EQ(bytes.substr(12), expected.substr(12));
}

// Record names stay inside the replay folder, whatever the text or a symbolic link says.
TEST_F(NetReplayTest, RecordNamesLeadingOutOfTheReplayFolderAreRefused) {
  std::filesystem::create_directories(home_.path() / "Replay");
  std::filesystem::create_directory_symlink(home_.path(), home_.path() / "Replay/out");
  for (const char* name : {"../../../x", "/tmp/x", "a/../../x", "..\\x", "out", "out/x"})
    EXPECT_FALSE(record_.StartRecord(name)) << name;
  EXPECT_FALSE(std::filesystem::exists(home_.path() / "x"));
  EXPECT_FALSE(std::filesystem::exists(home_.path() / "out"));
  ASSERT_TRUE(record_.StartRecord("in/side"));
  EXPECT_EQ(record_.GetPath().rfind("Replay/in/side/", 0), 0u) << record_.GetPath();
  // While it records, another name is refused; the same one goes on in the same file.
  const std::string path = record_.GetPath();
  EXPECT_FALSE(record_.StartRecord("other"));
  EXPECT_TRUE(record_.StartRecord("in/side"));
  EXPECT_EQ(record_.GetName() + " " + record_.GetPath(), "in/side " + path);
  EXPECT_FALSE(record_.StartRecord("/\x1b[2J\n12_08 09:59:01 forged"));  // shown escaped
  EXPECT_NE(quiet_.Text().find("refused name /\\x1B[2J\\x0A12_08"), std::string::npos);
}

// A recording is always a file of its own: a file or a link already at its name (a recording of
// the same second, or one planted) is left as it is. At a full disk the file ends after its last
// whole record and recording stops.
TEST_F(NetReplayTest, ARecordingNeverReusesAFileAndEndsWholeAtAFullDisk) {
  testkit::WriteFile("victim", "precious");
  std::filesystem::create_directories("Replay/run");
  for (std::time_t at = std::time(nullptr), end = at + 5; at < end; ++at) {
    char name[64];
    std::strftime(name, sizeof name, "Replay/run/%Y_%m_%d-%H.%M.%S.rep", std::localtime(&at));
    std::filesystem::create_symlink(home_.path() / "victim", name);
  }
  ASSERT_TRUE(record_.StartRecord("run"));
  EXPECT_TRUE(testing_support::fits(record_.GetPath(), "Replay/run/####_##_##-##.##.##-2.rep"))
      << record_.GetPath();
  EXPECT_EQ(testkit::ReadFile("victim"), "precious");
  record_.Record(2, "whole", 5, 1, "game");
  {
    testkit::cFileSizeLimit disk(12 + 2 * 48 + 5 + 10);
#ifndef TESSEL_SANITIZED
    testkit::cDescriptorLimit none;  // the cut needs no descriptor
#endif
    record_.Record(2, "cut in the middle", 17, 1, "game");
    record_.Record(2, "x", 1, 1, "game");
  }
  EXPECT_FALSE(record_.IsRecording());
  EXPECT_EQ(testkit::ReadFile(record_.GetPath()).size(), 12u + 48 + 5);
  ASSERT_TRUE(replay_.StartReplay(record_.GetPath().c_str(), 0, false));
  EXPECT_TRUE(StepAll() == 1 && replay_.Step() == cNetReplay::Step_End);
  ASSERT_TRUE(record_.StartRecord("run"));  // nor does it go on into a file removed meanwhile
  std::filesystem::remove(record_.GetPath());
  record_.Record(2, "lost", 4, 1, "game");
  EXPECT_FALSE(record_.IsRecording());
  ASSERT_TRUE(record_.StartRecord("run"));  // nor past record_max_mbytes (a link flooding)
  SetConfigValue("record_max_mbytes", 1);
  for (int i = 0; i < 3; ++i) record_.Record(2, std::string(600000, 'p').data(), 600000, 1, "g");
  SetConfigValue("record_max_mbytes", 1024);
  EXPECT_EQ(testkit::ReadFile(record_.GetPath()).size(), 12u + 48 + 600000);
  EXPECT_NE(quiet_.Text().find("reached record_max_mbytes (1 MiB), recording"), std::string::npos);
}

// On the host's worker a failed start ends with its message: it neither waits for a key nor
// takes the lines waiting on the terminal, which belong to the console.
TEST_F(NetReplayTest, OnTheWorkerAFailedStartNeverWaitsForTheOperator) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  const int stdinBefore = ::dup(STDIN_FILENO);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::dup2(terminal, STDIN_FILENO), STDIN_FILENO);
  ASSERT_EQ(::write(master, std::string(45, '\n').data(), 45), 45);  // keys for every round
  std::thread worker([this] {
    MarkWorkerThread(true);
    EXPECT_FALSE(replay_.StartReplay("missing.rep", 1, true));
    testkit::WriteFile("Replay", "a file where the folder should be");
    EXPECT_FALSE(record_.StartRecord("run"));
    MarkWorkerThread(false);
  });
  worker.join();
  pollfd waiting{STDIN_FILENO, POLLIN, 0};
  EXPECT_EQ(::poll(&waiting, 1, 0), 1);  // the lines are still there
  EXPECT_EQ(quiet_.Text().find("请按任意键继续"), std::string::npos) << quiet_.Text();
  ::dup2(stdinBefore, STDIN_FILENO);
  for (const int fd : {stdinBefore, terminal, master}) ::close(fd);
}

}  // namespace
