#include "tessel/console/groups/cmd_os.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <filesystem>
#include <fstream>

#include "tessel/contracts/game_time.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/util/os_clock.h"
#include "testkit/console_test_util.h"
#include "testkit/link_test_util.h"

namespace fs = std::filesystem;

namespace {

// The OS group run as local console commands in a fresh working folder; the machine's clock is
// read from a fixed source and may never be set.
class OsGroupTest : public ::testing::Test {
 protected:
  static constexpr std::time_t kNow = 1700000000;

  void SetUp() override {
    cCmdOS::Instance().Create();
    SetOsCalendarSource([] { return kNow; });
    SetOsCalendarSetter([](std::time_t, std::string*) {
      ADD_FAILURE() << "the machine's clock was set";
      return false;
    });
    m_diff = cTimerManager::Instance().GetDiff();
  }
  void TearDown() override {
    cTimerManager::Instance().SetDiff(m_diff);
    SetOsCalendarSource(nullptr);
    SetOsCalendarSetter(nullptr);
  }

  std::string Run(const std::string& cmd, bool ok = true) {
    testkit::cStdoutCapture out;
    EXPECT_EQ(cCmdOS::Instance().Do(cmd.c_str()), ok) << cmd;
    return out.Text();
  }

  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
  long m_diff = 0;
};

TEST_F(OsGroupTest, TheBaseLibrarysFunctionsAndTheGroupsOwnAreAllRegistered) {
  lua_State* L = cCmdOS::Instance().GetLua();
  for (const char* name : {"dofile", "require", "DeleteFolder", "ZipDir", "Help", "Console",
                           "OS_Upload", "OS_Download", "OS_SetGameTime", "OS_QueryGameTime",
                           "OS_SetTime", "OS_QueryTime", "System", "SetAlloc", "Hello"}) {
    lua_getglobal(L, name);
    EXPECT_TRUE(lua_isfunction(L, -1)) << name;
    lua_pop(L, 1);
  }
}

TEST_F(OsGroupTest, SmallCommandsWriteTheirTexts) {
  struct Case {
    const char* cmd;
    const char* out;
  };
  const Case cases[] = {
      {"Hello()", "Hello World!\n"}, {"OS_Upload('a','b')", ""},
      {"OS_Download('a','b')", ""},  {"System('echo made > made.txt')", "OS_System start  end \n"},
      {"SetAlloc(3,4)", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Run(c.cmd), c.out) << c.cmd;
  EXPECT_EQ(cCmdOS::GetAllocFirst(), 3);
  EXPECT_EQ(cCmdOS::GetAllocSecond(), 4);
  std::ifstream made(m_dir.path() / "made.txt");
  std::string word;
  made >> word;
  EXPECT_EQ(word, "made");
}

TEST_F(OsGroupTest, SetTimeMovesOnlyTheTimerManagersDifference) {
  struct Case {
    long remote;
    long diff;
  };
  const Case cases[] = {{kNow + 100, 100}, {kNow - 3600, -3600}, {kNow, 0}};
  for (const Case& c : cases) {
    const std::string out = Run("OS_SetTime(" + std::to_string(c.remote) + ",'ignored')");
    EXPECT_EQ(cTimerManager::Instance().GetDiff(), c.diff);
    EXPECT_EQ(out, "TimeDiff == " + std::to_string(c.diff) +
                       "\nRemote date and time: " + AscTimeText(c.remote) + "\n");
  }
}

TEST_F(OsGroupTest, SetGameTimeTakesItsTextFormAndRefusesAWrongOne) {
  const stGameTime before = cGameTime::Instance().GetGameTime();
  EXPECT_EQ(Run("OS_SetGameTime('2006/5/1 10:20:59')"), "");
  const stGameTime t = cGameTime::Instance().GetGameTime();
  EXPECT_EQ(t.ToString(), "2006/5/1 10:20:59");
  EXPECT_EQ(Run("OS_SetGameTime('later')"), "OS_SetGameTime wrong time later\n");
  EXPECT_EQ(cGameTime::Instance().GetGameTime().ToString(), "2006/5/1 10:20:59");
  cGameTime::Instance().SetGameTime(before);
}

TEST_F(OsGroupTest, QueriesServedLocallySendNothing) {
  EXPECT_EQ(Run("OS_QueryTime()"), "");
  EXPECT_EQ(Run("OS_QueryGameTime()"), "");
}

// Two processes' clocks: a peer asks this process's OS group over a real link on 127.0.0.1 for
// its clocks, and the answers, run in the requester's OS group, make the requester follow them.
TEST_F(OsGroupTest, QueriedClocksAreTakenOverByTheRequester) {
  linktest::cTempHome home;
  std::filesystem::create_directories("db/accounts");
  std::ofstream("db/accounts/gm.ini") << "password = s3cret\ncmd = 9\n";
  linktest::cServerEndpoint server;
  server.AddCmd(cCmdOS::kLevel, &cCmdOS::Instance());
  ASSERT_NE(server.Port(), 0);
  linktest::cPeer peer(server.Port());
  ASSERT_TRUE(peer.Connected());
  ASSERT_TRUE(server.PumpUntil([&] { return server.Accounts().GetAccount(1) != nullptr; }));
  ASSERT_NE(peer.SendCmd(2, "Login('gm','s3cret')"), 0);
  ASSERT_TRUE(server.PumpUntil([&] { return server.Accounts().GetAccount(1)->IsLogin(); }));

  const auto ask = [&](const char* cmd) {
    peer.ClearRecords();
    EXPECT_NE(peer.SendCmd(cCmdOS::kLevel, cmd), 0);
    std::string reply;
    EXPECT_TRUE(server.PumpUntil([&] {
      for (const auto& r : peer.Records())
        if (linktest::IsCmd(r) && r.Word(0) == cCmdOS::kLevel) reply = r.CmdText();
      return !reply.empty();
    }));
    return reply;
  };

  const std::string time = ask("OS_QueryTime()");
  EXPECT_EQ(time, "OS_SetTime(" + std::to_string(kNow) + ",'" + AscTimeText(kNow) + "')");
  // The requester's machine clock runs 50 seconds behind.
  SetOsCalendarSource([] { return kNow - 50; });
  EXPECT_EQ(Run(time), "TimeDiff == 50\nRemote date and time: " + AscTimeText(kNow) + "\n");
  EXPECT_EQ(cTimerManager::Instance().GetDiff(), 50);

  const stGameTime before = cGameTime::Instance().GetGameTime();
  const std::string game = ask("OS_QueryGameTime()");
  EXPECT_EQ(game, "OS_SetGameTime('" + before.ToString() + "')");
  stGameTime other;
  ASSERT_TRUE(other.FromString("2001/2/3 4:05:06"));
  cGameTime::Instance().SetGameTime(other);
  Run(game);
  EXPECT_EQ(cGameTime::Instance().GetGameTime().ToString(), before.ToString());
}

}  // namespace
