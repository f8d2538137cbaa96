#include "tessel/util/text_file_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(FileExists, IsTrueForAFileAndFalseForAFolderOrNothing) {
  char dir[] = "/tmp/tessel_util_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/a.txt";
  std::ofstream(file) << "x";
  EXPECT_TRUE(FileExists(file.c_str()));
  EXPECT_FALSE(FileExists(dir));
  EXPECT_FALSE(FileExists((std::string(dir) + "/missing").c_str()));
  EXPECT_FALSE(FileExists(nullptr));
  std::filesystem::remove_all(dir);
}

TEST(Trim, DropsOuterBlanksOnlyAndKeepsTabs) {
  std::string s = "  two words   ";
  EXPECT_EQ(Trim(s), "two words");
  std::string tabs = "\tx\t ";
  EXPECT_EQ(Trim(tabs), "\tx\t");
  std::string blanks = "   ";
  EXPECT_EQ(Trim(blanks), "   ");
  std::string empty;
  EXPECT_EQ(Trim(empty), "");
}

}  // namespace
