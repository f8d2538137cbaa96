// The operator's link before it is opened: a group number no server has leaves nothing to
// complete; a -c line's password leaves the process list (as -p's does), the line runs as given.
// A server that answers no question holds ?? one --wait in all, and Tab no longer asks a group
// that just left its names unanswered.
#include "tessel_cli/cli_link.h"

#include <gtest/gtest.h>

#include "testkit/fake_server.h"

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

TEST(CliLink, ASilentServerHoldsTheGroupsQuestionOneWaitAndIsNotAskedAgainAtEachTab) {
  std::atomic<int> asked{0};
  std::atomic<bool> loggedIn{false};
  testkit::cFakeServer server([&](int32_t, const std::string& text) {
    testkit::cFakeServer::tRecords out;
    if (text.starts_with("Login(")) out.push_back({2, "Logined(1,'s')"});
    if (text.starts_with("Mark(") && !loggedIn.exchange(true))
      out.push_back({2, "Marked(" + text.substr(5)});  // the login's own mark only
    asked += text == "Functions()";
    return out;
  });
  std::string words[] = {"cli", "-u", "ops", "-p", "pw", "--wait", "2", server.Address()};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  stCliOptions options;
  std::string reason;
  ASSERT_TRUE(options.Parse(8, argv.data(), reason)) << reason;
  cCliLink link(options, stdout, nullptr);
  ASSERT_EQ(link.Open(reason), cCliLink::kAllAnswered) << reason;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.RunLine("??", reason), cCliLink::kNotAnswered);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::seconds(20));  // 2 s a group before
  EXPECT_NE(reason.find("no answer within 2 s from group(s) 0, 1, 2,"), std::string::npos)
      << reason;
  EXPECT_TRUE(link.Names().empty());
  EXPECT_TRUE(link.Names().empty());
  EXPECT_EQ(asked, 1);
}

}  // namespace
