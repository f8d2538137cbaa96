#include "tessel/link/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testkit/temp_dir.h"

namespace {

// Words are read in threes (key, "=", value): a later key wins, a value with a blank is cut and
// its rest becomes the next key, and what cannot be read leaves the output untouched.
TEST(IniFile, LoadReadsWordsInThreesAndLeavesOutputsOfMissingOrBadValuesUntouched) {
  testkit::cTempDir home{testkit::cTempDir::kHome};
  std::ofstream("a.ini") << "password = abc\ncmd = 4\npassword = xyz\nname = two words = x\n"
                            "flag = true\nn = 12x\none = 1\nlast =";
  cIniFile ini;
  ASSERT_TRUE(ini.Load("a.ini"));
  std::string s;
  int n = 7;
  bool flag = false;
  EXPECT_TRUE(ini.GetString("password", s) && s == "xyz") << s;
  EXPECT_TRUE(ini.GetString("name", s) && s == "two") << s;
  EXPECT_TRUE(ini.GetString("words", s) && s == "x") << s;
  EXPECT_TRUE(ini.GetInt("cmd", n) && n == 4);
  EXPECT_TRUE(ini.GetBool("one", flag) && flag);
  s = "keep";
  n = 7;
  flag = false;
  EXPECT_FALSE(ini.GetBool("flag", flag) || flag);
  EXPECT_FALSE(ini.GetInt("n", n));
  EXPECT_FALSE(ini.GetString("missing", s) || ini.GetString("last", s));
  EXPECT_EQ(n, 7);
  EXPECT_EQ(s, "keep");
  EXPECT_FALSE(ini.Load("none.ini"));
  EXPECT_FALSE(ini.Load(nullptr));
}

TEST(IniFile, SaveWritesWhatLoadReadsBackAndLeavesNoOtherFile) {
  testkit::cTempDir home{testkit::cTempDir::kHome};
  cIniFile ini;
  EXPECT_FALSE(ini.Save()) << "no path yet";
  ini.SetPath("out.ini");
  EXPECT_FALSE(ini.SetString("empty", ""));
  EXPECT_TRUE(ini.SetString("password", "p'w\\d"));
  ini.SetInt("cmd", -3);
  ASSERT_TRUE(ini.Save());
  cIniFile back;
  ASSERT_TRUE(back.Load("out.ini"));
  EXPECT_EQ(back.Entries(), ini.Entries());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);
}

}  // namespace
