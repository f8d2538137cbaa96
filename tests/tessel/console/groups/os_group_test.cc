#include "tessel/console/groups/cmd_os.h"

#include <gtest/gtest.h>

#include "tessel/contracts/game_time.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/util/os_clock.h"
#include "testkit/file_text.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

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

TEST_F(OsGroupTest, SystemRunsAShellCommandAndSetAllocKeepsItsPair) {
  EXPECT_EQ(Run("System('echo made > made.txt')"), "OS_System start  end \n");
  EXPECT_EQ(Run("SetAlloc(3,4)"), "");
  EXPECT_EQ(cCmdOS::GetAllocFirst(), 3);
  EXPECT_EQ(cCmdOS::GetAllocSecond(), 4);
  EXPECT_EQ(testkit::ReadFile(m_dir.path() / "made.txt"), "made\n");
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

}  // namespace
