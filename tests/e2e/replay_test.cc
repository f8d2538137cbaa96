// Link traffic recorded by one process and replayed into a fresh one: the server side runs the
// recorded commands again in the same order, the client side takes the recorded outputs again,
// and the replay keeps the recorded pace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

const bool kIgnorePipe = (::signal(SIGPIPE, SIG_IGN), true);

// What a bridge's command log says of each command, in order: its group and text, and the
// result unless only the commands are compared.
std::vector<std::string> CommandLog(const cHome& home, bool withResult) {
  std::vector<std::string> commands;
  std::istringstream all(home.ReadAll("log"));
  for (std::string line; std::getline(all, line);) {
    const size_t at = line.find("【cmd】");
    if (at == std::string::npos) continue;
    std::string entry = line.substr(at);
    if (!withResult) entry = entry.substr(0, entry.rfind(" result "));
    commands.push_back(entry);
  }
  return commands;
}

uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

// The milliseconds between the start of a replay file and its last record.
uint32_t RecordedSpan(const std::string& file) {
  constexpr size_t kHeader = 12, kHead = 48;
  uint32_t last = U32At(file, 4);
  for (size_t at = kHeader; at + kHead <= file.size(); at += kHead + U32At(file, at + 44))
    last = U32At(file, at);
  return last - U32At(file, 4);
}

void PutU32(std::string& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Quit(cServerProcess& process) {
  process.Type("quit");
  EXPECT_EQ(process.WaitExit(), 0) << process.Output();
}

// Records the process's links under `name`.
void StartRecord(cServerProcess& process, const std::string& name) {
  const size_t mark = process.Output().size();
  process.Type("/16/Record('" + name + "')");
  EXPECT_TRUE(process.WaitOutput(" ok!", mark)) << process.Output().substr(mark);
}

// A plain TCP connection to a listening side on 127.0.0.1: it becomes a link of the server
// and sends nothing itself.
class cLoopbackLink {
 public:
  explicit cLoopbackLink(int port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
      ADD_FAILURE() << "cannot connect to port " << port;
  }
  ~cLoopbackLink() {
    if (m_fd >= 0) ::close(m_fd);
  }
  cLoopbackLink(const cLoopbackLink&) = delete;
  cLoopbackLink& operator=(const cLoopbackLink&) = delete;

 private:
  int m_fd;
};

struct stRecorded {
  std::string serverFile, clientFile;  // the replay files of global and of game
  std::vector<std::string> serverLog, clientLog;
};

// global records its server link from before game connects; game records its client link once
// logged in; then game sends commands up and gets their outputs back.
stRecorded RecordSession() {
  stRecorded session;
  cHome globalHome, gameHome;
  globalHome.AddAccount("game", "gamepw", 16);
  cServerProcess global(globalHome, Words("global", {"listen", "=", "0"}));
  const int port = global.WaitPort("global");
  EXPECT_GT(port, 0) << global.Output();
  StartRecord(global, "links");

  gameHome.Write("config/login_global.ini",
                 "serverip = 127.0.0.1\naccount = game\npassword = gamepw\n");
  cServerProcess game(gameHome, Words("game", {"connect", "=", "global:" + std::to_string(port)}));
  EXPECT_TRUE(game.WaitOutput("logined 1")) << game.Output();
  StartRecord(game, "uplink");
  const std::pair<const char*, const char*> commands[] = {
      {"/11/SendName('global',6,'Hello()')", "Output() Hello World!"},
      {"/9/SendToServer('global',1,'Accounts()')", "Output() func_Accounts global game "},
      {"/11/SendName('global',3,\"RunRemote('nothing')\")", "Output() run file nothing not found"},
  };
  for (const auto& [line, returned] : commands) {
    const size_t mark = game.Output().size();
    game.Type(line);
    EXPECT_TRUE(game.WaitOutput(returned, mark)) << game.Output().substr(mark);
  }
  Quit(game);
  Quit(global);
  session.serverFile = globalHome.ReadAll("Replay");
  session.clientFile = gameHome.ReadAll("Replay");
  session.serverLog = CommandLog(globalHome, true);
  session.clientLog = CommandLog(gameHome, true);
  return session;
}

class ReplayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_recorded = std::make_unique<stRecorded>(RecordSession()); }
  static void TearDownTestSuite() { s_recorded.reset(); }

  // Plays `file` in `process` at `speed` and waits for the end of the replay; the milliseconds
  // from the command to the end message.
  static int64_t Play(cServerProcess& process, const std::string& file, int speed) {
    const size_t mark = process.Output().size();
    const auto begin = std::chrono::steady_clock::now();
    process.Type("/16/Replay('" + file + "')");
    // The console keeps one line for the worker: the next is typed once this one ran. The
    // replay thread may already be printing between the command's lines.
    EXPECT_TRUE(process.WaitOutput("cNetReplay::LoadReplay File " + file, mark) &&
                process.WaitOutput(" ok!", mark))
        << process.Output().substr(mark);
    if (speed != 1) process.Type("/16/ReplaySpeed(" + std::to_string(speed) + ")");
    EXPECT_TRUE(process.WaitOutput("[replay] end...", mark)) << process.Output().substr(mark);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin)
        .count();
  }

  static std::unique_ptr<stRecorded> s_recorded;
};

