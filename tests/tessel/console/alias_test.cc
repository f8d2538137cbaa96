#include "tessel/console/alias.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "tessel/console/clipboard.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/config_stores.h"
#include "testkit/file_size_limit.h"
#include "testkit/file_text.h"
#include "testkit/scoped_env.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

class AliasTest : public ::testing::Test {
 protected:
  void TearDown() override { SetClipboardReader(nullptr); }
  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
  testkit::cStdoutCapture m_out;
};

// Up to four parameters fill the placeholders; a count that misses them runs nothing (the line
// is emptied and the error shown), and five or more leave the line as typed. A file saved by a
// Windows editor (byte-order mark, CR LF, words aligned with blanks and tabs) reads the same.
TEST_F(AliasTest, AliasesExpandTheirParametersOrRunNothing) {
  m_dir.write("alias/a.txt",
              "\xEF\xBB\xBFv = Ver()\r\ng = //global//%1%\ns = SetConfigValue('%1%',%2%)\n"
              "t = //%1%///%2%/%3%\r\nf = Send(%1%,%2%,'%3%','%4%')\n \tw \t  = Ver()\r\n");
  cAlias alias;
  const std::pair<std::string, std::string> cases[] = {
      {"v", "Ver()"},
      {"w", "Ver()"},
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
    EXPECT_FALSE(alias.Alias(line));
    EXPECT_EQ(line, expanded) << typed;
  }
  std::string line = "r " + std::string(2000, 'x'), repeated;  // nor an expansion past 1 MiB
  for (int k = 0; k < 1000; ++k) repeated += "%1%";
  alias.AddAlias("r", repeated);
  EXPECT_FALSE(alias.Alias(line));
  EXPECT_TRUE(line.empty()) << line.size();
}

// Reading a file stops at its first line without " = ", saying where, and skips a line with no
// word; only .txt files are read (one past the bound not at all). Adding an alias saves every
// alias in memory, then the lines of alias.txt not read, and a text that the file could not keep
// on one line is refused.
TEST_F(AliasTest, ReadingStopsAtTheFirstBrokenLineAndAddingSavesAllThatCanBeReadBack) {
  m_dir.write("alias/a.txt", "one = 1()\n = empty\ntwo = 2()\nbroken line\nthree = 3()\n");
  m_dir.write("alias/b.txt", "four = a = b\n");
  m_dir.write("alias/alias.txt", "seven = 7()\ncut here\neight = 8()");
  m_dir.write("alias/ignored.ini", "five = 4()\n");
  std::filesystem::resize_file(m_dir.write("alias/c.txt", "six = 6()\n"), 2 << 20);
  cAlias alias;
  alias.AddAlias("g", "//global//%1%");
  for (const auto& [word, text] : {std::pair<std::string, std::string>{"x", "1()\nbroken"},
                                   {"y", "1()\rbroken"},
                                   {"a b", "broken"},
                                   {"z\nbroken", "1()"},
                                   {"huge", std::string(1 << 20, 'x')}})
    alias.AddAlias(word, text);
  const std::string saved = testkit::ReadFile("alias/alias.txt");
  for (const char* kept : {"one = 1()\n", "two = 2()\n", "four = a = b\n", "g = //global//%1%\n"})
    EXPECT_NE(saved.find(kept), std::string::npos) << kept << " in\n" << saved;
  // The saved file's own lines that were not read stay after the table, still not read.
  EXPECT_TRUE(saved.ends_with("\ncut here\neight = 8()\n")) << saved;
  std::string eight = "eight";
  EXPECT_FALSE(alias.Alias(eight));
  EXPECT_EQ(eight, "eight");
  for (const char* dropped : {"three", "4()", "broken", "empty", "six", "huge"})
    EXPECT_EQ(saved.find(dropped), std::string::npos) << dropped << " in\n" << saved;
  EXPECT_NE(m_out.Text().find("alias/a.txt line 4 "), std::string::npos) << m_out.Text();
  EXPECT_NE(m_out.Text().find("alias/c.txt is larger than"), std::string::npos) << m_out.Text();
  // A disk that fills while the file is saved leaves the file as it was, and says so.
  {
    testkit::cFileSizeLimit full(saved.size() + 8);
    alias.AddAlias("long", std::string(64, 'x'));
  }
  EXPECT_EQ(testkit::ReadFile("alias/alias.txt"), saved);
  EXPECT_NE(m_out.Text().find("SaveHashMap error"), std::string::npos) << m_out.Text();
}

