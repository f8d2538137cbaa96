// Link traffic recorded by one process and replayed into a fresh one: the server side runs the
// recorded commands again in the same order, the client side takes the recorded outputs again.
#include <algorithm>
#include <cstdint>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/net_recorder.h"
#include "testkit/steps.h"

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

// "gamepw" hashed: a login is answered later, once checked off the worker.
constexpr const char* kHashedGamePw =
    "$scrypt$ln=15,r=8,p=1$RDSGTvDbIND5M+tmTsHexg$sGXtVFKQHjIxlN6LkNN2bAMNqk390oTKt6pCQ9ojgxs";

// Plays `file` in `process` at `speed` and waits for the end of the replay.
void Play(cServerProcess& process, const std::string& file, int speed) {
  const size_t mark = process.Output().size();
  process.Type("/16/Replay('" + file + "')");
  // The console keeps one line for the worker: the next is typed once this one ran. The replay
  // thread may already be printing between the command's lines.
  EXPECT_TRUE(process.WaitOutput("cNetReplay::LoadReplay File Replay/" + file, mark))
      << process.Output().substr(mark);
  EXPECT_TRUE(process.WaitOutput(" ok!", mark)) << process.Output().substr(mark);
  if (speed != 1) process.Type("/16/ReplaySpeed(" + std::to_string(speed) + ")");
  EXPECT_TRUE(process.WaitOutput("[replay] end...", mark)) << process.Output().substr(mark);
}

