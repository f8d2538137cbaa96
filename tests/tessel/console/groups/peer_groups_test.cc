// The standard groups as links meet them: every group lists the functions the system registered
// in it; what a link defines stays its own, also when it defers code that runs commands later.
#include <map>

#include "cmd_group_util.h"
#include "tessel/contracts/baselib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/console_bound.h"
#include "tessel/msg/output_buffer.h"
#include "testkit/fake_clock.h"
#include "testkit/file_text.h"

namespace {

constexpr auto npos = std::string::npos;

// Commands served for one link of an endpoint that lasts as long as this object.
struct cServedLink {
  std::string Serve(cCmd& group, int level, const std::string& text) {
    stBindMsg msg;
    msg.send = &link;
    testkit::cStdoutCapture out;
    {
      ostreamCmd::cServeScope serving(&msg, &bridge, level);
      group.Do(text.c_str());
    }
    return out.Text();
  }
  testkit::cBridgeDouble bridge;
  testkit::cRecordingLink link{9};
};

// A served command that prints in a loop leaves the process holding no more than the cap of
// output for its requester, and the requester is told how much was left out.
TEST_F(GroupTest, AServedCommandsOutputIsKeptUpToItsCap) {
  cServedLink peer;
  peer.Serve(cCmdConfig::Instance(), 13,
             "local s = string.rep('x', 1048576) for i = 1, 40 do ViewConfigString(s) end");
  std::size_t sent = 0;
  for (const std::string& record : peer.link.m_sent) sent += record.size();
  EXPECT_GT(sent, cOutputBuffer::kDefaultCap);
  EXPECT_LT(sent, cOutputBuffer::kDefaultCap + cOutputBuffer::kDefaultCap / 8);
  ASSERT_FALSE(peer.link.m_sent.empty());
  EXPECT_NE(peer.link.m_sent.back().find(" bytes left out (a served command keeps at most "), npos);
}

// Code a command left to run later runs each turn under a command's time limit: a runaway
// resume is stopped and reported, and the worker goes on; its errors keep to the console's bound,
// and links keep a bounded number of coroutines.
TEST_F(GroupTest, DeferredCodeIsStoppedAtTheTimeLimitWhenItResumes) {
  ManagerClock time;
  SetConfigValue("lua_time_limit", 1);
  cServedLink peer;
  peer.Serve(cCmdScript::Instance(), 11,
             "StartYield(function() Yield(10) local t = os.clock() "
             "while os.clock() - t < 3 do end end)");
  testkit::cStdoutCapture later;
  time.Step(20);
  SetConfigValue("lua_time_limit", 60);  // 10000 coroutines take a sanitizer under load 10 s
  EXPECT_TRUE(
      testkit::InOrder(later.Text(), {"StartYield error command time limit: stopped after 1 s"}));
  // A narrowed account's coroutines that all fail at one turn say so within the console's bound.
  {
    const cCmdRightsScope narrowed(std::make_shared<stCmdRights>());
    peer.Serve(cCmdScript::Instance(), 11,
               "for i = 1, 1000 do StartYield(function() Yield(10) error('x') end) end");
  }
  testkit::cStdoutCapture flood;
  cConsoleBound::Install();
  time.Step(20);
  EXPECT_LT(testkit::CountOf(flood.Text(), "StartYield error"), 500u);
  // Links' commands keep a bounded number of coroutines waiting, however many they start.
  const std::string started = peer.Serve(
      cCmdScript::Instance(), 11,
      "local n = 0 for i = 1, 20000 do if not pcall(StartYield, function() Yield(10) end) then "
      "break end n = n + 1 end print('started', n)");
  EXPECT_NE(started.find("started\t" + std::to_string(kMaxLinkCoroutines) + "\n"), npos);
  time.Step(20);
  // Rights merged at each level of coroutines started at once hold each rule set once (not 2^60).
  const cCmdRightsScope narrowed(
      std::make_shared<stCmdRights>(stCmdRights{"", "", "", {std::make_shared<cRightRules>()}}));
  const std::string deep =
      "function f(n) if n < 60 then StartYield(f, n + 1) else print(n) end end";
  EXPECT_NE(peer.Serve(cCmdScript::Instance(), 11, deep + " StartYield(f, 1)").find("60\n"), npos);
  SetConfigValue("lua_time_limit", 10);
}

// Functions() lists what each group registered, lower-case names and groups without help
// included, and none of Lua's builtins.
TEST_F(GroupTest, FunctionsListsEveryRegisteredFunctionOfEveryGroupAndNoBuiltin) {
  const std::map<unsigned, std::vector<const char*>> some = {
      {2, {"Login", "Logout", "Mark", "Output"}},
      {4, {"dos", "copy", "writefileindex", "Ver"}},
      {8, {"SafeCall"}},
      {11, {"StartYield", "ParseCmd", "add_appender_cout", "SetConfigValue"}},
      {14, {"add_appender_cout", "add_appender_file", "flush_log_cache", "Help"}},
  };
  for (const stStandardGroup& group : StandardGroups()) {
    SCOPED_TRACE(group.cmd->GetName());
    const std::string listed = " " + RunInGroup(*group.cmd, "Functions()").out;
    EXPECT_NE(listed.find(" Functions "), npos) << listed;
    for (const char* builtin : {"print", "pairs", "loadstring", "setfenv", "string", "_G"})
      EXPECT_EQ(listed.find(std::string(" ") + builtin + " "), npos) << builtin;
    if (some.count(group.level) == 0) continue;
    for (const char* name : some.at(group.level))
      EXPECT_NE(listed.find(std::string(" ") + name + " "), npos) << name;
  }
}

// A link's redefinitions of the login group, made directly or by code it leaves to run later,
// never reach the group's own functions; code left by a link that is gone runs no command.
TEST_F(GroupTest, ALinksRedefinitionsAndDeferredCommandsStayItsOwn) {
  ManagerClock time;
  const std::string steal = "function(a, p) print('stolen ' .. p) end";
  cCmd& login = cCmdLogin::Instance();
  cCmd& script = cCmdScript::Instance();
  cServedLink low;
  low.Serve(login, 2, "Login = " + steal);
  low.Serve(login, 2, "_G.Logout = " + steal);
  low.Serve(script, 11,
            "StartYield(function() Yield(10) ParseCmd([[/2/Login = " + steal +
                "]]) ParseCmd([[/13/ViewConfigValue('deferred_ran')]]) end)");
  {
    cServedLink gone;
    gone.Serve(
        script, 11,
        "StartYield(function() Yield(10) ParseCmd([[/13/ViewConfigValue('gone_ran')]]) end)");
  }
  testkit::cStdoutCapture later;
  time.Step(20);
  EXPECT_NE(later.Text().find("deferred_ran = 0"), npos) << later.Text();
  EXPECT_EQ(later.Text().find("gone_ran = 0"), npos) << later.Text();
  // The group's own functions refuse a call typed on the console.
  for (const char* call : {"Login('op','pw')", "Logout()"}) {
    const stGroupRun run = RunInGroup(login, call);
    EXPECT_NE(run.out.find("can not solve local cmd"), npos) << run.out;
  }
}

// Kick takes the rights of what the account's commands left to run later, and so does a reload
// of a file setting the level of an account not logged in to 0, or finding its file gone: its
// next call is refused, as for an account granted nothing, and the code it deferred goes no
// further.
TEST_F(GroupTest, CodeAKickedOrLevelZeroAccountLeftToRunLaterIsRefusedItsNextCall) {
  ManagerClock time;
  cServedLink link;
  for (const std::string name : {"yo", "lo", "go"}) {
    auto rights = std::make_shared<stCmdRights>();
    rights->account = name;
    rights->origin = name + "@groups_test";
    rights->rules.push_back(std::make_shared<cRightRules>());
    cCmdRightsScope served(rights);
    link.Serve(cCmdScript::Instance(), 11,
               "StartYield(function() for i = 1, 3 do Yield(10) SetConfigValue('" + name +
                   "_test', i) end end)");
  }
  time.Step(20);
  EXPECT_EQ(GetConfigValue("yo_test", 0), 1);
  EXPECT_NE(RunInGroup(cCmdAccount::Instance(), "Kick('yo')").out.find("func_Kick yo 0"), npos);
  // A name's controls reach the requester escaped: they forge no line of their own.
  EXPECT_NE(RunInGroup(cCmdAccount::Instance(), "Kick('a\\27[2J\\nfunc_Kick b')")
                .out.find("func_Kick a\\x1B[2J\\x0Afunc_Kick b 0\n"),
            npos);
  m_dir.account("lo", "pw", 0);
  EXPECT_NE(RunInGroup(cCmdAccount::Instance(), "ReloadAccounts()").out.find("ok"), npos);
  testkit::cStdoutCapture later;
  time.Step(20);
  time.Step(20);
  for (const std::string name : {"yo", "lo", "go"}) {
    EXPECT_EQ(GetConfigValue((name + "_test").c_str(), 0), 1);
    EXPECT_TRUE(
        testkit::InOrder(later.Text(), {"refused: " + name + " may not run SetConfigValue"}));
  }
}

// AddAlias tells a link's requester an alias it could not save (the alias folder is a file).
TEST_F(GroupTest, AddAliasTellsARequesterTheAliasWasNotSaved) {
  m_dir.write("alias", "");
  const std::vector<std::string> sent = Served(cCmdInput::Instance(), 3, "AddAlias('v','V()')");
  EXPECT_NE(sent.empty() ? npos : sent[0].find("AddAlias not saved: "), npos);
}

}  // namespace
