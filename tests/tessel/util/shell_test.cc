#include "tessel/util/shell.h"

#include <gtest/gtest.h>

namespace {

TEST(ShellQuote, EveryTextComesThroughTheShellAsOneWordUnchanged) {
  const std::string texts[] = {"plain",         "two words", "it's", "'",        "$(echo no)",
                               "a\"b\\c;d|e&f", "",          "*",    "new\nline"};
  for (const std::string& text : texts) {
    std::string out;
    EXPECT_EQ(
        RunShellOutput("printf '%s|' " + ShellQuote(text) + " " + ShellQuote(text), out, 4096), 0);
    EXPECT_EQ(out, text + "|" + text + "|");
  }
}

TEST(RunShell, ReportsTheExitStatus) {
  EXPECT_EQ(RunShell("exit 0"), 0);
  EXPECT_EQ(RunShell("exit 7"), 7);
  EXPECT_EQ(RunShell("kill -9 $$"), -1);
}

TEST(RunShellOutput, KeepsAtMostTheLimitAndDrainsTheRest) {
  std::string out;
  bool truncated = false;
  EXPECT_EQ(RunShellOutput("head -c 300000 /dev/zero; exit 3", out, 1000, &truncated), 3);
  EXPECT_EQ(out.size(), 1000u);
  EXPECT_TRUE(truncated);
  EXPECT_EQ(RunShellOutput("echo hi; echo err >&2", out, 1000, &truncated), 0);
  EXPECT_EQ(out, "hi\n");
  EXPECT_FALSE(truncated);
}

}  // namespace