// global records its server link from before game connects; game records its client link once
// logged in; then game sends commands up and gets their outputs back. Then each side's file is
// played in a fresh process of its kind.
TEST(ReplayE2e, RecordedTrafficPlaysAgainInFreshProcessesOfBothSides) {
  const std::vector<std::string> outputs = {"Output() Hello World!",
                                            "Output() func_Accounts global game ",
                                            "Output() run file nothing not found"};
  cHome globalHome, gameHome;
  testkit::cSteps steps;
  {
    TESSEL_STEP(steps, "recording on both sides of a link");
    AddAccount(globalHome, "game", "gamepw", 16);
    cServerProcess global(globalHome, Words("global", Listen()));
    const int port = global.WaitPort("global");
    ASSERT_GT(port, 0) << global.Output();
    ASSERT_TRUE(global.Ask("/16/Record('links')", {" ok!"})) << global.Output();
    WriteLogin(gameHome, "global", "game", "gamepw");
    cServerProcess game(gameHome, Words("game", ConnectTo("global", port)));
    ASSERT_TRUE(game.WaitOutput("logined 1")) << game.Output();
    ASSERT_TRUE(game.Ask("/16/Record('uplink')", {" ok!"})) << game.Output();
    const std::string commands[] = {"/11/SendName('global',6,'Hello()')",
                                    "/9/SendToServer('global',1,'Accounts()')",
                                    "/11/SendName('global',3,\"RunRemote('nothing')\")"};
    for (size_t i = 0; i < outputs.size(); ++i) game.Ask(commands[i], {outputs[i]});
    game.QuitInOrder();
    global.QuitInOrder();
  }
  TESSEL_STEP(steps, "the recorded commands were accepted");
  const std::vector<std::string> serverLog = CommandLog(globalHome);
  const std::vector<std::string> clientLog = CommandLog(gameHome);
  // The login and the three commands, all accepted.
  ASSERT_EQ(serverLog.size(), 4u);
  for (const std::string& entry : serverLog)
    EXPECT_NE(entry.find(" result 0"), std::string::npos) << entry;

  TESSEL_STEP(steps, "a fresh server plays the server side's file");
  // It plays the file first without a link of the recorded id, then with one: a
  // stranger's TCP connection, its link 1 (the file cut before the link's disconnect).
  cHome serverHome;
  AddAccount(serverHome, "game", kHashedGamePw, 16);
  const std::string recorded = testkit::ReadFolder(globalHome / "Replay");
  serverHome.write("Replay/links.rep", recorded);
  serverHome.write("Replay/login.rep", recorded.substr(0, recorded.size() - 64));
  cServerProcess global(serverHome, Words("global", Listen()));
  const int port = global.WaitPort("global");
  ASSERT_GT(port, 0) << global.Output();
  Play(global, "links.rep", 1);
  const size_t mark = global.Output().size();
  testkit::cRawPeer stranger(static_cast<unsigned short>(port));
  ASSERT_TRUE(global.WaitOutput("global link id 1  ip 127.0.0.1 create", mark));
  Play(global, "login.rep", 1);
  TESSEL_STEP(steps, "the login the replay made is not the stranger's");
  // Its own command is refused as a stranger's: a notice (type 1002) of code 7 for record 1004.
  std::vector<char> got, refused = testkit::Frame(1002, std::string("\xEC\3\0\0\7\0\0\0", 8));
  stranger.ReadUntil(got, 1000);  // what the recorded commands answered
  got.clear();
  ASSERT_TRUE(stranger.Write(testkit::CmdFrame(6, "Hello()")));
  stranger.ReadUntil(got, kWaitMs, refused.size());
  EXPECT_EQ(got, refused);
  auto seen = [&got] { return std::string(got.begin(), got.end()); };
  // Its own login takes the link over, its own logout ends it: the account is free again.
  for (const char* text : {"Login('game','gamepw')", "Logout()"})
    ASSERT_TRUE(stranger.Write(testkit::CmdFrame(2, text)));
  for (int i = 0; i < 200 && seen().find("logout ok") == std::string::npos; ++i)
    stranger.ReadUntil(got, 100);
  EXPECT_NE(seen().find("Logined(1,"), std::string::npos) << seen();
  TESSEL_STEP(steps, "a replay leaves a logged-in live peer alone");
  // "Link 2 went down" plays while a peer is logged in on link 2: its command still runs.
  std::string live;
  for (uint32_t value : {1u, 0u, 0u, 0u, 1u}) live.append(reinterpret_cast<char*>(&value), 4);
  live += std::string("global") + std::string(26, '\0');
  for (uint32_t value : {2u, 16u, 0u, 6u, 2u, 0u}) live.append(reinterpret_cast<char*>(&value), 4);
  // Played 1.5 s (0x5DC ms) after the same notice as "created", which meets link 2 a stranger's.
  live += live.substr(12);
  live[64] = 0, live[76] = '\xDC', live[77] = 5;
  serverHome.write("Replay/live.rep", live);
  cHome peerHome;
  cServerProcess peer(peerHome, Words("game", ConnectTo("global", port)));
  ASSERT_TRUE(global.WaitOutput("global link id 2  ip 127.0.0.1 connect", mark));
  const size_t played = global.Output().size();
  global.Type("/16/Replay('live.rep')");
  ASSERT_TRUE(global.WaitOutput("global link id 2  ip 127.0.0.1 create", played));
  ASSERT_TRUE(peer.Ask("/11/SendName('global',2,\"Login('game','gamepw')\")", {"logined 1"}));
  ASSERT_TRUE(global.WaitOutput("[replay] end...", played));
  EXPECT_TRUE(peer.Ask("/11/SendName('global',6,'Hello()')", {"Output() Hello World!"}))
      << peer.Output();
  peer.QuitInOrder();
  TESSEL_STEP(steps, "quitting during a dense replay");
  // The host stops a running replay before it releases the links the replay delivers into:
  // quitting while a dense replay delivers (50 empty notices for link 1 every millisecond for
  // 1.5 s; each: clock, kind 1, the name, link id 1, no data) ends in order.
  std::string dense;
  auto put = [&dense](uint32_t word) { dense.append(reinterpret_cast<const char*>(&word), 4); };
  for (uint32_t word : {1u, 0u, 0u}) put(word);
  for (uint32_t i = 0; i < 75000; ++i) {
    put(i / 50);
    put(1);
    dense += std::string("global") + std::string(26, '\0');
    put(1);
    put(0);
  }
  serverHome.write("Replay/dense.rep", dense);
  ASSERT_TRUE(global.Ask("/16/Replay('dense.rep')", {" ok!"}));
  global.QuitInOrder();
  TESSEL_STEP(steps, "the replayed commands' log");
  // Without the link the commands are refused, and what they would send back is dropped; with
  // it they run as they did when recorded.
  const std::vector<std::string> log = CommandLog(serverHome);
  ASSERT_EQ(log.size(), 2 * serverLog.size() + 4);
  for (size_t i = 0; i < serverLog.size(); ++i) {
    EXPECT_EQ(log[i], serverLog[i].substr(0, serverLog[i].rfind(" result ")) + " result 6");
    EXPECT_EQ(log[serverLog.size() + i], serverLog[i]);
  }

  TESSEL_STEP(steps, "a fresh client plays the client side's file");
  // A fresh client whose upstream is gone: its link exists but is not connected and does not
  // try again during the test (its disconnect notice drops what the link has queued, so the
  // replay starts once the failed connect was handled). It takes the recorded outputs again and
  // runs what the recorded client ran since its recording began, in the same order.
  cHome clientHome;
  clientHome.write("Replay/uplink.rep", testkit::ReadFolder(gameHome / "Replay"));
  WriteLogin(clientHome, "global", "game", "x");
  cServerProcess game(clientHome,
                      Words("game", {"connect", "=", "global:1", "reconnect", "=", "60"}));
  ASSERT_TRUE(game.WaitOutput("cBridgeClient::OnDisconnect client global")) << game.Output();
  const size_t from = game.Output().size();
  Play(game, "uplink.rep", 2);
  EXPECT_TRUE(testkit::InOrder(game.Output().substr(from), outputs));
  game.QuitInOrder();
  const std::vector<std::string> ran = CommandLog(clientHome);
  ASSERT_GE(ran.size(), 3u);
  ASSERT_LE(ran.size(), clientLog.size());
  EXPECT_TRUE(std::equal(ran.begin(), ran.end(), clientLog.end() - ran.size()));
}

}  // namespace
}  // namespace e2e
