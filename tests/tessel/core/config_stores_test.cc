#include "tessel/core/config_stores.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testkit/console_test_util.h"

namespace {

TEST(ConfigStores, AMissingKeyGivesItsDefault) {
  EXPECT_EQ(GetConfigValue("cs_test_nokey", 7), 7);
  SetConfigValue("cs_test_key", 3);
  EXPECT_EQ(GetConfigValue("cs_test_key", 7), 3);
  EXPECT_EQ(GetGameString("cs_test_str", "dflt"), "dflt");
  SetGameString("cs_test_str", "v");
  EXPECT_EQ(GetGameString("cs_test_str", "dflt"), "v");
}

TEST(ConfigStores, LaunchParametersAreReadInTriplesIntoTheParameterStore) {
  testing::internal::CaptureStdout();
  AddExeParamStream("map = map_01 initcmd = x dangling =");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(GetMapServerName(), "map_01");
  EXPECT_EQ(GetExeParam("initcmd", ""), "x");
  EXPECT_EQ(GetExeParam("dangling", "none"), "none");
  EXPECT_EQ(GetExeParamText(), "map = map_01 initcmd = x dangling =");
  EXPECT_NE(out.find("initcmd = x\nmap = map_01\n"), std::string::npos);
}

TEST(ConfigStores, StoresLoadFromTheWorkingFolderAndCreateItsFolders) {
  TempWorkDir dir;
  std::filesystem::create_directories("config");
  std::ofstream("config//config_int.ini") << "cs_loaded = 42\n";
  LoadValueStores();
  EXPECT_TRUE(std::filesystem::is_directory("game"));
  EXPECT_EQ(GetConfigValue("cs_loaded", 0), 42);
  GetConfigStore().SetSave(false);
  GetGameStore().SetSave(false);
}

}  // namespace
