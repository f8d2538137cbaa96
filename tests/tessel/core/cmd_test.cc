#include "tessel/core/cmd.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>
#include <vector>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd_array.h"
#include "tessel/timers/timer_function.h"
#include "testkit/console_test_util.h"

namespace {

std::vector<std::string> g_seen;

// Records the command text that was running when it was called.
int SeenCmd(lua_State*) {
  g_seen.push_back(cCmd::s_szCmd);
  return 0;
}

// A group with a function that records s_szCmd and a counter of its bindings.
class cProbeCmd : public cCmd {
 public:
  explicit cProbeCmd(const char* name = "cCmd_Probe") : m_name(name) {}
  void bind_cln(lua_State* L) override {
    ++m_binds;
    lua_register(L, "SeenCmd", &SeenCmd);
  }
  const char* GetName() override { return m_name; }
  int m_binds = 0;

 private:
  const char* m_name;
};

class cRefusingCmd : public cProbeCmd {
 public:
  bool CanDo(const char*) override { return false; }
};

TEST(Cmd, OneGroupSharedByTwoArraysIsBoundOnce) {
  cProbeCmd group;
  cCmdArray first;
  cCmdArray second;
  first.AddCmd(0, &group);
  lua_State* state = group.GetLua();
  second.AddCmd(4, &group);
  EXPECT_EQ(group.m_binds, 1);
  EXPECT_EQ(group.GetLua(), state);
  EXPECT_EQ(first.GetCmd(0), second.GetCmd(4));
}

TEST(Cmd, SyntaxErrorFailsWithTheErrorLineAndRestoresTheCommandText) {
  cProbeCmd group("cCmd_Account");
  group.Create();
  cCmd::s_szCmd = "outer";
  CoutCapture out;
  EXPECT_FALSE(group.Do("ShowTop("));
  EXPECT_NE(out.Text().find("cCmd::Do error cmd cCmd_Account do ShowTop(\n"), std::string::npos);
  EXPECT_STREQ(cCmd::s_szCmd, "outer");
  EXPECT_EQ(group.GetRunCount(), 1);
  cCmd::s_szCmd = "";
}

TEST(Cmd, RunTimeErrorFailsAndSuccessSucceeds) {
  cProbeCmd group;
  group.Create();
  CoutCapture out;
  EXPECT_FALSE(group.Do("error('boom')"));
  EXPECT_FALSE(group.Do("NoSuchFunction()"));
  EXPECT_TRUE(group.Do("local a = 1 + 1"));
  EXPECT_EQ(group.GetRunCount(), 3);
}

TEST(Cmd, NestedCommandsSeeTheirOwnTextAndRestoreTheOuterOne) {
  cProbeCmd outer;
  cProbeCmd inner;
  outer.Create();
  inner.Create();
  g_seen.clear();
  // The outer command runs a command in the inner group through a native function.
  static cProbeCmd* s_inner = nullptr;
  s_inner = &inner;
  lua_register(outer.GetLua(), "RunInner", [](lua_State*) -> int {
    s_inner->Do("SeenCmd()");
    g_seen.push_back(cCmd::s_szCmd);
    return 0;
  });
  EXPECT_TRUE(outer.Do("SeenCmd() RunInner()"));
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[0], "SeenCmd() RunInner()");
  EXPECT_EQ(g_seen[1], "SeenCmd()");
  EXPECT_EQ(g_seen[2], "SeenCmd() RunInner()");
  EXPECT_STREQ(cCmd::s_szCmd, "");
  EXPECT_EQ(cCmd::CurCmdText(), "");
}

TEST(Cmd, ClearedGroupFailsButCountsTheCall) {
  cProbeCmd group;
  group.Create();
  group.Clear();
  EXPECT_EQ(group.GetLua(), nullptr);
  EXPECT_FALSE(group.Do("SeenCmd()"));
  EXPECT_EQ(group.GetRunCount(), 1);
  std::ostringstream report;
  group.ReportCmdDo(report);
  EXPECT_EQ(report.str(), "");
}

TEST(Cmd, RefusedCommandNeitherRunsNorCounts) {
  cRefusingCmd group;
  group.Create();
  g_seen.clear();
  EXPECT_FALSE(group.Do("SeenCmd()"));
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(group.GetRunCount(), 0);
}

TEST(Cmd, DirectModeRunsChunksAndSurvivesManyErrors) {
  cProbeCmd group;
  group.Create();
  group.SetDirect(true);
  CoutCapture out;
  for (int i = 0; i < 20000; ++i) ASSERT_FALSE(group.Do("x("));
  EXPECT_TRUE(group.Do("SeenCmd()"));
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(lua_gettop(group.GetLua()), 0);
}

TEST(Cmd, NativeFunctionArgumentErrorsAreLuaErrorsReportedByDo) {
  cCmdArray array;
  cProbeCmd group;
  array.AddCmdOutput(0, &group, nullptr);
  CoutCapture out;
  EXPECT_FALSE(group.Do("Output()"));
  EXPECT_FALSE(group.Do("Output({})"));
  EXPECT_TRUE(group.Do("Output('fine')"));
  EXPECT_NE(out.Text().find("cCmd::Do error cmd cCmd_Probe do Output()\n"), std::string::npos);
  EXPECT_NE(out.Text().find("Output() fine\n"), std::string::npos);
}

uint32_t g_fakeTick = 1000;
uint32_t FakeTick() {
  return g_fakeTick;
}

TEST(Cmd, RunTimeAddsTheMillisecondsEachCommandTook) {
  SetTimerFunctionTick(&FakeTick);
  cProbeCmd group;
  group.Create();
  luareg::def(group.GetLua(), "Advance", [](int ms) { g_fakeTick += ms; });
  EXPECT_TRUE(group.Do("Advance(40)"));
  EXPECT_TRUE(group.Do("Advance(25)"));
  group.Clear();
  g_fakeTick += 7;
  EXPECT_FALSE(group.Do("Advance(1)"));
  SetTimerFunctionTick(nullptr);
  EXPECT_EQ(group.GetRunTime(), 65u);
  EXPECT_EQ(group.GetRunCount(), 3);
}

TEST(Cmd, FindNameMatchesALeadingPartOfTheWordBehindThePrefix) {
  cProbeCmd group("cCmd_Account");
  EXPECT_TRUE(group.FindName("Acc"));
  EXPECT_TRUE(group.FindName("Account"));
  EXPECT_FALSE(group.FindName("account"));
  EXPECT_FALSE(group.FindName("cCmd_Account"));
  EXPECT_FALSE(group.FindName("count"));
  EXPECT_FALSE(group.FindName(""));
}

TEST(Cmd, ReportsWriteNameAndThousandsOfRunsAndMemory) {
  cProbeCmd group;
  group.Create();
  for (int i = 0; i < 2500; ++i) group.Do("local a = 1");
  std::ostringstream name;
  group.ReportCmdName(name);
  EXPECT_EQ(name.str(), "cCmd_Probe\t");
  std::ostringstream done;
  group.ReportCmdDo(done);
  const std::string text = done.str();
  EXPECT_EQ(text.rfind("do: 2 cost: ", 0), 0u) << text;
  EXPECT_NE(text.find(" mem("), std::string::npos);
  EXPECT_EQ(text.back(), '\t');
}

}  // namespace
