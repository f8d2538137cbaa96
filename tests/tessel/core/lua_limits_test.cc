#include "tessel/core/lua_limits.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <lua.hpp>
#include <string>

#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "testkit/fake_clock.h"
#include "testkit/group_run_fixture.h"

namespace {

// A group whose commands run under the limits set for the test; the defaults come back after.
class LuaLimits : public testkit::cGroupRunTest {};

struct ScriptTimer : iTimerObjEx {
  unsigned long OnTimer(unsigned long) override {
    return lua.DoString("n = (n or 0) + 1 while 1 do end");
  }
  KLuaScript lua{"timed"};
};

// A runaway chunk ends with the time-limit error, also when it catches errors itself or runs in
// a coroutine; the group runs its next command as before.
TEST_F(LuaLimits, ACommandPastItsTimeIsStoppedEvenWhenItCatchesTheError) {
  SetConfigValue("lua_time_limit", 1);
  for (const char* runaway :
       {"while true do end", "while true do pcall(function() while true do end end) end",
        "while true do pcall(coroutine.wrap(function() while true do end end)) end"}) {
    SCOPED_TRACE(runaway);
    EXPECT_TRUE(Fails(runaway));
    EXPECT_TRUE(Run("done = (done or 0) + 1"));
  }
  // A script state a stopped line ran in checks at its usual pace at its next call.
  KLuaScript paced("paced");
  luareg::def(group_.GetLua(), "InScript",
              [&paced](const char* text) { return paced.DoString(text) == 0; });
  EXPECT_FALSE(Run("InScript('while 1 do end')"));
  EXPECT_TRUE(Run("assert(InScript('x = 1'))")) << said_;
  EXPECT_GT(lua_gethookcount(paced.GetLua()), 1);
  // So is script code a timer runs where no command runs, as a command of its own.
  ScriptTimer timer;
  ManagerClock time;
  timer.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 1);
  for (int i = 0; i < 2; ++i) time.Step(10);
  EXPECT_EQ(timer.lua.DoString("assert(n == 2)"), 0);
}

// Lua searches patterns in C, where the hook never runs: a search that backtracks without end
// is stopped at the time limit, one that nests too deep is refused instead of overflowing the
// stack, and searches that end give Lua's own results, as functions and as methods.
TEST_F(LuaLimits, PatternSearchesAreBoundedAndKeepTheirResults) {
  // gmatch's iterator searches at each call, in whatever command calls it.
  SetConfigValue("lua_time_limit", 0);
  ASSERT_TRUE(Run("later = ('a'):rep(20000):gmatch('a-a-a-a-b')"));
  SetConfigValue("lua_time_limit", 1);
  // Long needles, classes and captures cost a step per byte they compare; a replacement is read
  // at each match.
  for (const char* runaway :
       {"later()", "('a'):rep(100):gsub('(x*)', ('%1'):rep(2 ^ 24))",
        "('a'):rep(1e5):gsub('(x*)', ('%1'):rep(1e6))", "('a'):rep(2 ^ 24):gsub('', tonumber)",
        "local t = {} for i = 1, 98 do t = setmetatable({}, {__index = t}) end "
        "('a'):rep(2 ^ 24):gsub('', t)",
        "string.find(string.rep('a', 20000), 'a-a-a-a-b')",
        "pcall(string.gsub, string.rep('a', 20000), 'a*a*a*a*b', '')",
        "for w in ('a'):rep(20000):gmatch('a-a-a-a-b') do end",
        "string.find(('a'):rep(2 ^ 24), ('a'):rep(2 ^ 23) .. 'b', 1, true)",
        "string.find(('a'):rep(2 ^ 22), '[' .. ('b'):rep(2 ^ 22) .. ']')"}) {
    SCOPED_TRACE(runaway);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(Fails(runaway));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  }
  EXPECT_TRUE(Fails("string.find(string.rep('a', 300000), string.rep('a?', 300000) .. 'b')",
                    "pattern too complex"));
  EXPECT_TRUE(
      Run("local s = string.rep('ab', 5000) "
          "assert(select(2, s:gsub('(a)(b)', '%2%1')) == 5000) "
          "assert(s:find('b-a', 2) == 2) "
          "assert(select(2, s:find('^a.-b$')) == 10000) "
          "assert(s:match('(a*)()b', 9999) == 'a') "
          "local n = 0 for a, b in s:gmatch('(a)(b)') do n = n + 1 end assert(n == 5000) "
          "assert(s:find('ba', 1, true) == 2) "
          "assert(('12'):rep(5000):gsub('(%d)(%d)', math.max) == ('2'):rep(5000)) "
          "assert(s:gsub('a', tonumber) == s) "
          "assert(('abcab'):gsub('%a', {a = 'x', c = false}) == 'xbcxb') "
          "assert(('ab'):gsub('()', {[1] = '<', [3] = '>'}) == '<ab>') "
          "assert(not pcall(string.gsub, s, 'b', {b = {}}))"))
      << said_;
}

