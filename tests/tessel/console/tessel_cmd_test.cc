#include "tessel/console/tessel_cmd.h"

#include <gtest/gtest.h>

#include <fstream>
#include <lua.hpp>
#include <string>
#include <thread>

#include "tessel/console/alias.h"
#include "tessel/console/clipboard.h"
#include "tessel/console/groups/standard_groups.h"
#include "tessel/link/bridge.h"
#include "testkit/console_test_util.h"
#include "testkit/in_order.h"
#include "testkit/test_host.h"

namespace {

std::string g_ran;

// A group whose Mark(text) records the group's name and the text.
class cMarkCmd : public cCmd {
 public:
  explicit cMarkCmd(const char* name) : m_name(name) {}
  void bind_cln(lua_State* L) override {
    lua_pushlightuserdata(L, this);
    lua_pushcclosure(
        L,
        [](lua_State* state) -> int {
          auto* self = static_cast<cMarkCmd*>(lua_touserdata(state, lua_upvalueindex(1)));
          g_ran += std::string(self->m_name) + ":" + luaL_checkstring(state, 1) + ";";
          return 0;
        },
        1);
    lua_setglobal(L, "Mark");
  }
  const char* GetName() override { return m_name; }

 private:
  const char* m_name;
};

// An endpoint without a network side.
class cQuietBridge : public cBridge {
 public:
  void OnConnect(unsigned) override {}
  bool OnDisconnect(unsigned) override { return true; }
  void OnLogined(unsigned, int) override {}
  void ClearNet() override {}
};

// A console with the standard groups, a link endpoint "gate" whose array holds two groups, and an
// endpoint "global" with a next array, both found through the installed host.
class TesselCmdTest : public ::testing::Test {
 protected:
  TesselCmdTest()
      : m_gateLow("cCmd_GateLow"),
        m_gateHigh("cCmd_GateHigh"),
        m_own("cCmd_Own"),
        m_next("cCmd_Next") {
    m_gate.AddCmd(2, &m_gateLow);
    m_gate.AddCmd(5, &m_gateHigh);
    m_bridge.AddCmd(1, &m_own);
    m_nextArray.AddCmd(3, &m_next);
    {
      CoutCapture quiet;
      m_bridge.CreateBridge("global", nullptr);
    }
    {
      CoutCapture quiet;
      m_gate.CreateBridge("gate", nullptr);
    }
    m_host.bridges = {{"gate", &m_gate}, {"global", &m_bridge}};
    m_host.serverList = "servers listed\n";
    m_host.clientList = "clients listed\n";
    AddStandardGroups(m_console);
    m_console.Start();
    g_ran.clear();
  }

  // Parses one line with standard output as the switch stream and returns what it printed.
  std::string Parse(const char* line) {
    CoutCapture out;
    m_console.ParseCmd(line, std::cout);
    return out.Text();
  }

  const char* CurName() const {
    return m_console.GetCurCmd() != nullptr ? m_console.GetCurCmd()->GetName() : "(none)";
  }

