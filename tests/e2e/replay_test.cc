// Link traffic recorded by one process and replayed into a fresh one: the server side runs the
// recorded commands again in the same order, the client side takes the recorded outputs again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

// What a bridge's command log says of each command, in order: its group, text and result.
std::vector<std::string> CommandLog(const cHome& home) {
  std::vector<std::string> commands;
  for (const std::string& line : testkit::Lines(testkit::ReadFolder(home / "log")))
    if (const size_t at = line.find("【cmd】"); at != std::string::npos)
      commands.push_back(line.substr(at));
  return commands;
}

void PutU32(std::string& bytes, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

struct stRecorded {
  std::string serverFile, clientFile;  // the replay files of global and of game
  std::vector<std::string> serverLog, clientLog;
};

// global records its server link from before game connects; game records its client link once
// logged in; then game sends commands up and gets their outputs back.
stRecorded RecordSession() {
  stRecorded session;
  cHome globalHome, gameHome;
  AddAccount(globalHome, "game", "gamepw", 16);
  cServerProcess global(globalHome, Words("global", {"listen", "=", "0"}));
  const int port = global.WaitPort("global");
  EXPECT_GT(port, 0) << global.Output();
  global.Ask("/16/Record('links')", " ok!");

  WriteLogin(gameHome, "global", "game", "gamepw");
  cServerProcess game(gameHome, Words("game", {"connect", "=", "global:" + std::to_string(port)}));
  EXPECT_TRUE(game.WaitOutput("logined 1")) << game.Output();
  game.Ask("/16/Record('uplink')", " ok!");
  const std::pair<const char*, const char*> commands[] = {
      {"/11/SendName('global',6,'Hello()')", "Output() Hello World!"},
      {"/9/SendToServer('global',1,'Accounts()')", "Output() func_Accounts global game "},
      {"/11/SendName('global',3,\"RunRemote('nothing')\")", "Output() run file nothing not found"},
  };
  for (const auto& [line, returned] : commands) game.Ask(line, returned);
  game.QuitInOrder();
  global.QuitInOrder();
  session.serverFile = testkit::ReadFolder(globalHome / "Replay");
  session.clientFile = testkit::ReadFolder(gameHome / "Replay");
  session.serverLog = CommandLog(globalHome);
  session.clientLog = CommandLog(gameHome);
  return session;
}

class ReplayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_recorded = std::make_unique<stRecorded>(RecordSession()); }
  static void TearDownTestSuite() { s_recorded.reset(); }

  // Plays `file` in `process` at `speed` and waits for the end of the replay.
  static void Play(cServerProcess& process, const std::string& file, int speed) {
    const size_t mark = process.Output().size();
    process.Type("/16/Replay('" + file + "')");
    // The console keeps one line for the worker: the next is typed once this one ran. The
    // replay thread may already be printing between the command's lines.
    EXPECT_TRUE(process.WaitOutput("cNetReplay::LoadReplay File " + file, mark) &&
                process.WaitOutput(" ok!", mark))
        << process.Output().substr(mark);
    if (speed != 1) process.Type("/16/ReplaySpeed(" + std::to_string(speed) + ")");
    EXPECT_TRUE(process.WaitOutput("[replay] end...", mark)) << process.Output().substr(mark);
  }

  static std::unique_ptr<stRecorded> s_recorded;
};

std::unique_ptr<stRecorded> ReplayTest::s_recorded;