std::unique_ptr<stRecorded> ReplayTest::s_recorded;

// The pause of the replay thread between the end of the file and its end message.
constexpr int64_t kEndPauseMs = 1000;
// Clock steps and polling may make a replay seem this much faster than it is.
constexpr int64_t kToleranceMs = 60;

TEST_F(ReplayTest, AFreshServerRunsTheRecordedCommandsInTheSameOrderAtTheRecordedPace) {
  const stRecorded& recorded = *s_recorded;
  ASSERT_FALSE(recorded.serverFile.empty());
  // The login and the three commands, all accepted.
  ASSERT_EQ(recorded.serverLog.size(), 4u);
  for (const std::string& entry : recorded.serverLog)
    EXPECT_NE(entry.find(" result 0"), std::string::npos) << entry;

  cHome home;
  home.AddAccount("game", "gamepw", 16);
  home.Write("links.rep", recorded.serverFile);
  cServerProcess global(home, Words("global", {"listen", "=", "0"}));
  const int port = global.WaitPort("global");
  ASSERT_GT(port, 0) << global.Output();
  // First without a link of the recorded id, then with one.
  const int64_t took = Play(global, "links.rep", 1);
  EXPECT_GE(took, RecordedSpan(recorded.serverFile) + kEndPauseMs - kToleranceMs);
  const size_t mark = global.Output().size();
  cLoopbackLink link(port);
  ASSERT_TRUE(global.WaitOutput("global link id 1  ip 127.0.0.1 create", mark))
      << global.Output().substr(mark);
  Play(global, "links.rep", 1);
  Quit(global);

  // Without the link the commands are refused, and what they would send back is dropped; with
  // it they run as they did when recorded.
  const std::vector<std::string> log = CommandLog(home, true);
  ASSERT_EQ(log.size(), 2 * recorded.serverLog.size());
  for (size_t i = 0; i < recorded.serverLog.size(); ++i) {
    const std::string& entry = recorded.serverLog[i];
    EXPECT_EQ(log[i], entry.substr(0, entry.rfind(" result ")) + " result 6");
    EXPECT_EQ(log[recorded.serverLog.size() + i], entry);
  }
}

TEST_F(ReplayTest, AFreshClientTakesTheRecordedOutputsOfItsLinkAgainTwiceAsFast) {
  const stRecorded& recorded = *s_recorded;
  ASSERT_FALSE(recorded.clientFile.empty());
  cHome home;
  home.Write("uplink.rep", recorded.clientFile);
  // Its upstream is gone: the client link exists but is not connected, and does not try again
  // during the test: its disconnect notice drops what the link has queued, so the replay starts
  // once the failed connect was handled.
  home.Write("config/login_global.ini", "serverip = 127.0.0.1\naccount = game\npassword = x\n");
  cServerProcess game(home, Words("game", {"connect", "=", "global:1", "reconnect", "=", "60"}));
  ASSERT_TRUE(game.WaitOutput("cBridgeClient::OnDisconnect client global")) << game.Output();
  const size_t mark = game.Output().size();
  const int64_t took = Play(game, "uplink.rep", 2);
  EXPECT_GE(took, RecordedSpan(recorded.clientFile) / 2 + kEndPauseMs - kToleranceMs);
  const std::string replayed = game.Output().substr(mark);
  size_t at = 0;
  for (const char* output : {"Output() Hello World!", "Output() func_Accounts global game ",
                             "Output() run file nothing not found"}) {
    at = replayed.find(output, at);
    EXPECT_NE(at, std::string::npos) << output << " in\n" << replayed;
  }
  Quit(game);

  // What the recorded client ran since its recording began, in the same order.
  const std::vector<std::string> log = CommandLog(home, true);
  ASSERT_GE(log.size(), 3u);
  ASSERT_LE(log.size(), recorded.clientLog.size());
  EXPECT_TRUE(std::equal(log.begin(), log.end(), recorded.clientLog.end() - log.size()));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST_F(ReplayTest, QuittingWhileAReplayDeliversEndsInOrder) {
  // Network notices for the server link, 50 in every millisecond for 1.5 s: the replay is busy
  // delivering while the links are ended and released. Empty notices change no link state.
  std::string dense = s_recorded->serverFile.substr(0, 12);
  std::string notice(48, '\0');
  PutU32(notice, 4, 1);  // kind: network notice
  notice.replace(8, 6, "global");
  PutU32(notice, 40, 1);  // link id
  for (uint32_t i = 0; i < 75000; ++i) {
    PutU32(notice, 0, U32At(dense, 4) + i / 50);
    dense += notice;
  }
  cHome home;
  home.Write("dense.rep", dense);
  cServerProcess global(home, Words("global", {"listen", "=", "0"}));
  ASSERT_GT(global.WaitPort("global"), 0) << global.Output();
  global.Type("/16/Replay('dense.rep')");
  ASSERT_TRUE(global.WaitOutput(" ok!")) << global.Output();
  Quit(global);
}

}  // namespace
}  // namespace e2e