  TempWorkDir m_dir;
  cQuietBridge m_gate;
  cMarkCmd m_gateLow;
  cMarkCmd m_gateHigh;
  cNamedCmd m_own;
  cNamedCmd m_next;
  cCmdArray m_nextArray;
  cQuietBridge m_bridge;
  cTesselCmd m_console;
  cTestHost m_host;
};

TEST_F(TesselCmdTest, LevelsSwitchAloneAndNextAndPrevWrapAround) {
  EXPECT_EQ(Parse("/3"), "cmd switch from cCmd_Tessel to cCmd_Input\n");
  EXPECT_STREQ(CurName(), "cCmd_Input");
  Parse("/13x");
  EXPECT_STREQ(CurName(), "cCmd_Config");
  Parse("/16");
  EXPECT_STREQ(CurName(), "cCmd_Replay");
  EXPECT_EQ(Parse("n"), "cmd switch from cCmd_Replay to cCmd_Tessel\n");
  EXPECT_EQ(Parse("p"), "cmd switch from cCmd_Tessel to cCmd_Replay\n");
  Parse("p");
  EXPECT_STREQ(CurName(), "cCmd_OS");
}

// Other short lines, unknown levels and names keep the group silently; slashes inside a
// statement do not split it.
TEST_F(TesselCmdTest, LinesThatSwitchNothingKeepTheGroup) {
  for (const char* line : {"", "x", "N", " ", "/40", "/Nothing"}) {
    EXPECT_EQ(Parse(line), "") << line;
    EXPECT_STREQ(CurName(), "cCmd_Tessel");
  }
  EXPECT_NE(Parse("a/b").find("cCmd::Do error cmd cCmd_Tessel do a/b\n"), std::string::npos);
}

TEST_F(TesselCmdTest, LevelWithStatementRunsThereAndReturnsToTheFormerGroup) {
  Parse("/5");
  const std::string out = Parse("/3/Help()");
  EXPECT_NE(out.find("cmd switch from cCmd_Net to cCmd_Input\n"), std::string::npos);
  EXPECT_NE(out.find("[输入命令]\n"), std::string::npos);
  EXPECT_EQ(out.find("cCmd::Do error"), std::string::npos);
  EXPECT_STREQ(CurName(), "cCmd_Net");
}

// An endpoint type switches to its array and its lowest group; "//" returns to level zero.
TEST_F(TesselCmdTest, EndpointTypeSwitchesToItsArrayAndDoubleSlashReturns) {
  EXPECT_EQ(Parse("//gate"), "cmd bridge switch to gate\n");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_gate);
  EXPECT_STREQ(CurName(), "cCmd_GateLow");
  EXPECT_EQ(Parse("n"), "cmd switch from cCmd_GateLow to cCmd_GateHigh\n");
  Parse("Mark('here')");
  EXPECT_EQ(g_ran, "cCmd_GateHigh:here;");
  EXPECT_EQ(Parse("//"), "cmd bridge switch back to tessel \ncmd switch to  cCmd_Tessel\n");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_console);
  EXPECT_STREQ(CurName(), "cCmd_Tessel");
}

TEST_F(TesselCmdTest, EndpointLineWithStatementRunsThereAndRestoresTheCursor) {
  Parse("/4");
  Parse("//gate///5/Mark('a')");
  Parse("//gate//Mark('b')");
  EXPECT_EQ(g_ran, "cCmd_GateHigh:a;cCmd_GateLow:b;");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_console);
  EXPECT_STREQ(CurName(), "cCmd_Maintain");
}

// "???" lists the host's servers and clients.
TEST_F(TesselCmdTest, TripleQuestionListsTheEndpoints) {
  EXPECT_TRUE(testkit::InOrder(Parse("???"), {"servers listed\nclients listed\n"}));
}

TEST_F(TesselCmdTest, ParseCmdTesselRunsFromLevelZeroAndRestoresTheCursor) {
  Parse("//gate");
  CoutCapture out;
  std::ostringstream os;
  m_console.ParseCmdTessel("/Input/Help()", os);
  EXPECT_NE(out.Text().find("[输入命令]"), std::string::npos);
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_gate);
  EXPECT_STREQ(CurName(), "cCmd_GateLow");
}

TEST_F(TesselCmdTest, AliasedLinesAreParsedAndPastedOnesEchoed) {
  {
    std::filesystem::create_directories("alias");
    std::ofstream("alias/test.txt") << "gh = //gate///%1%/Mark('%2%')\n";
  }
  cAlias::Instance().Load();
  Parse("gh 5 aliased");
  EXPECT_EQ(g_ran, "cCmd_GateHigh:aliased;");
  SetClipboardReader([] { return stClipboard{true, true, "Mark('pasted')"}; });
  const std::string out = Parse("//gate//$p");
  SetClipboardReader(nullptr);
  EXPECT_NE(out.find("【alias】 to //gate//Mark('pasted')\n"), std::string::npos);
  EXPECT_EQ(g_ran, "cCmd_GateHigh:aliased;cCmd_GateLow:pasted;");
  g_ran.clear();
  Parse("gh 5");
  EXPECT_EQ(g_ran, "");
  std::filesystem::remove("alias/test.txt");
  cAlias::Instance().Load();
}

