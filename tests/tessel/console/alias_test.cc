#include "tessel/console/alias.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tessel/console/clipboard.h"
#include "testkit/file_text.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

using testkit::WriteFile;

class AliasTest : public ::testing::Test {
 protected:
  void TearDown() override { SetClipboardReader(nullptr); }
  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
};

// Up to four parameters fill the placeholders; a count that misses them runs nothing (the line
// is emptied and the error shown), and five or more leave the line as typed.
TEST_F(AliasTest, AliasesExpandTheirParametersOrRunNothing) {
  WriteFile("alias/a.txt",
            "v = Ver()\n"
            "g = //global//%1%\n"
            "s = SetConfigValue('%1%',%2%)\n"
            "t = //%1%///%2%/%3%\n"
            "f = Send(%1%,%2%,'%3%','%4%')\n");
  cAlias alias;
  const std::pair<std::string, std::string> cases[] = {
      {"v", "Ver()"},
      {"g Ver()", "//global//Ver()"},
      {"s pay 10", "SetConfigValue('pay',10)"},
      {"t global 2 Ver()", "//global///2/Ver()"},
      {"f 1 2 x y", "Send(1,2,'x','y')"},
      {"s", ""},
      {"s pay", ""},
      {"s pay 10 extra", ""},
      {"v extra", ""},
      {"g 1 2 3 4 5", "g 1 2 3 4 5"},
  };
  for (const auto& [typed, expanded] : cases) {
    std::string line = typed;
    testkit::cStdoutCapture out;
    EXPECT_FALSE(alias.Alias(line));
    EXPECT_EQ(line, expanded) << typed;
    EXPECT_EQ(out.Text().find("cAlias::Alias error alias") != std::string::npos, expanded.empty())
        << typed;
  }
}

TEST_F(AliasTest, ReadingAFileStopsAtTheFirstLineWithoutSeparator) {
  WriteFile("alias/a.txt", "one = 1()\nbroken line\ntwo = 2()\n");
  WriteFile("alias/b.txt", "three = a = b\n");
  WriteFile("alias/ignored.ini", "four = 4()\n");
  cAlias alias;
  std::ostringstream shown;
  alias.Display(shown);
  EXPECT_NE(shown.str().find("one = 1()"), std::string::npos);
  EXPECT_EQ(shown.str().find("two"), std::string::npos);
  EXPECT_NE(shown.str().find("three = a = b"), std::string::npos);
  EXPECT_EQ(shown.str().find("four"), std::string::npos);
  EXPECT_EQ(shown.str().rfind("【alias】\n", 0), 0u);
}

TEST_F(AliasTest, AddAliasSavesEveryAliasInMemory) {
  WriteFile("alias/other.txt", "v = Ver()\n");
  cAlias alias;
  alias.AddAlias("g", "//global//%1%");
  const std::string saved = testkit::ReadFile("alias/alias.txt");
  EXPECT_NE(saved.find("v = Ver()\n"), std::string::npos);
  EXPECT_NE(saved.find("g = //global//%1%\n"), std::string::npos);
}

TEST_F(AliasTest, ReplacementsApplyToEveryLineAndEveryOccurrence) {
  cAlias alias;
  alias.SetReplace("$N", "opsuser");
  alias.SetReplace("x", "xx");
  std::string line = "Login('$N','$N')";
  EXPECT_FALSE(alias.Alias(line));
  EXPECT_EQ(line, "Login('opsuser','opsuser')");
  line = "x-x";
  alias.Replace(line);
  EXPECT_EQ(line, "xx-xx");
}

TEST_F(AliasTest, ClipboardMarkerPastesTextAndReportsMissingText) {
  cAlias alias;
  SetClipboardReader([] { return stClipboard{true, true, "Ver()"}; });
  std::string line = "$p;$p";
  EXPECT_TRUE(alias.Alias(line));
  EXPECT_EQ(line, "Ver();Ver()");

  SetClipboardReader([] { return stClipboard{true, false, ""}; });
  line = "Echo('$p')";
  {
    testkit::cStdoutCapture out;
    EXPECT_FALSE(alias.Replace(line));
    EXPECT_EQ(out.Text(), "text is null!\n");
  }
  EXPECT_EQ(line, "Echo('$p')");

  SetClipboardReader([] { return stClipboard{}; });
  testkit::cStdoutCapture out;
  EXPECT_FALSE(alias.Replace(line));
  EXPECT_EQ(out.Text(), "Can not Open clipboard!\n");
}

}  // namespace
