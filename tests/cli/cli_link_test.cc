// The operator's link before it is opened: switching to a group number no server has leaves
// nothing to complete.
#include "tessel_cli/cli_link.h"

#include <gtest/gtest.h>

namespace {

TEST(CliLink, AGroupBeyondTheKnownOnesHasNoNamesToComplete) {
  stCliOptions options;
  options.host = "127.0.0.1";
  options.waitSeconds = 1;
  cCliLink link(options, stdout, nullptr);
  std::string reason;
  ASSERT_EQ(link.RunLine("/999", reason), cCliLink::kAllAnswered) << reason;
  EXPECT_EQ(link.Prompt(), "/999!> ");
  EXPECT_TRUE(link.Names().empty());
}

// A -c line's password is overwritten in the process list, as that of -p is; the line runs as
// given.
TEST(CliOptions, ACommandLineHoldingAPasswordLeavesTheProcessList) {
  std::string words[] = {"tessel_cli", "-c", "Login('ops','S3cret')", "-u", "a", "h:1"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  stCliOptions options;
  std::string error;
  ASSERT_TRUE(options.Parse(6, argv.data(), error)) << error;
  EXPECT_EQ(options.lines.at(0), "Login('ops','S3cret')");
  EXPECT_EQ(words[2].find("S3cret"), std::string::npos) << words[2];
}

}  // namespace
