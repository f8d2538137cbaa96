#include "tessel/link/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "testkit/link_test_util.h"

namespace {

class IniFileTest : public testing::Test {
 protected:
  std::string Write(const std::string& text) {
    std::string path = dir_ + "/a.ini";
    std::ofstream(path) << text;
    return path;
  }
  linktest::cTempHome home_;
  const std::string dir_ = home_.Path().string();
};

TEST_F(IniFileTest, ReadsWordsInThreesAndALaterKeyWins) {
  cIniFile ini;
  ASSERT_TRUE(ini.Load(Write("password = abc\ncmd = 4\npassword = xyz\n").c_str()));
  std::string password;
  int level = 0;
  EXPECT_TRUE(ini.GetString("password", password));
  EXPECT_EQ(password, "xyz");
  EXPECT_TRUE(ini.GetInt("cmd", level));
  EXPECT_EQ(level, 4);
}

TEST_F(IniFileTest, AValueWithABlankIsCutAndItsRestBecomesTheNextKey) {
  cIniFile ini;
  ASSERT_TRUE(ini.Load(Write("name = two words = x\n").c_str()));
  std::string value;
  EXPECT_TRUE(ini.GetString("name", value));
  EXPECT_EQ(value, "two");
  EXPECT_TRUE(ini.GetString("words", value));
  EXPECT_EQ(value, "x");
}

TEST_F(IniFileTest, MissingKeysAndBadNumbersLeaveTheOutputUntouched) {
  cIniFile ini;
  ASSERT_TRUE(ini.Load(Write("flag = true\nn = 12x\none = 1\nlast =").c_str()));
  bool flag = false;
  int n = 7;
  std::string s = "keep";
  EXPECT_FALSE(ini.GetBool("flag", flag));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(ini.GetInt("n", n));
  EXPECT_EQ(n, 7);
  EXPECT_FALSE(ini.GetString("missing", s));
  EXPECT_FALSE(ini.GetString("last", s));
  EXPECT_EQ(s, "keep");
  EXPECT_TRUE(ini.GetBool("one", flag));
  EXPECT_TRUE(flag);
}

TEST_F(IniFileTest, AFileThatCannotBeOpenedIsFalse) {
  cIniFile ini;
  EXPECT_FALSE(ini.Load((dir_ + "/none.ini").c_str()));
  EXPECT_FALSE(ini.Load(nullptr));
}

TEST_F(IniFileTest, SaveWritesWhatLoadReadsBack) {
  cIniFile ini;
  EXPECT_FALSE(ini.Save());
  ini.SetPath(dir_ + "/out.ini");
  EXPECT_FALSE(ini.SetString("empty", ""));
  EXPECT_TRUE(ini.SetString("password", "p'w\\d"));
  ini.SetInt("cmd", -3);
  ASSERT_TRUE(ini.Save());
  cIniFile back;
  ASSERT_TRUE(back.Load((dir_ + "/out.ini").c_str()));
  EXPECT_EQ(back.Entries(), ini.Entries());
  std::ifstream in(dir_ + "/out.ini");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("cmd = -3\n"), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

}  // namespace
