#include "tessel/replay/tessel_replay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "replay_test_util.h"
#include "tessel/core/config_stores.h"
#include "testkit/link_test_util.h"

namespace {

using namespace linktest;
using namespace replaytest;

// The host's finder with the test's endpoints standing for the host's registry of servers.
class cTestFind : public cTesselReplay {
 public:
  std::map<std::string, cBridgeServer*> servers;

 protected:
  stEndpoint FindEndpoint(const char* name) override {
    auto it = servers.find(name);
    if (it == servers.end()) return {};
    return {it->second, it->second->GetNetServer(), nullptr};
  }
};

// A home with the console account "gm" and logins required.
void PrepareHome() {
  SetConfigValue("check_login", 1);
  std::filesystem::create_directories("db/accounts");
  std::ofstream("db/accounts/gm.ini") << "password = s3cret\ncmd = 9\n";
}

// The command log of the home's endpoints: from each line, what follows the arrival stamps.
std::vector<std::string> CommandLog(const cTempHome& home) {
  std::vector<std::string> lines;
  std::istringstream all(home.ReadAll("log"));
  for (std::string line; std::getline(all, line);)
    if (auto at = line.find("【cmd】"); at != std::string::npos) lines.push_back(line.substr(at));
  return lines;
}

std::vector<std::vector<char>> Received(cPeer& peer) {
  std::vector<std::vector<char>> all;
  for (const auto& r : peer.Records()) all.push_back(r.bytes);
  return all;
}

struct stSession {
  std::string file;  // the replay file's bytes
  std::vector<std::string> cmdLog;
  std::vector<std::vector<char>> peerGot;
};

// A server "game" recorded while a peer is refused before its login, logs in and runs commands.
stSession RecordSession() {
  cTempHome home;
  PrepareHome();
  cServerEndpoint server("game");
  cFixedFind noFind;
  stRecordReplay pair(&noFind);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(pair.record.StartRecord("session"));
  cPeer peer(server.Port());
  EXPECT_TRUE(server.PumpUntil([&] { return server.Accounts().GetAccount(1) != nullptr; }));
  const std::pair<int, const char*> commands[] = {
      {4, "Count()"}, {2, "Login('gm','s3cret')"}, {3, "Echo('hello')"}, {4, "Count()"},
      {4, "Count()"}, {25, "Echo('there')"},
  };
  for (const auto& [group, text] : commands) {
    const size_t before = peer.Records().size();
    const int counted = server.CountCalls();
    peer.SendCmd(group, text);
    EXPECT_TRUE(server.PumpUntil([&] {
      return peer.Records().size() > before || server.CountCalls() > counted;
    })) << text;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(server.CountCalls(), 2);
  server.ClearCmdLog(true);
  return {ReadBytes(pair.record.GetPath()), CommandLog(home), Received(peer)};
}

// A fresh process with an endpoint "game" (the host's finder sees it) into which a recorded
// session is replayed at full speed.
class TesselReplay : public testing::Test {
 protected:
  void SetUp() override {
    PrepareHome();
    find_.servers["game"] = &server_;
    pair_.replay.SetEndPause(0);
  }
  // Plays the session; returns once the replay ended and `done` holds.
  void Play(const std::function<bool()>& done) {
    WriteFile("session.rep", recorded_.file);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pair_.replay.StartReplay("session.rep", 0, true));
    EXPECT_TRUE(server_.PumpUntil([&] { return pair_.replay.IsThreadDone() && done(); }));
    server_.PumpFor(20);
    testing::internal::GetCapturedStdout();
    server_.ClearCmdLog(true);
  }

  const stSession recorded_ = RecordSession();
  cTempHome home_;
  cServerEndpoint server_{"game"};
  cTestFind find_;
  stRecordReplay pair_{&find_, nullptr};
};

TEST_F(TesselReplay, AReplayedSessionRunsTheSameCommandsInTheSameOrderOnTheLinkOfTheSameName) {
  ASSERT_EQ(recorded_.cmdLog.size(), 6u);
  ASSERT_EQ(recorded_.peerGot.size(), 4u);  // the refusal and three outputs
  // The peer of this process holds the link id the recorded peer had.
  cPeer peer(server_.Port());
  ASSERT_TRUE(server_.PumpUntil([&] { return server_.Accounts().GetAccount(1) != nullptr; }));
  Play([&] { return peer.Records().size() >= recorded_.peerGot.size(); });
  EXPECT_EQ(server_.CountCalls(), 2);
  EXPECT_EQ(Received(peer), recorded_.peerGot);
  EXPECT_EQ(CommandLog(home_), recorded_.cmdLog);
  EXPECT_EQ(pair_.replay.GetDropped(), 0u);
  // One callback made for the name and kept; none for a name the process does not have.
  EXPECT_EQ(find_.FindCallback("game"), find_.FindCallback("game"));
  EXPECT_EQ(find_.FindCallback("other"), nullptr);
}

TEST_F(TesselReplay, RecordsForALinkTheProcessDoesNotHaveAreHandledWithoutSendingAnything) {
  Play([] { return true; });                   // no peer: link 1 does not exist here
  EXPECT_EQ(pair_.replay.GetDelivered(), 8u);  // created, connected and six commands
  EXPECT_EQ(server_.GetNetServer()->GetSendRecords(), 0u);
  EXPECT_EQ(server_.CountCalls(), 0);  // without its link the peer never logged in
  const std::vector<std::string> log = CommandLog(home_);
  ASSERT_EQ(log.size(), recorded_.cmdLog.size());
  for (size_t i = 0; i < log.size(); ++i)
    EXPECT_EQ(log[i].substr(0, log[i].find(" result")),
              recorded_.cmdLog[i].substr(0, recorded_.cmdLog[i].find(" result")));
  EXPECT_NE(home_.ReadAll("log").find("【ExceptionLog Exception】link #0"), std::string::npos);
}

}  // namespace