TEST_F(ReplayTest, AFreshServerRunsTheRecordedCommandsInTheSameOrder) {
  const stRecorded& recorded = *s_recorded;
  ASSERT_FALSE(recorded.serverFile.empty());
  // The login and the three commands, all accepted.
  ASSERT_EQ(recorded.serverLog.size(), 4u);
  for (const std::string& entry : recorded.serverLog)
    EXPECT_NE(entry.find(" result 0"), std::string::npos) << entry;

  cHome home;
  AddAccount(home, "game", "gamepw", 16);
  home.write("links.rep", recorded.serverFile);
  cServerProcess global(home, Words("global", {"listen", "=", "0"}));
  const int port = global.WaitPort("global");
  ASSERT_GT(port, 0) << global.Output();
  // First without a link of the recorded id, then with one.
  Play(global, "links.rep", 1);
  const size_t mark = global.Output().size();
  // A plain TCP connection becomes link 1 of the server; it sends nothing itself.
  const int link = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(::connect(link, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_TRUE(global.WaitOutput("global link id 1  ip 127.0.0.1 create", mark))
      << global.Output().substr(mark);
  Play(global, "links.rep", 1);
  global.QuitInOrder();
  ::close(link);

  // Without the link the commands are refused, and what they would send back is dropped; with
  // it they run as they did when recorded.
  const std::vector<std::string> log = CommandLog(home);
  ASSERT_EQ(log.size(), 2 * recorded.serverLog.size());
  for (size_t i = 0; i < recorded.serverLog.size(); ++i) {
    const std::string& entry = recorded.serverLog[i];
    EXPECT_EQ(log[i], entry.substr(0, entry.rfind(" result ")) + " result 6");
    EXPECT_EQ(log[recorded.serverLog.size() + i], entry);
  }
}

TEST_F(ReplayTest, AFreshClientTakesTheRecordedOutputsOfItsLinkAgain) {
  const stRecorded& recorded = *s_recorded;
  ASSERT_FALSE(recorded.clientFile.empty());
  cHome home;
  home.write("uplink.rep", recorded.clientFile);
  // Its upstream is gone: the client link exists but is not connected, and does not try again
  // during the test: its disconnect notice drops what the link has queued, so the replay starts
  // once the failed connect was handled.
  WriteLogin(home, "global", "game", "x");
  cServerProcess game(home, Words("game", {"connect", "=", "global:1", "reconnect", "=", "60"}));
  ASSERT_TRUE(game.WaitOutput("cBridgeClient::OnDisconnect client global")) << game.Output();
  const size_t mark = game.Output().size();
  Play(game, "uplink.rep", 2);
  EXPECT_TRUE(testkit::InOrder(game.Output().substr(mark),
                               {"Output() Hello World!", "Output() func_Accounts global game ",
                                "Output() run file nothing not found"}));
  game.QuitInOrder();

  // What the recorded client ran since its recording began, in the same order.
  const std::vector<std::string> log = CommandLog(home);
  ASSERT_GE(log.size(), 3u);
  ASSERT_LE(log.size(), recorded.clientLog.size());
  EXPECT_TRUE(std::equal(log.begin(), log.end(), recorded.clientLog.end() - log.size()));
}

// The host stops a running replay before it releases the links the replay delivers into.
TEST_F(ReplayTest, QuittingWhileAReplayDeliversEndsInOrder) {
  // Network notices for the server link, 50 in every millisecond for 1.5 s: the replay is busy
  // delivering while the links are ended and released. Empty notices change no link state.
  // Each notice: clock, kind 1, the name, link id 1 and no data.
  std::string dense;
  for (uint32_t word : {1u, 0u, 0u}) PutU32(dense, word);
  for (uint32_t i = 0; i < 75000; ++i) {
    PutU32(dense, i / 50);
    PutU32(dense, 1);
    dense += std::string("global") + std::string(26, '\0');
    PutU32(dense, 1);
    PutU32(dense, 0);
  }
  cHome home;
  home.write("dense.rep", dense);
  cServerProcess global(home, Words("global", {"listen", "=", "0"}));
  ASSERT_GT(global.WaitPort("global"), 0) << global.Output();
  global.Type("/16/Replay('dense.rep')");
  ASSERT_TRUE(global.WaitOutput(" ok!")) << global.Output();
  global.QuitInOrder();
}

}  // namespace
}  // namespace e2e
