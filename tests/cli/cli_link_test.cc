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

}  // namespace