// The hook counts instructions and a call of a library function is one: a loop of calls that
// each run long in C stops at the time limit, not minutes later; string.rep of an empty
// result answers at once; the functions still name themselves in their argument errors.
TEST_F(LuaLimits, LoopsOfLongLibraryCallsStopAtTheTimeLimit) {
  SetConfigValue("lua_time_limit", 1);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(Run("for i = 1, 3 do assert(string.rep('', 2 ^ 31 - 1) == '') end")) << said_;
  EXPECT_TRUE(Fails("local s = ('x'):rep(2 ^ 20) for i = 1, 600 do s:rep(16) end"));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
  // One sort of long strings compares in C for hours; the order and errors are Lua's.
  const auto sorting = std::chrono::steady_clock::now();
  EXPECT_TRUE(
      Fails("local s, t = ('a'):rep(2 ^ 24), {} for i = 1, 3e4 do t[i] = s end table.sort(t)"));
  EXPECT_LT(std::chrono::steady_clock::now() - sorting, std::chrono::seconds(20));
  EXPECT_TRUE(Run("local t = {'b', 'c', 'a'} table.sort(t) assert(table.concat(t) == 'abc')"));
  EXPECT_TRUE(Fails("table.sort({{}, {}})", "attempt to compare two table values"));
  // So does one join of many numbers, each made a string (with no cap to be refused at first);
  // the text and errors are Lua's.
  SetConfigValue("lua_memory_limit", 0);
  EXPECT_TRUE(Fails("local t = {} for i = 1, 4e6 do t[i] = i end table.concat(t, ',')"));
  EXPECT_TRUE(Run("collectgarbage()"));
  SetConfigValue("lua_memory_limit", 128);
  SetConfigValue("lua_time_limit", 10);  // a join that ends: a sanitizer under load takes seconds
  EXPECT_TRUE(
      Fails("local t, n = {}, -1 for i = 1, 4e4 do t[i], n = i, n + #tostring(i) + 1 end "
            "local s = table.concat(t, '-', 2) assert(#s == n - 2 and s:sub(1, 4) == '2-3-') "
            "assert(s:find('-16384-16385-16386-', 1, true) and s:sub(-6) == '-40000') "
            "t[30000] = {} table.concat(t)",
            "invalid value (table) at index 30000 in table for 'concat'"));
  EXPECT_TRUE(Fails("table.insert(nil, 1)", "bad argument #1 to 'insert'"));
}

