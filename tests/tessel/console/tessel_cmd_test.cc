#include "tessel/console/tessel_cmd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

#include "tessel/console/alias.h"
#include "tessel/console/clipboard.h"
#include "tessel/console/groups/standard_groups.h"
#include "tessel/link/bridge.h"
#include "testkit/quiet_bridge.h"
#include "testkit/record_cmd.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"
#include "testkit/test_host.h"

namespace {

using Marks = std::vector<std::string>;

using testkit::cQuietBridge;

// A console with the standard groups, a link endpoint "gate" whose array holds two recording
// groups, and an endpoint "global" with a next array, both found through the installed host.
class TesselCmdTest : public ::testing::Test {
 protected:
  TesselCmdTest() {
    m_gate.AddCmd(2, &m_low);
    m_gate.AddCmd(5, &m_high);
    m_global.AddCmd(1, &m_own);
    m_nextArray.AddCmd(3, &m_next);
    {
      testkit::cStdoutCapture quiet;
      m_global.CreateBridge("global", nullptr);
      m_gate.CreateBridge("gate", nullptr);
    }
    m_host.bridges = {{"gate", &m_gate}, {"global", &m_global}};
    AddStandardGroups(m_console);
    m_console.Start();
  }

  // Parses one line with standard output as the switch stream and returns what it printed.
  std::string Parse(const char* line) {
    testkit::cStdoutCapture out;
    m_console.ParseCmd(line, std::cout);
    return out.Text();
  }
  std::string CurName() const { return m_console.GetCurCmd()->GetName(); }
  // Runs the console's passes over the lines handed over.
  void Passes(size_t n) {
    testkit::cStdoutCapture quiet;
    for (size_t pass = 0; pass < n; ++pass) m_console.Run();
  }

  testkit::cTempDir m_dir{testkit::cTempDir::kWorkDir};
  cQuietBridge m_gate;
  cRecordCmd m_low{"cCmd_GateLow", {"Mark"}};
  cRecordCmd m_high{"cCmd_GateHigh", {"Mark"}};
  cRecordCmd m_own{"cCmd_Own"};
  cRecordCmd m_next{"cCmd_Next"};
  cCmdArray m_nextArray;
  cQuietBridge m_global;
  cTesselCmd m_console;
  cTestHost m_host;
};

// Levels switch alone, n and p wrap around; other short lines, unknown levels and names keep
// the group silently; a level with a statement runs there and returns to the former group.
TEST_F(TesselCmdTest, LevelLinesSwitchTheGroup) {
  const std::pair<const char*, const char*> steps[] = {
      {"/3", "cCmd_Input"}, {"/13x", "cCmd_Config"}, {"/16", "cCmd_Replay"}, {"n", "cCmd_Tessel"},
      {"p", "cCmd_Replay"}, {"p", "cCmd_OS"},        {"/5", "cCmd_Net"}};
  for (const auto& [line, group] : steps) {
    Parse(line);
    EXPECT_EQ(CurName(), group) << line;
  }
  for (const char* line : {"", "x", "N", " ", "/40", "/Nothing"})
    EXPECT_EQ(Parse(line), "") << line;
  EXPECT_NE(Parse("/3/Help()").find("[输入命令]\n"), std::string::npos);
  EXPECT_EQ(CurName(), "cCmd_Net");
}

// An endpoint type switches to its array and its lowest group, or to its bound next array;
// "//" returns to level zero; a line with a statement runs there and restores the cursor, as
// ParseCmdTessel does from wherever the console is.
TEST_F(TesselCmdTest, EndpointLinesSwitchArraysAndRunStatementsThere) {
  Parse("//global");
  EXPECT_EQ(m_console.GetCurCmd(), &m_own);
  Parse("//gate");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_gate);
  EXPECT_EQ(CurName(), "cCmd_GateLow");
  Parse("n");
  Parse("Mark('here')");
  EXPECT_EQ(m_high.FirstArgs("Mark"), Marks{"here"});
  m_global.SetNext(true);
  Parse("//global");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_gate) << "no next array bound yet";
  Parse("//");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_console);
  EXPECT_EQ(CurName(), "cCmd_Tessel");
  Parse("/4");
  Parse("//gate///5/Mark('a')");
  Parse("//gate//Mark('b')");
  EXPECT_EQ(m_high.FirstArgs("Mark"), (Marks{"here", "a"}));
  EXPECT_EQ(m_low.FirstArgs("Mark"), Marks{"b"});
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_console);
  EXPECT_EQ(CurName(), "cCmd_Maintain");
  m_global.BindNext(&m_nextArray);
  Parse("//global");
  EXPECT_EQ(m_console.GetCurCmd(), &m_next);
  Parse("//gate");
  testkit::cStdoutCapture out;
  std::ostringstream os;
  m_console.ParseCmdTessel("/Input/Help()", os);
  EXPECT_NE(out.Text().find("[输入命令]"), std::string::npos);
  EXPECT_EQ(CurName(), "cCmd_GateLow");
  cCmdArray empty;  // an array without a group is no place to move into
  m_global.BindNext(&empty);
  m_console.ShiftCmds("global", 0, true, os);
  EXPECT_EQ(m_console.GetCurCmd(), &m_low);
}