// Processes started in one home save one alias file: the aliases two others added meanwhile stay.
TEST_F(AliasTest, AliasesOtherProcessesOfTheHomeSavedAreKept) {
  cAlias alias;  // loaded before the others save
  pid_t children[2];
  for (int p = 0; p < 2; ++p)
    if ((children[p] = ::fork()) == 0) {
      cAlias mine;
      for (int i = 0; i < 20; ++i) mine.AddAlias("p" + std::to_string(p * 100 + i), "Ver()");
      ::_exit(0);
    }
  for (const pid_t pid : children) ::waitpid(pid, nullptr, 0);
  alias.AddAlias("a", "A()");
  const std::string saved = testkit::ReadFile("alias/alias.txt");
  EXPECT_EQ(testkit::CountOf(saved, "\n"), 41u) << saved;
}

// Replacements apply to every line and every occurrence and are shown with a password masked;
// the clipboard marker without text, or without a clipboard, leaves the line as it was.
TEST_F(AliasTest, ReplacementsAndTheClipboardMarker) {
  cAlias alias;
  alias.AddAlias("v", "Ver()");  // the first alias of a home makes its folder: a reload keeps it
  EXPECT_TRUE(alias.Load());
  alias.SetReplace("$N", "opsuser");
  alias.SetReplace("x", "xx");
  std::string line = "Login('$N','$N')";
  EXPECT_FALSE(alias.Alias(line));
  EXPECT_EQ(line, "Login('opsuser','opsuser')");
  line = "x-x";
  alias.Replace(line);
  EXPECT_EQ(line, "xx-xx");
  alias.SetReplace("$L", "Login('ops','s3cret')");
  alias.AddAlias("c", "SetConnect('g','',0,'','s3cret')");
  std::ostringstream shown;
  alias.Display(shown);
  alias.TraceReplace();
  EXPECT_EQ((shown.str() + m_out.Text()).find("s3cret"), std::string::npos) << shown.str();
  for (const stClipboard& board : {stClipboard{true, false, ""}, stClipboard{}}) {
    SetClipboardReader([board] { return board; });
    line = "Echo('$p')";
    EXPECT_FALSE(alias.Replace(line));
    EXPECT_EQ(line, "Echo('$p')");
  }
  alias.SetReplace("a", std::string(1 << 20, 'b'));  // a line never grows past 1 MiB
  line = "aa";
  EXPECT_FALSE(alias.Replace(line));
  EXPECT_TRUE(line.empty()) << line.size();
  // A line run for an account gets no clipboard, starts no paste tool and runs nothing.
  int reads = 0;
  SetClipboardReader([&reads] { return ++reads, stClipboard{true, true, "s3cret"}; });
  const cCmdRightsScope viewer(std::make_shared<stCmdRights>(stCmdRights{"v", "v@g", "", {}}));
  line = "Echo('$p')";
  EXPECT_FALSE(alias.Replace(line));
  EXPECT_EQ(line + std::to_string(reads), "0");
  for (int i = 0; i < 10000; ++i) alias.SetReplace("$" + std::to_string(i), "v");
  EXPECT_FALSE(alias.SetReplace("past", "v")) << "10000 replacements held";
  EXPECT_TRUE(alias.SetReplace("x", std::string(cAlias::kMaxReplaceBytes / 2, 'x')));
}

// The desktop's paste tool runs under the shell lines' time limit and never past 2 s (the worker
// waits for it): one that hangs leaves the clipboard unreached instead of holding the line.
TEST_F(AliasTest, APasteToolThatHangsIsCutAtTheShellLinesTimeLimit) {
  const std::string tool = m_dir.write("bin/xclip", "#!/bin/sh\nsleep 5\necho late\n");
  std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
  const std::string path = (m_dir.path() / "bin").string() + ":/usr/bin:/bin";
  ScopedEnv paths("PATH", path.c_str()), display("DISPLAY", ":0"),
      wayland("WAYLAND_DISPLAY", nullptr);
  SetConfigValue("shell_time_limit", 0);  // the default, 60 s
  const stClipboard board = ReadClipboard();
  EXPECT_FALSE(board.opened);
  EXPECT_EQ(board.text, "");
}

}  // namespace
