#include "tessel/util/text_file_util.h"

#include <gtest/gtest.h>

#include "testkit/temp_dir.h"

namespace {

TEST(FileExists, IsTrueForAFileAndFalseForAFolderOrNothing) {
  testkit::cTempDir dir;
  EXPECT_TRUE(FileExists(dir.write("a.txt", "x").c_str()));
  EXPECT_FALSE(FileExists(dir.path().c_str()));
  EXPECT_FALSE(FileExists((dir / "missing").c_str()));
  EXPECT_FALSE(FileExists(nullptr));
}

TEST(Trim, DropsOuterBlanksOnlyAndKeepsTabs) {
  const std::pair<std::string, std::string> cases[] = {
      {"  two words   ", "two words"}, {"\tx\t ", "\tx\t"}, {"   ", "   "}, {"", ""}};
  for (auto [text, trimmed] : cases) EXPECT_EQ(Trim(text), trimmed) << text;
}

}  // namespace
