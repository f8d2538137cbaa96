// tessel_cli against real servers: lines run in order in several groups with their answers
// printed, a silent line answered by its end mark; the lines routed through game to map; each
// refusal and failure to connect with its exit code and its one-line reason; and the password
// nowhere in what the client printed or the server wrote.
#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

const std::string kPassword = "s3cr3t-Pw";

// Every file written in the home: the server's console and logs, the client's output and
// state. The account files, which hold the passwords, are left out.
std::string Writings(const cHome& home) {
  std::string all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path()))
    if (entry.is_regular_file() && entry.path().string().find("/db/") == std::string::npos)
      all += testkit::ReadFile(entry.path());
  return all;
}

TEST(CliE2e, RunsLinesInGroupsAndRefusesWithTheirExitCodes) {
  cHome home;
  AddAccount(home, "ops", kPassword, 16);
  AddAccount(home, "viewer", "viewer-pw", 0);
  cServerProcess game(home, Words("game", Listen()));
  const std::string address = "127.0.0.1:" + std::to_string(game.WaitPort("game"));
  ASSERT_NE(address, "127.0.0.1:0") << game.Output();

  // Lines in four groups, one of them silent, one switching the group for the next.
  const stCliRun run =
      RunCli(home,
             {"-u", "ops", "-c", "/4/Ver()", "-c", "/13/SetConfigValue('x',1)", "-c", "/6", "-c",
              "Hello()", "-c", "/1/Accounts()", "-c", "Functions()", address},
             kPassword);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(
      testkit::InOrder(run.out, {"func_Version ip: ", "Hello World!", "func_Accounts game ops",
                                 "Echo Functions Hello Help Output"}))
      << run.out;

  const struct {
    std::vector<std::string> args;
    std::string password;
    int code;
    std::string reason;
  } refusals[] = {
      {{"-u", "ops", "-c", "Hello()", address}, "wrong", 2, "login refused for account 'ops'"},
      {{"-u", "nobody", "-c", "Hello()", address}, kPassword, 2, "该账号不存在"},
      {{"-u", "viewer", "-c", "/6/Hello()", address}, "viewer-pw", 2, "refused by game: "},
      {{"-u", "ops", "-c", "Hello()", "127.0.0.1:1"}, kPassword, 3, "cannot reach 127.0.0.1:1"},
      // A line the server has no group for is refused without an answer, and so not answered.
      {{"-u", "ops", "--wait", "1", "-c", "/99/Hello()", "-c", "/6/Hello()", address},
       kPassword,
       1,
       "line 1 (/99/Hello())"},
  };
  for (const auto& refusal : refusals) {
    const stCliRun failed = RunCli(home, refusal.args, refusal.password);
    EXPECT_EQ(failed.code, refusal.code) << refusal.reason << "\n" << failed.err;
    EXPECT_NE(failed.err.find("tessel_cli: "), std::string::npos) << failed.err;
    EXPECT_NE(failed.err.find(refusal.reason), std::string::npos) << failed.err;
    EXPECT_EQ((failed.out + failed.err).find(kPassword), std::string::npos);
  }
  game.QuitInOrder();
  EXPECT_EQ(Writings(home).find(kPassword), std::string::npos);
}

TEST(CliE2e, LinesGoAlongTheRoutesToANamedProcessAndTheirAnswersComeBack) {
  cCluster cluster;
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  AddAccount(cluster.gameHome, "ops", kPassword, 16);
  const std::string address = "127.0.0.1:" + std::to_string(cluster.game->WaitPort("game"));
  const stCliRun run = RunCli(
      cluster.gameHome, {"-u", "ops", "--to", "map", "-c", "/4/Ver()", "-c", "/6/Hello()", address},
      kPassword);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(testkit::InOrder(run.out, {"func_Version ip: ", "程序 map", "Hello World!"}))
      << run.out;
}

}  // namespace
}  // namespace e2e
