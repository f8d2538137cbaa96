#include "tessel/link/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testkit/temp_dir.h"

namespace {

// Words are read in threes (key, "=", value): a later key wins, a value with a blank is cut and
// its rest becomes the next key, and what cannot be read leaves the output untouched. What Save
// writes, Load reads back, and no other file is left.
TEST(IniFile, LoadReadsWordsInThreesAndSaveWritesWhatLoadReadsBack) {
  testkit::cTempDir home{testkit::cTempDir::kHome};
  home.write("a.ini",
             "password = abc\ncmd = 4\npassword = xyz\nname = two words = x\nflag = true\n"
             "n = 12x\none = 1\nlast =");
  cIniFile ini;
  ASSERT_TRUE(ini.Load("a.ini"));
  std::string s, name, words;
  int n = 7;
  bool flag = false;
  EXPECT_TRUE(ini.GetString("password", s) && ini.GetString("name", name) &&
              ini.GetString("words", words));
  EXPECT_EQ(s + "|" + name + "|" + words, "xyz|two|x");
  EXPECT_TRUE(ini.GetInt("cmd", n) && n == 4 && ini.GetBool("one", flag) && flag);
  s = "keep";
  n = 7;
  flag = false;
  EXPECT_FALSE(ini.GetBool("flag", flag) || flag || ini.GetInt("n", n));
  EXPECT_FALSE(ini.GetString("missing", s) || ini.GetString("last", s));
  EXPECT_EQ(s + std::to_string(n), "keep7");
  EXPECT_FALSE(ini.Load("none.ini") || ini.Load(nullptr));

  std::filesystem::remove("a.ini");
  cIniFile out;
  EXPECT_FALSE(out.Save()) << "no path yet";
  out.SetPath("out.ini");
  EXPECT_FALSE(out.SetString("empty", ""));
  EXPECT_TRUE(out.SetString("password", "p'w\\d"));
  out.SetInt("cmd", -3);
  ASSERT_TRUE(out.Save());
  cIniFile back;
  ASSERT_TRUE(back.Load("out.ini"));
  EXPECT_EQ(back.Entries(), out.Entries());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);
}

}  // namespace
