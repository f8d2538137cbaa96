#include "tessel/console/groups/cmd_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "cmd_group_util.h"
#include "tessel/console/alias.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/console/tessel_cmd.h"

namespace {

class InputGroup : public ::testing::Test {
 protected:
  void SetUp() override {
    GroupTestHost();
    testkit::cStdoutCapture quiet;
    cTesselCmd& console = cTesselCmd::Instance();
    if (console.GetCmd(3) == nullptr) console.Start();
    console.ParseCmd("/3", std::cout);
    cCmdTest::Instance().Do("function Out(t) Hello() end");
  }
  void Write(const std::string& file, const std::string& text) {
    std::ofstream(m_dir.path() / file) << text;
  }
  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
};

// The batch switches to the test group and keeps it; a short line ends it.
const char* const kBatch = "/6\nHello()\nOut(1)\nOut(\n\nHello()\n";

TEST_F(InputGroup, RunEchoesAndParsesEachLineUpToTheFirstShortLine) {
  Write("batch.txt", kBatch);
  const stGroupRun run = RunInGroup(cCmdInput::Instance(), "Run('batch.txt')");
  EXPECT_TRUE(run.ok) << run.out;
  EXPECT_TRUE(testkit::InOrder(
      run.out, {"[dofile] batch.txt\n", "/6\n", "cmd switch from cCmd_Input to cCmd_Test\n",
                "Hello()\n", "Hello World!\n", "Hello World!\n", "Out(\n",
                "error cmd cCmd_Test do Out(", "[dofile] batch.txt end \n\n"}));
  // "Out(1)" ran (the second greeting) without being echoed; nothing after the empty line ran.
  const auto lines = testkit::Lines(run.out);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Out(1)"), 0) << run.out;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Hello World!"), 2) << run.out;
  EXPECT_EQ(cTesselCmd::Instance().GetCurCmd(), &cCmdTest::Instance());
}

TEST_F(InputGroup, RunRemoteReportsEveryLineAndDoesNotStopAtShortLines) {
  Write("batch.txt", kBatch);
  const stGroupRun run = RunInGroup(cCmdInput::Instance(), "RunRemote('batch.txt')");
  EXPECT_TRUE(run.ok) << run.out;
  EXPECT_TRUE(testkit::InOrder(
      run.out,
      {"[dofile] batch.txt\n", "\t/6\n", "\tHello()\n", "Hello World!\n", "\tOut(1)\n", "\tOut(\n",
       "\t\n", "\tHello()\n", "Hello World!\n", "[dofile] batch.txt end \n\n"}));
}

TEST_F(InputGroup, AMissingBatchFileIsReportedByBothRunners) {
  for (const char* statement : {"Run('nofile')", "RunRemote('nofile')"}) {
    const stGroupRun run = RunInGroup(cCmdInput::Instance(), statement);
    EXPECT_TRUE(run.ok) << statement;
    EXPECT_EQ(run.out, "run file nofile not found\n") << statement;
  }
}

TEST_F(InputGroup, ABatchThatRunsItselfStopsAtTheNestingBound) {
  for (const char* runner : {"Run", "RunRemote"}) {
    Write("self.txt", std::string("/3/") + runner + "('self.txt')\n");
    const stGroupRun run = RunInGroup(cCmdInput::Instance(), std::string(runner) + "('self.txt')");
    EXPECT_TRUE(run.ok) << runner;
    const auto lines = testkit::Lines(run.out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[dofile] self.txt"), 8) << run.out;
    EXPECT_NE(run.out.find("run file self.txt refused: batches nested deeper than 8"),
              std::string::npos)
        << run.out;
  }
}

TEST_F(InputGroup, AliasesAreReloadedShownAndAddedToTheAliasFile) {
  std::filesystem::create_directory(m_dir.path() / "alias");
  Write("alias/a.txt", "g = //global//%1%\nno separator\nh = ignored\n");
  stGroupRun run = RunInGroup(cCmdInput::Instance(), "Alias()");
  EXPECT_EQ(run.out, "【alias】\ng = //global//%1%\n");

  run = RunInGroup(cCmdInput::Instance(), "AddAlias('v','Ver()')");
  EXPECT_EQ(run.out, "v = Ver()\n");
  EXPECT_NE(testkit::ReadFile(m_dir.path() / "alias/alias.txt").find("v = Ver()\n"),
            std::string::npos);
}

TEST_F(InputGroup, ReplacementsAreAddedAndShown) {
  stGroupRun run = RunInGroup(cCmdInput::Instance(), "AddReplace('$N','opsuser')");
  EXPECT_EQ(run.out, "$N = opsuser\n");
  run = RunInGroup(cCmdInput::Instance(), "Replace()");
  EXPECT_TRUE(testkit::InOrder(run.out, {"【replace】\n", "$N = opsuser\n"}));
  std::string line = "Kick('$N')";
  cAlias::Instance().Replace(line);
  EXPECT_EQ(line, "Kick('opsuser')");
}

}  // namespace