// Lua turns the hook off while a finaliser runs: one that loops stops at the time limit, when a
// command collects it and when the collection after a command refused memory does; a finaliser
// that ends runs as before.
TEST_F(LuaLimits, AFinaliserThatLoopsStopsAtTheTimeLimit) {
  SetConfigValue("lua_time_limit", 1);
  SetConfigValue("lua_memory_limit", 4);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(
      Run("p = newproxy(true) getmetatable(p).__gc = function(u) done = type(u) end "
          "p = nil collectgarbage() assert(done == 'userdata')"))
      << said_;
  const std::string loop =
      "p = newproxy(true) getmetatable(p).__gc = function() while 1 do end end ";
  EXPECT_TRUE(Fails(loop + "p = nil collectgarbage()"));
  EXPECT_TRUE(Fails("collectgarbage('stop') " + loop + "p = nil local s = ('x'):rep(2 ^ 24)",
                    "not enough memory"));
  EXPECT_TRUE(Run("collectgarbage('restart')")) << said_;
  // So do those stored again or by rawset, or in the files' metatable; the metatable's fields
  // work as before.
  EXPECT_TRUE(
      Fails("local m = getmetatable(io.stdout) local gc = m.__gc "
            "m.__gc = function() m.__gc = gc while 1 do end end io.open('/dev/null') "
            "collectgarbage()"));
  EXPECT_TRUE(Run("assert(getmetatable(io.stdout).__index.write == io.stdout.write)")) << said_;
  for (const char* set : {"m.__gc = function() end m.__gc = f", "rawset(m, '__gc', f)"}) {
    SCOPED_TRACE(set);
    EXPECT_TRUE(Fails(std::string("local p, f = newproxy(true), function() while 1 do end end "
                                  "local m = getmetatable(p) ") +
                      set + " p = nil collectgarbage()"));
  }
  EXPECT_TRUE(
      Run("local p = newproxy(true) local m = getmetatable(p) m.__index = {x = 5} "
          "assert(p.x == 5 and m.__metatable == nil and rawset(m, '__len', 1) == m) "
          "m.__metatable = 'locked' assert(getmetatable(p) == 'locked')"))
      << said_;
  // Finalisers that collect, each running the next inside it, nest no deeper than Lua allows.
  EXPECT_TRUE(
      Fails("for i = 1, 2000 do getmetatable(newproxy(true)).__gc = function() "
            "collectgarbage() end end collectgarbage()",
            "C stack overflow"));
  // The guard all proxies share is no code's to change.
  EXPECT_FALSE(Run("setmetatable(getmetatable(newproxy(true)), nil)"));
  EXPECT_TRUE(Run("assert(getmetatable(getmetatable(newproxy(true))) == false)")) << said_;
  EXPECT_TRUE(Run("local p = newproxy(true) assert(getmetatable(newproxy(p)) == getmetatable(p))"))
      << said_;
  EXPECT_TRUE(
      Fails("newproxy(io.stdout)", "bad argument #1 to 'newproxy' (boolean or proxy expected)"));
  // Those left when the state is closed (at the end, at a reload) keep to it too.
  EXPECT_TRUE(Run(loop)) << said_;
  group_.Clear();
  // So do those of a base library's script state (the script manager's, the command script's).
  EXPECT_EQ(KLuaScript("gc").DoString(loop.c_str()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
}

// Memory past the cap is refused while a command runs, with a note naming the limit; what the
// state held is still there and usable afterwards, and a raised cap holds at the next command.
TEST_F(LuaLimits, AStateIsRefusedMemoryPastItsCapAndGoesOnWithWhatItHas) {
  SetConfigValue("lua_memory_limit", 4);
  ASSERT_TRUE(Run("kept = string.rep('k', 1024)"));
  // A coroutine refused there (code a timer resumes) holds its garbage until it is let go, after
  // its turn: the next command still runs.
  lua_State* co = lua_newthread(group_.GetLua());
  const int ref = luaL_ref(group_.GetLua(), LUA_REGISTRYINDEX);
  ASSERT_EQ(luaL_loadstring(co, "local l for i = 1, 1e8 do l = {l} end"), 0);
  {
    const cLuaCommandLimit turn(co);
    EXPECT_EQ(lua_resume(co, 0), LUA_ERRMEM);
  }
  luaL_unref(group_.GetLua(), LUA_REGISTRYINDEX, ref);
  EXPECT_TRUE(Run("assert(#(kept .. kept) == 2048)")) << said_;
  for (const char* greedy :
       {"s = string.rep('x', 8 * 1024 * 1024)", "t = {} for i = 1, 10000000 do t[i] = i end",
        "local l for i = 1, 1e8 do l = {l} end"}) {
    SCOPED_TRACE(greedy);
    EXPECT_TRUE(Fails(greedy, "not enough memory (the group's Lua state may hold 4 MiB"));
    // The garbage the refused command left up to the cap does not refuse the next one.
    EXPECT_TRUE(Run("assert(#kept == 1024)")) << said_;
  }
  EXPECT_TRUE(Run("t = nil collectgarbage() assert(#kept == 1024)"));
  // A native function's text refused there leaves nothing of it (nor of its arguments) behind.
  luareg::def(group_.GetLua(), "Twice", [](const std::string& s) { return s + s; });
  const size_t held = mallinfo2().uordblks;
  EXPECT_TRUE(
      Run("local big, t = ('x'):rep(2 ^ 20), {} pcall(function() while 1 do t[#t + 1] = {} "
          "end end) for i = 1, 200 do assert(not pcall(Twice, big)) end"))
      << said_;
  EXPECT_LT(mallinfo2().uordblks, held + (64u << 20));
  EXPECT_TRUE(Run("assert(Twice('ab') == 'abab')")) << said_;
  // A changed limit holds from the next command on.
  SetConfigValue("lua_memory_limit", 64);
  EXPECT_TRUE(Run("s = string.rep('x', 8 * 1024 * 1024) s = nil"));
  // Garbage a command left (here 9 of 16 MiB) does not get the next one refused.
  SetConfigValue("lua_memory_limit", 16);
  EXPECT_TRUE(Run("local t = {} for i = 1, 9 do t[i] = ('x'):rep(2 ^ 20 + i) end collectgarbage()"))
      << said_;
  EXPECT_TRUE(Run("local u = {} for i = 1, 6 do u[i] = ('y'):rep(2 ^ 20 + i) end")) << said_;
  // A failed collection of such garbage (a finaliser past the time limit) is named as it is.
  testing::internal::CaptureStderr();
  const bool made =  // under the fixture's limit: a sanitizer under load takes seconds for it
      Run("collectgarbage() collectgarbage('stop') getmetatable(newproxy(true)).__gc = "
          "function() while 1 do end end t = {} for i = 1, 9 do t[i] = ('z'):rep(2 ^ 20 + i) "
          "end t = nil");
  SetConfigValue("lua_time_limit", 1);
  EXPECT_TRUE(made && Run("for i = 1, 1e5 do end x = 1"));  // with the whole time
  EXPECT_NE(testing::internal::GetCapturedStderr().find("the garbage the commands before left"),
            std::string::npos);
}

// A script state (the script manager's, the command script's) keeps to the same cap, in a call
// of its own (a timer's, a link's callback), in one a group's command makes (RunScriptString) and
// in the texts handed in; refused, it goes on with what it held, however deep states nest.
TEST_F(LuaLimits, AScriptStateIsRefusedMemoryPastTheCapAsAGroupsStateIs) {
  SetConfigValue("lua_memory_limit", 16);
  KLuaScript script("capped"), other("other");
  testkit::cStdoutCapture out;
  ASSERT_EQ(script.DoString("kept = ('k'):rep(1024) x = {1, 2, 3, 4}"), 0);
  luareg::def(group_.GetLua(), "InScript",
              [&](const char* text) { return !script.DoString(text); });
  for (const char* greedy :
       {"s = ('x'):rep(2 ^ 30)", "local l for i = 1, 1e8 do l = {l} end",
        "local s = ('x'):rep(6 * 2 ^ 20) f = loadstring('return \"' .. s .. '\"')",
        "local s, t = ('x'):rep(2 ^ 20), {} for i = 1, 20 do t[i] = s end s = table.concat(t)"}) {
    EXPECT_NE(script.DoString(greedy), 0) << greedy;
    EXPECT_TRUE(Run(std::string("assert(not InScript[[") + greedy + "]])")) << said_;
    EXPECT_EQ(script.DoString("assert(#kept == 1024 and not s and not f)"), 0);
  }
  // So is a text whose compiling alone takes more (24 MiB of code that never runs), an archive's
  // script or the command script's text in its command.
  std::string wide;
  for (int i = 0; i < 25 * 60000; ++i) wide += i % 60000 ? "x=x " : "end if false then ";
  wide = wide.substr(4) + " end";
  EXPECT_NE(script.DoBuffer(wide, "wide"), 0);
  EXPECT_NE((cLuaCommandLimit(script.GetLua()), script.DoCmd(wide.c_str())), 0);
  for (char c : std::string("1234"))
    script.DoString(("x[" + std::string(1, c) + "]=[[" + std::string(6 << 20, c) + "]]").c_str());
  EXPECT_EQ(script.DoString("assert(collectgarbage('count') < 16 * 1024)"), 0);
  for (auto [from, to] : {std::pair{&script, &other}, std::pair{&other, &script}}) {
    luareg::def(from->GetLua(), "Other", [to](const char* text) { return !to->DoString(text); });
    from->DoString(
        "function f(n) y = n > 0 and Other('f(' .. n - 1 .. ')') or ('y'):rep(2 ^ 26) end");
  }
  script.DoString("f(300)");
  EXPECT_EQ(script.DoString("assert(not y)") + other.DoString("assert(not y)"), 0);
  for (const char* said :
       {"not enough memory (a script's Lua state may hold 16 MiB",
        "DoBuffer error capped not enough memory (a script's",
        "DoCmd error capped not enough memory (a script's", "script call refused: 256 commands"})
    EXPECT_NE(out.Text().find(said), std::string::npos) << said;
}

}  // namespace
