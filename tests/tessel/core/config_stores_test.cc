#include "tessel/core/config_stores.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

// Words are read in threes; a password is stored whole but shown only as a mask.
TEST(ConfigStores, LaunchParametersAreReadInTriplesAndAPasswordIsNeverShown) {
  testkit::cStdoutCapture out;
  AddExeParamStream("map = map_01 PassWord = s3cret initcmd = x dangling =");
  EXPECT_EQ(GetMapServerName(), "map_01");
  EXPECT_EQ(GetExeParam("initcmd", ""), "x");
  EXPECT_EQ(GetExeParam("PassWord", ""), "s3cret");
  EXPECT_EQ(GetExeParam("dangling", "none"), "none");
  EXPECT_EQ(GetExeParamText().find("s3cret"), std::string::npos) << GetExeParamText();
  EXPECT_NE(GetExeParamText().find("map = map_01 PassWord = "), std::string::npos);
  EXPECT_EQ(out.Text().find("s3cret"), std::string::npos) << out.Text();
  EXPECT_NE(out.Text().find("initcmd = x\nmap = map_01\n"), std::string::npos) << out.Text();
}

TEST(ConfigStores, StoresLoadFromTheWorkingFolderAndCreateItsFolders) {
  testkit::cTempDir dir(testkit::cTempDir::kWorkDir);
  std::filesystem::create_directories("config");
  std::ofstream("config//config_int.ini") << "cs_loaded = 42\n";
  LoadValueStores();
  EXPECT_TRUE(std::filesystem::is_directory("game"));
  EXPECT_EQ(GetConfigValue("cs_loaded", 0), 42);
  EXPECT_EQ(GetGameString("cs_missing", "dflt"), "dflt");
  GetConfigStore().SetSave(false);
  GetGameStore().SetSave(false);
}

}  // namespace
