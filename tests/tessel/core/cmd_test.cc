#include "tessel/core/cmd.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>
#include <vector>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd_array.h"
#include "tessel/timers/timer_function.h"
#include "testkit/stdout_capture.h"

namespace {

std::vector<std::string> g_seen;
uint32_t g_tick = 1000;
uint32_t FakeTick() {
  return g_tick;
}

// A group whose SeenCmd() records the running command text; it counts its bindings and may
// refuse every command.
class cProbeCmd : public cCmd {
 public:
  explicit cProbeCmd(const char* name = "cCmd_Probe", bool refuse = false)
      : m_name(name), m_refuse(refuse) {}
  void bind_cln(lua_State* L) override {
    ++m_binds;
    luareg::def(L, "SeenCmd", [] { g_seen.push_back(cCmd::s_szCmd); });
    luareg::def(L, "Advance", [](int ms) { g_tick += ms; });
  }
  bool CanDo(const char*) override { return !m_refuse; }
  const char* GetName() override { return m_name; }
  int m_binds = 0;

 private:
  const char* m_name;
  bool m_refuse;
};

TEST(Cmd, OneGroupSharedByTwoArraysIsBoundOnce) {
  cProbeCmd group;
  cCmdArray first, second;
  first.AddCmd(0, &group);
  lua_State* state = group.GetLua();
  second.AddCmd(4, &group);
  EXPECT_EQ(group.m_binds, 1);
  EXPECT_EQ(group.GetLua(), state);
}

// Every run counts, and adds the milliseconds it took; a refused one neither runs nor counts.
TEST(Cmd, FailuresAreReportedCountedAndRestoreTheOuterCommandText) {
  SetTimerFunctionTick(&FakeTick);
  cProbeCmd group("cCmd_Account");
  group.Create();
  cCmd::s_szCmd = "outer";
  testkit::cStdoutCapture out;
  EXPECT_FALSE(group.Do("ShowTop("));
  EXPECT_NE(out.Text().find("cCmd::Do error cmd cCmd_Account do ShowTop(\n"), std::string::npos);
  EXPECT_STREQ(cCmd::s_szCmd, "outer");
  cCmd::s_szCmd = "";
  EXPECT_FALSE(group.Do("error('boom')"));
  EXPECT_TRUE(group.Do("Advance(40) Advance(25)"));
  EXPECT_EQ(group.GetRunCount(), 3);
  EXPECT_EQ(group.GetRunTime(), 65u);
  group.Clear();
  EXPECT_FALSE(group.Do("SeenCmd()"));
  EXPECT_EQ(group.GetRunCount(), 4);
  SetTimerFunctionTick(nullptr);

  cProbeCmd refusing("cCmd_No", true);
  refusing.Create();
  g_seen.clear();
  EXPECT_FALSE(refusing.Do("SeenCmd()"));
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(refusing.GetRunCount(), 0);
}

TEST(Cmd, NestedCommandsSeeTheirOwnTextAndRestoreTheOuterOne) {
  cProbeCmd outer, inner;
  outer.Create();
  inner.Create();
  g_seen.clear();
  luareg::def(outer.GetLua(), "RunInner", [&inner] {
    inner.Do("SeenCmd()");
    g_seen.push_back(cCmd::s_szCmd);
  });
  EXPECT_TRUE(outer.Do("SeenCmd() RunInner()"));
  EXPECT_EQ(g_seen, (std::vector<std::string>{"SeenCmd() RunInner()", "SeenCmd()",
                                              "SeenCmd() RunInner()"}));
  EXPECT_EQ(cCmd::CurCmdText(), "");
}

TEST(Cmd, DirectModeRunsChunksAndSurvivesManyErrors) {
  cProbeCmd group;
  group.Create();
  group.SetDirect(true);
  testkit::cStdoutCapture out;
  for (int i = 0; i < 20000; ++i) ASSERT_FALSE(group.Do("x("));
  EXPECT_TRUE(group.Do("SeenCmd()"));
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(lua_gettop(group.GetLua()), 0);
}

TEST(Cmd, FindNameMatchesALeadingPartOfTheWordBehindThePrefix) {
  cProbeCmd group("cCmd_Account");
  for (const char* name : {"Acc", "Account"}) EXPECT_TRUE(group.FindName(name)) << name;
  for (const char* name : {"account", "cCmd_Account", "count", ""})
    EXPECT_FALSE(group.FindName(name)) << name;
}

}  // namespace
