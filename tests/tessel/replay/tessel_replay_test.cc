#include "tessel/replay/tessel_replay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "replay_test_util.h"
#include "tessel/console/groups/config_stores.h"
#include "tessel/link/link_test_util.h"

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

TEST(TesselReplay, AReplayedSessionRunsTheSameCommandsInTheSameOrderOnTheLinkOfTheSameName) {
  const stSession recorded = RecordSession();
  ASSERT_EQ(recorded.cmdLog.size(), 6u);
  ASSERT_EQ(recorded.peerGot.size(), 4u);  // the refusal and three outputs

  // A fresh process: an endpoint of the same name whose peer holds the same link id.
  cTempHome home;
  PrepareHome();
  WriteFile("session.rep", recorded.file);
  cServerEndpoint server("game");
  cPeer peer(server.Port());
  ASSERT_TRUE(server.PumpUntil([&] { return server.Accounts().GetAccount(1) != nullptr; }));
  cTestFind find;
  find.servers["game"] = &server;
  stRecordReplay pair(&find, nullptr);
  pair.replay.SetEndPause(0);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(pair.replay.StartReplay("session.rep", 0, true));
  EXPECT_TRUE(server.PumpUntil([&] {
    return pair.replay.IsThreadDone() && peer.Records().size() >= recorded.peerGot.size();
  }));
  server.PumpFor(20);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(server.CountCalls(), 2);
  EXPECT_EQ(Received(peer), recorded.peerGot);
  server.ClearCmdLog(true);
  EXPECT_EQ(CommandLog(home), recorded.cmdLog);
  EXPECT_EQ(pair.replay.GetDropped(), 0u);
  // One callback made for the name, found once and kept.
  EXPECT_EQ(find.FindCallback("game"), find.FindCallback("game"));
  EXPECT_EQ(find.FindCallback("other"), nullptr);
}

TEST(TesselReplay, RecordsForALinkTheProcessDoesNotHaveAreHandledWithoutSendingAnything) {
  const stSession recorded = RecordSession();
  cTempHome home;
  PrepareHome();
  WriteFile("session.rep", recorded.file);
  cServerEndpoint server("game");  // no peer: link 1 does not exist here
  cTestFind find;
  find.servers["game"] = &server;
  stRecordReplay pair(&find, nullptr);
  pair.replay.SetEndPause(0);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(pair.replay.StartReplay("session.rep", 0, true));
  EXPECT_TRUE(server.PumpUntil([&] { return pair.replay.IsThreadDone(); }));
  server.PumpFor(20);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(pair.replay.GetDelivered(), 8u);  // created, connected and six commands
  EXPECT_EQ(server.GetNetServer()->GetSendRecords(), 0u);
  EXPECT_EQ(server.CountCalls(), 0);  // without its link the peer never logged in
  server.ClearCmdLog(true);
  const std::vector<std::string> log = CommandLog(home);
  ASSERT_EQ(log.size(), recorded.cmdLog.size());
  for (size_t i = 0; i < log.size(); ++i)
    EXPECT_EQ(log[i].substr(0, log[i].find(" result")),
              recorded.cmdLog[i].substr(0, recorded.cmdLog[i].find(" result")));
  EXPECT_NE(home.ReadAll("log").find("【ExceptionLog Exception】link #0"), std::string::npos);
}

}  // namespace
