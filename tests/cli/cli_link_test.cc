// The operator's link before it is opened: a group number no server has leaves nothing to
// complete; a -c line's password leaves the process list (as -p's does), the line runs as given.
#include "tessel_cli/cli_link.h"

#include <gtest/gtest.h>

namespace {

TEST(CliLink, AGroupBeyondTheKnownOnesHasNoNamesToCompleteAndPasswordsLeaveTheProcessList) {
  std::string words[] = {"cli", "-c", "Login('ops','S3cret')", "-u", "a", "--wait", "1", "h:1"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  stCliOptions options;
  std::string reason;
  ASSERT_TRUE(options.Parse(8, argv.data(), reason)) << reason;
  EXPECT_EQ(options.lines.at(0), "Login('ops','S3cret')");
  EXPECT_EQ(words[2].find("S3cret"), std::string::npos) << words[2];
  cCliLink link(options, stdout, nullptr);
  ASSERT_EQ(link.RunLine("/999", reason), cCliLink::kAllAnswered) << reason;
  EXPECT_EQ(link.Prompt(), "/999!> ");
  EXPECT_TRUE(link.Names().empty());
}

}  // namespace
