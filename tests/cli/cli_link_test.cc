// The operator's link: a group number no server has, or a group silent just now, leaves nothing
// to complete; a -c line's password leaves the process list (as -p's does), the line runs as given.
#include "tessel_cli/cli_link.h"

#include <gtest/gtest.h>

#include "testkit/fake_server.h"
#include "testkit/temp_dir.h"

namespace {

TEST(CliLink, NamesToCompleteOnlyFromGroupsThatAnswerAndPasswordsLeaveTheProcessList) {
  std::string words[] = {"cli", "-c", "Login('ops','S3cret')", "-u", "a", "-p", "pw", "--wait",
                         "1",   "h:1"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  stCliOptions options;
  std::string reason;
  ASSERT_TRUE(options.Parse(10, argv.data(), reason)) << reason;
  EXPECT_EQ(options.lines.at(0), "Login('ops','S3cret')");
  EXPECT_EQ(words[2].find("S3cret"), std::string::npos) << words[2];
  cCliLink link(options, stdout, nullptr);
  ASSERT_EQ(link.RunLine("/999", reason), cCliLink::kAllAnswered) << reason;
  EXPECT_EQ(link.Prompt(), "h:1/999!> ");
  EXPECT_TRUE(link.Names().empty());
  // A silent server: ?? asks no more after one --wait (17 asked before), nor Tab a silent group.
  const testkit::cTempDir work(testkit::cTempDir::kWorkDir);  // for the library's logs
  std::atomic<int> asked{0}, marks{0};
  testkit::cFakeServer server(
      [&](int32_t, const std::string& text) -> testkit::cFakeServer::tRecords {
        asked += text == "Functions()";
        if (text.starts_with("Login(")) return {{2, "Logined(1,'s')"}};
        if (text.starts_with("Mark(") && marks++ == 0) return {{2, "Marked(" + text.substr(5)}};
        return {};  // silent after the login's own mark
      });
  options.host = "127.0.0.1", options.port = std::stoi(server.Address().substr(10));
  cCliLink silent(options, stdout, nullptr);
  ASSERT_EQ(silent.Open(reason), cCliLink::kAllAnswered) << reason;
  EXPECT_EQ(silent.RunLine("??", reason), cCliLink::kNotAnswered);
  EXPECT_NE(reason.find("no answer within 1 s from group(s) 0, 1, 2,"), std::string::npos);
  EXPECT_TRUE(silent.Names().empty() && silent.Names().empty() && asked == 1) << asked;
}

}  // namespace