TEST_F(TesselCmdTest, AliasedLinesAreParsedAndPastedOnesRun) {
  m_dir.write("alias/test.txt", "gh = //gate///%1%/Mark('%2%')\n");
  cAlias::Instance().Load();
  Parse("gh 5 aliased");
  Parse("gh 5");
  SetClipboardReader([] {
    return stClipboard{true, true, "Mark('pasted') SetConnect('g','',0,'','s3cret')"};
  });
  EXPECT_EQ(Parse("//gate//$p").find("s3cret"), std::string::npos) << "the echo is masked";
  SetClipboardReader(nullptr);
  EXPECT_EQ(m_high.FirstArgs("Mark"), Marks{"aliased"});
  EXPECT_EQ(m_low.FirstArgs("Mark"), Marks{"pasted"});
  std::filesystem::remove("alias/test.txt");
  cAlias::Instance().Load();
}

// Lines handed over faster than the worker's passes all run, once each and in order, up to the
// waiting bounds (of lines, of bytes: 1024 lines of 16 MiB held 16 GiB); lines beyond are dropped.
TEST_F(TesselCmdTest, PendingLinesRunOnceInOrderUpToTheBound) {
  Marks all;
  for (size_t i = 0; i < cTesselCmd::kMaxPendingLines; ++i) {
    m_console.SetCmd(("//gate//Mark('" + std::to_string(i) + "')").c_str());
    all.push_back(std::to_string(i));
  }
  // The drop is said on a standard error that blocks (a full pipe): the worker still reads.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  while (::write(fds[1], "x", 1) == 1) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  const int savedErr = ::dup(2);
  ::dup2(fds[1], 2);
  std::thread typist([&] { m_console.SetCmd("//gate//Mark('late')"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the typist is writing
  auto read = std::async(std::launch::async, [&] { return m_console.GetCurInput(); });
  EXPECT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  for (char sink[4096]; ::read(fds[0], sink, sizeof sink) > 0;) {
  }
  ::dup2(savedErr, 2);
  typist.join();
  for (const int fd : {savedErr, fds[0], fds[1]}) ::close(fd);
  Passes(cTesselCmd::kMaxPendingLines + 2);
  EXPECT_EQ(m_low.FirstArgs("Mark"), all);
  EXPECT_EQ(m_console.GetCurInput(), "");
  const std::string pad(cTesselCmd::kMaxPendingBytes / 4 - 20, 'x');
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the drop above was said
  testkit::cStdoutCapture err(std::cerr);
  for (const char* mark : {"a", "b", "c", "d", "e"})
    m_console.SetCmd(("//gate//Mark('" + std::string(mark) + "') --" + pad).c_str());
  for (int i = 0; i < 1000; ++i) m_console.SetCmd("//gate//Mark('f')");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Passes(6);
  EXPECT_EQ(err.Take(),
            "console line dropped, 4 lines of 64 MiB wait already\n"
            "console line dropped, 1000 more lines dropped\n");
  EXPECT_EQ(m_low.FirstArgs("Mark").back(), "d");
  // A flood whose lines all ran within its second: a pass after it says the count, no line left.
  for (size_t i = 0; i < cTesselCmd::kMaxPendingLines + 3; ++i) m_console.SetCmd("x = 1");
  Passes(cTesselCmd::kMaxPendingLines);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Passes(1);
  EXPECT_EQ(err.Take(),
            "console line dropped, 1024 lines wait already\n"
            "console line dropped, 2 more lines dropped\n");
}

TEST_F(TesselCmdTest, LineHandedOverFromAnotherThreadIsRunOnTheWorker) {
  std::thread console([&] { m_console.SetCmd("//gate//Mark('threaded')"); });
  for (int pass = 0; pass < 2000 && m_low.FirstArgs("Mark").empty(); ++pass) {
    Passes(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  console.join();
  EXPECT_EQ(m_low.FirstArgs("Mark"), Marks{"threaded"});
}

// A line handed over while another runs waits for the next pass; a statement that parses
// another line keeps its own command text.
TEST_F(TesselCmdTest, LinesHandedOverOrParsedFromAStatement) {
  static cTesselCmd* s_console = nullptr;
  s_console = &m_console;
  lua_register(m_low.GetLua(), "HandOver", [](lua_State*) -> int {
    s_console->SetCmd("//gate//Mark('second')");
    return 0;
  });
  static std::string s_after;
  lua_register(m_high.GetLua(), "ParseInner", [](lua_State*) -> int {
    std::ostringstream quiet;
    s_console->ParseCmd("//gate//Mark('inner line that is much longer than the outer one')", quiet);
    s_after = cCmd::s_szCmd;
    return 0;
  });
  m_console.SetCmd("//gate//HandOver()");
  Passes(1);
  EXPECT_EQ(m_console.GetCurInput(), "//gate//Mark('second')");
  Passes(1);
  EXPECT_EQ(m_low.FirstArgs("Mark"), Marks{"second"});
  Parse("//gate///5/ParseInner()");
  EXPECT_EQ(s_after, "ParseInner()");
  EXPECT_STREQ(cCmd::s_szCmd, "");
}

}  // namespace