// Lines handed over faster than the worker's passes all run, once each and in order.
TEST_F(TesselCmdTest, RunTakesEachPendingLineOnceInOrderAndPrintsThePrompt) {
  m_console.SetCmd("//gate//Mark('once')");
  m_console.SetCmd("");
  m_console.SetCmd("//gate//Mark('twice')");
  EXPECT_EQ(m_console.GetCurInput(), "//gate//Mark('once')");
  {
    CoutCapture out;
    for (int pass = 0; pass < 3; ++pass) m_console.Run();
    EXPECT_EQ(out.Text(), "cmd bridge switch to gate\n!>cmd bridge switch to gate\n!>");
  }
  EXPECT_EQ(g_ran, "cCmd_GateLow:once;cCmd_GateLow:twice;");
  EXPECT_EQ(m_console.GetCurInput(), "");
}

TEST_F(TesselCmdTest, LinesBeyondTheWaitingBoundAreDroppedNotRun) {
  for (size_t i = 0; i <= cTesselCmd::kMaxPendingLines; ++i)
    m_console.SetCmd(("//gate//Mark('" + std::to_string(i) + "')").c_str());
  CoutCapture out;
  for (size_t pass = 0; pass <= cTesselCmd::kMaxPendingLines; ++pass) m_console.Run();
  EXPECT_EQ(g_ran.find(":" + std::to_string(cTesselCmd::kMaxPendingLines) + ";"),
            std::string::npos);
  EXPECT_NE(g_ran.find(":" + std::to_string(cTesselCmd::kMaxPendingLines - 1) + ";"),
            std::string::npos);
}

TEST_F(TesselCmdTest, LineHandedOverFromAnotherThreadIsRunOnTheWorker) {
  std::thread console([&] { m_console.SetCmd("//gate//Mark('threaded')"); });
  CoutCapture out;
  for (int pass = 0; pass < 2000 && g_ran.empty(); ++pass) {
    m_console.Run();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  console.join();
  EXPECT_EQ(g_ran, "cCmd_GateLow:threaded;");
}

TEST_F(TesselCmdTest, LineHandedOverWhileAnotherRunsIsKeptForTheNextPass) {
  static cTesselCmd* s_console = nullptr;
  s_console = &m_console;
  lua_register(m_gateLow.GetLua(), "HandOver", [](lua_State*) -> int {
    s_console->SetCmd("//gate//Mark('second')");
    return 0;
  });
  m_console.SetCmd("//gate//HandOver()");
  CoutCapture out;
  m_console.Run();
  EXPECT_EQ(m_console.GetCurInput(), "//gate//Mark('second')");
  m_console.Run();
  EXPECT_EQ(g_ran, "cCmd_GateLow:second;");
}

TEST_F(TesselCmdTest, StatementThatParsesAnotherLineKeepsItsOwnCommandText) {
  static cTesselCmd* s_console = nullptr;
  s_console = &m_console;
  lua_register(m_gateHigh.GetLua(), "ParseInner", [](lua_State*) -> int {
    std::ostringstream quiet;
    s_console->ParseCmd("//gate//Mark('inner line that is much longer than the outer one')", quiet);
    g_ran += std::string("after:") + cCmd::s_szCmd + ";";
    return 0;
  });
  Parse("//gate///5/ParseInner()");
  EXPECT_EQ(g_ran,
            "cCmd_GateLow:inner line that is much longer than the outer one;"
            "after:ParseInner();");
  EXPECT_STREQ(cCmd::s_szCmd, "");
}

TEST_F(TesselCmdTest, RealEndpointLeadsIntoItsOwnArrayOrItsBoundNextArray) {
  EXPECT_EQ(Parse("//global"), "cmd bridge switch to global\n");
  EXPECT_EQ(m_console.GetCurCmdArray(), static_cast<cCmdArray*>(&m_bridge));
  EXPECT_EQ(m_console.GetCurCmd(), &m_own);
  Parse("//");
  m_bridge.SetNext(true);
  EXPECT_EQ(Parse("//global"), "cmd bridge global has no next cmd array\n");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_console);
  m_bridge.BindNext(&m_nextArray);
  Parse("//global");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_nextArray);
  EXPECT_EQ(m_console.GetCurCmd(), &m_next);
}

}  // namespace
