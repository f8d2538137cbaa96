#include "tessel/console/groups/cmd_config.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "cmd_group_util.h"
#include "tessel/core/config_stores.h"

namespace {

class ConfigGroupTest : public testing::Test {
 protected:
  void Check(const std::vector<stGroupCase>& cases) {
    CheckGroupCases(cCmdConfig::Instance(), cases);
  }
  // Launch parameters are process-wide: the ones set here are emptied again.
  void TearDown() override {
    for (const char* key : {"map", "initcmd", "user", "PassWord"})
      GetExeParamStore().SetStringString(key, "");
  }
  testkit::cTempDir dir_{testkit::cTempDir::kWorkDir};
};

TEST_F(ConfigGroupTest, ValueFunctionsSetGetAndViewBothStores) {
  Check({
      {"SetConfigValue('cg_pay',10)", true, ""},
      {"assert(GetConfigValue('cg_pay',0) == 10)", true, ""},
      {"assert(GetConfigValue('cg_nokey',7) == 7)", true, ""},
      {"ViewConfigValue('cg_pay')", true, "func_ViewConfigValue cg_pay = 10\n"},
      {"SetConfigString('cg_new','hi there')", true, ""},
      {"assert(GetConfigString('cg_new','') == 'hi there')", true, ""},
      {"ViewConfigString('cg_new')", true, "func_ViewConfigString cg_new = hi there\n"},
      {"SetGameValue('cg_pay',-3)", true, ""},
      {"assert(GetGameValue('cg_pay',0) == -3)", true, ""},
      {"ViewGameValue('cg_pay')", true, "func_ViewGameValue cg_pay = -3\n"},
      {"SetGameString('cg_new','g')", true, ""},
      {"assert(GetGameString('cg_new','') == 'g')", true, ""},
      {"ViewGameString('cg_new')", true, "func_ViewGameString cg_new = g\n"},
  });
  // The two stores are apart: the game value did not touch the config value.
  EXPECT_EQ(GetConfigValue("cg_pay", 0), 10);
  EXPECT_EQ(GetConfigString("cg_new", ""), "hi there");
}

TEST_F(ConfigGroupTest, WrongOrMissingArgumentsFailAndChangeNothing) {
  SetConfigValue("cg_keep", 5);
  Check({
      {"GetConfigValue('cg_keep')", false,
       "cCmd::Do error cmd cCmd_Config do GetConfigValue('cg_keep')"},
      {"SetConfigValue('cg_keep','many')", false, "do SetConfigValue('cg_keep','many')"},
      {"SetConfigValue('cg_keep',2^40)", false, "do SetConfigValue"},
      {"SetGameString('cg_keep')", false, "do SetGameString('cg_keep')"},
      {"ViewConfigValue()", false, "do ViewConfigValue()"},
      {"GetExeParam()", false, "do GetExeParam()"},
  });
  EXPECT_EQ(GetConfigValue("cg_keep", 0), 5);
  EXPECT_EQ(GetGameString("cg_keep", "unset"), "unset");
}

TEST_F(ConfigGroupTest, LaunchParametersAreReadThroughTheGroup) {
  {
    testkit::cStdoutCapture quiet;
    AddExeParamStream("map = map_01 initcmd = x");
  }
  Check({
      {"assert(GetMapName() == 'map_01')", true, ""},
      {"assert(GetExeParam('initcmd','') == 'x')", true, ""},
      {"assert(GetExeParam('cg_none','dflt') == 'dflt')", true, ""},
      {"ViewExeParam()", true, "ViewExeParam: map = map_01 initcmd = x\n"},
  });
}

// A password handed over at launch is kept for the login, but the console, ViewExeParam and the
// crash report only ever see its mask.
TEST_F(ConfigGroupTest, ALaunchPasswordIsStoredButShownMasked) {
  std::string echoed;
  {
    testkit::cStdoutCapture capture;
    AddExeParamStream("user = gm  PassWord = s3cret map = m1");
    echoed = capture.Text();
  }
  EXPECT_EQ(GetExeParam("PassWord", ""), "s3cret");
  EXPECT_EQ(GetExeParam("map", ""), "m1");
  EXPECT_EQ(echoed.find("s3cret"), std::string::npos) << echoed;
  EXPECT_NE(echoed.find("PassWord = ******\n"), std::string::npos) << echoed;
  EXPECT_EQ(GetExeParamText(), "user = gm  PassWord = ****** map = m1");
  Check({{"ViewExeParam()", true, "ViewExeParam: user = gm  PassWord = ****** map = m1\n"}});
}

// In a process of its own, so that the program kind is first asked there.
void ExitWithIsServer(const char* first, const char* then) {
  GroupTestHost();
  testkit::cStdoutCapture quiet;
  cTesselValues::Instance().SetProgram("2026-01-01", "00:00:00", "1.0", first);
  const bool before = RunInGroup(cCmdConfig::Instance(), "assert(IsServer())").ok;
  cTesselValues::Instance().SetProgram("2026-01-01", "00:00:00", "1.0", then);
  const bool after = RunInGroup(cCmdConfig::Instance(), "assert(IsServer())").ok;
  std::exit((before ? 2 : 0) + (after ? 1 : 0));
}

TEST(ConfigGroupDeathTest, IsServerWithoutAServerSideFollowsTheFirstProgramKind) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWithIsServer("map", "game"), testing::ExitedWithCode(3), "");
  EXPECT_EXIT(ExitWithIsServer("game", "map"), testing::ExitedWithCode(0), "");
}

}  // namespace
