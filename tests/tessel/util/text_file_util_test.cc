#include "tessel/util/text_file_util.h"

#include <gtest/gtest.h>

#include "testkit/scratch_dir.h"

namespace {

TEST(FileExists, IsTrueForAFileAndFalseForAFolderOrNothing) {
  testing_support::scratch_dir dir;
  dir.write("a.txt", "x");
  EXPECT_TRUE(FileExists((dir / "a.txt").c_str()));
  EXPECT_FALSE(FileExists(dir.path().c_str()));
  EXPECT_FALSE(FileExists((dir / "missing").c_str()));
  EXPECT_FALSE(FileExists(nullptr));
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
