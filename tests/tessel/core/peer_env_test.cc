#include "tessel/core/peer_env.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <string>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd.h"
#include "tessel/core/cmd_array.h"
#include "tessel/core/cmd_rights.h"
#include "testkit/file_text.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

using Texts = std::vector<std::string>;
Texts g_logins, g_leaked, g_failed;

// A group whose Login keeps the password it was given; Leak is what an attack would send a
// password to; Check notes a failed check by name; DropMe drops the link being served.
struct cTrapCmd : cCmd {
  void bind_cln(lua_State* L) override {
    luareg::def(L, "Login",
                [](const char*, const char* password) { g_logins.push_back(password); });
    luareg::def(L, "Leak", [](const char* text) { g_leaked.push_back(text); });
    luareg::def(L, "Check", [](const char* name, bool ok) {
      if (!ok) g_failed.push_back(name);
    });
    luareg::def(L, "DropMe", [] { cCmd::DropPeerEnv(cPeerEnvScope::Current()->Key()); });
    luareg::def(L, "Admin", [] { RequireCmdRight("Admin", eCmdRight::kAdmin); });
    // A system function that takes the place of a builtin.
    luareg::def(L, "print", [](const char* text) { g_leaked.push_back(std::string("p:") + text); });
    luareg::def(L, "lower_case", [] {});
  }
  const char* GetName() override { return "cCmd_Trap"; }
};

const int kEndpoint = 0;
const stPeerKey kA{&kEndpoint, 1}, kB{&kEndpoint, 2};

bool RunAs(cCmd& group, const stPeerKey* key, const std::string& text) {
  testkit::cStdoutCapture quiet;
  if (key == nullptr) return group.Do(text.c_str());
  cPeerEnvScope scope(*key);
  return group.Do(text.c_str());
}

// Every entry of the tables a peer must not change: the globals, the library tables, the
// module table, the string and file metatables and the console's table "shared", one text each.
Texts SharedTables(lua_State* L) {
  Texts out;
  auto walk = [&](const std::string& name) {
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
      lua_pushvalue(L, -2);
      const char* text = lua_tostring(L, -1);
      const std::string key = text != nullptr ? text : luaL_typename(L, -1);
      lua_pop(L, 1);
      const std::string value = lua_isstring(L, -1) ? lua_tostring(L, -1) : "";
      out.push_back(name + "." + key + "=" + luaL_typename(L, -1) + ":" +
                    std::to_string(reinterpret_cast<uintptr_t>(lua_topointer(L, -1))) + value);
      lua_pop(L, 1);
    }
    lua_pop(L, 1);
  };
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  walk("_G");
  for (const char* lib :
       {"string", "table", "math", "os", "io", "coroutine", "package", "shared"}) {
    lua_getglobal(L, lib);
    walk(lib);
  }
  for (const char* part : {"loaded", "loaders", "preload"}) {
    lua_getglobal(L, "package");
    lua_getfield(L, -1, part);
    lua_remove(L, -2);
    walk(std::string("package.") + part);
  }
  lua_pushliteral(L, "");
  lua_getmetatable(L, -1);
  lua_remove(L, -2);
  walk("string metatable");
  luaL_getmetatable(L, LUA_FILEHANDLE);
  walk("file metatable");
  lua_getfield(L, LUA_REGISTRYINDEX, "_LOADED");
  walk("_LOADED");
  return out;
}

// What the console and link B still get after an attack of link A: the group's Login, the
// libraries as they were, and B keeps its own values. A collection runs first, so that a
// finaliser A left would run inside the console's command.
const char* const kConsoleCanary =
    "collectgarbage() Login('op', 'console') Helper()('op', 'helper') print('x') "
    "Check('format', string.format('%d', 7) == '7') Check('upper', ('x'):upper() == 'X') "
    "Check('concat', table.concat({'a', 'b'}) == 'ab') Check('tostring', tostring(1) == '1') "
    "Check('wrap', coroutine.wrap(function() return 5 end)() == 5)";
const char* const kPeerCanary =
    "Login('op', 'peer b') Check('b mine', mine == 1) Check('b shared', shared.f() == 1) "
    "Check('b format', string.format('%d', 7) == '7') Check('b upper', ('x'):upper() == 'X')";

// Each row is an attempt of link A to reach the group's globals, the shared library tables or
// link B's environment. After each: the shared tables are exactly as before, the console's and
// B's Login calls reach the group's Login, A's own too, and nothing was leaked.
TEST(PeerEnv, NoAttemptOfALinkReachesTheGroupsGlobalsTheLibrariesOrAnotherLink) {
  const char* const kLeak = "function(a, p) Leak(p) end";
  const std::string attempts[] = {
      std::string("Login = ") + kLeak,
      std::string("_G.Login = ") + kLeak,
      std::string("rawset(_G, 'Login', ") + kLeak + ")",
      std::string("pcall(rawset, _G, 'Login', ") + kLeak + ")",
      std::string("getfenv(Login).Login = ") + kLeak,
      std::string("getfenv(0).Login = ") + kLeak,
      std::string("getfenv(Helper).Login = ") + kLeak,
      std::string("rawset(getfenv(print), 'Login', ") + kLeak + ")",
      std::string("setfenv(Helper, {Login = ") + kLeak + "})",
      "setfenv(0, {})",
      std::string("loadstring('Login = ") + kLeak + "')()",
      std::string("loadstring('getfenv(0).Login = ") + kLeak + "')()",
      std::string("load(function() if not done then done = 1 return 'Login = ") + kLeak +
          "' end end)()",
      std::string("coroutine.wrap(function() getfenv(0).Login = ") + kLeak + " end)()",
      std::string("coroutine.wrap(function() loadstring('Login = ") + kLeak + "')() end)()",
      std::string("package.loaded._G.Login = ") + kLeak,
      std::string("require('_G').Login = ") + kLeak,
      std::string("local m = {} package.seeall(m) getmetatable(m).__index.Login = ") + kLeak,
      std::string("package.loaders[1] = nil package.loaded.string.format = ") + kLeak,
      std::string("string.format = ") + kLeak,
      std::string("table.concat = ") + kLeak,
      std::string("coroutine.wrap = ") + kLeak,
      std::string("getmetatable('').__index.upper = ") + kLeak,
      std::string("rawset(getmetatable('').__index, 'upper', ") + kLeak + ")",
      std::string("setmetatable(_G, {__index = ") + kLeak + "})",
      std::string("debug.getregistry()._LOADED._G.Login = ") + kLeak,
      std::string("debug.setmetatable('', {__index = ") + kLeak + "})",
      std::string("module('x', package.seeall) Login = ") + kLeak,
      std::string("getmetatable(newproxy(true)).__gc = ") + kLeak,
      std::string("local m = io.stdout.__index m.__gc = ") + kLeak + " m.flush = " + kLeak,
      std::string("print = ") + kLeak,
      std::string("rawset(_G, 'print', ") + kLeak + ")",
      "getfenv(shared.f).mine = 2",
      "setfenv(shared.f, {mine = 2})",
      "loadstring(string.dump(function() Login = nil end))()",
  };
  cTrapCmd group;
  group.Create();
  lua_State* L = group.GetLua();
  ASSERT_TRUE(RunAs(group, nullptr, "function Helper() return Login end shared = {}"));
  ASSERT_TRUE(RunAs(group, &kB, "mine = 1 function shared.f() return mine end"));
  const Texts before = SharedTables(L);
  for (const std::string& attempt : attempts) {
    SCOPED_TRACE(attempt);
    g_logins.clear(), g_leaked.clear(), g_failed.clear();
    RunAs(group, &kA, attempt);
    EXPECT_EQ(SharedTables(L), before);
    EXPECT_TRUE(RunAs(group, nullptr, kConsoleCanary));
    EXPECT_TRUE(RunAs(group, &kB, kPeerCanary));
    EXPECT_TRUE(RunAs(group, &kA, "Login('op', 'peer a')"));
    EXPECT_EQ(g_logins, (Texts{"console", "helper", "peer b", "peer a"}));
    EXPECT_EQ(g_leaked, Texts{"p:x"});
    EXPECT_EQ(g_failed, Texts{});
  }
}

// The collector is the state's: a link may run it and read it, but not stop or slow it for
// every other link and the console.
TEST(PeerEnv, ALinkRunsTheCollectorButCannotStopIt) {
  cTrapCmd group;
  group.Create();
  EXPECT_TRUE(RunAs(group, &kA, "collectgarbage() assert(collectgarbage('count') > 0)"));
  for (const char* option : {"stop", "setpause", "setstepmul"}) {
    SCOPED_TRACE(option);
    EXPECT_FALSE(RunAs(group, &kA, std::string("collectgarbage('") + option + "', 1000000)"));
  }
  EXPECT_TRUE(RunAs(group, nullptr,
                    "local before = collectgarbage('count') "
                    "for i = 1, 100000 do local t = {} end "
                    "assert(collectgarbage('count') < before + 1024)"));
}

// A link's definitions stay its own from one command to the next; the console and other links
// never see them; a drop (also in the middle of the link's own command) forgets them once that
// command ends, so the next command of the same key starts afresh.
TEST(PeerEnv, ALinksDefinitionsLastUntilItsEnvironmentIsDropped) {
  cTrapCmd group;
  group.Create();
  ASSERT_TRUE(RunAs(group, &kA, "mine = 'a' function Mine() return mine end"));
  EXPECT_TRUE(RunAs(group, &kA, "assert(Mine() == 'a')"));
  EXPECT_TRUE(RunAs(group, &kB, "assert(mine == nil) assert(Mine == nil)"));
  EXPECT_TRUE(RunAs(group, nullptr, "assert(mine == nil)"));
  EXPECT_EQ(group.PeerEnvCount(), 2u);

  EXPECT_TRUE(RunAs(group, &kA, "DropMe() assert(Mine() == 'a')"));
  EXPECT_EQ(group.PeerEnvCount(), 1u);
  EXPECT_TRUE(RunAs(group, &kA, "assert(mine == nil)"));
  cCmd::DropPeerEnvs(&kEndpoint);
  EXPECT_EQ(group.PeerEnvCount(), 0u);
  EXPECT_TRUE(RunAs(group, &kB, "assert(mine == nil)"));
}

// Origins a process link names keep a bounded number of environments: the least recently used
// goes, said once; the links' own and a recent origin's stay. Code each origin left to run
// later that ended keeps no token of it.
TEST(PeerEnv, OriginsKeepABoundedNumberOfEnvironments) {
  cTrapCmd group;
  group.Create();
  RegisterFunc_Yield(group.GetLua());
  const stPeerKey kept{&kEndpoint, 3, "kept@p"}, gone{&kEndpoint, 3, "o1@p"};
  ASSERT_TRUE(RunAs(group, &kA, "mine = 'a'") && RunAs(group, &kept, "mine = 'o'"));
  testkit::cStdoutCapture capture;
  for (size_t i = 1; i < cPeerEnvs::kMaxOrigins + 50; ++i) {
    {
      const cPeerEnvScope scope({&kEndpoint, 3, "o" + std::to_string(i) + "@p"});
      ASSERT_TRUE(group.Do("mine = 1 StartYield(function() end)"));
    }
    ASSERT_TRUE(i % 100 != 0 || RunAs(group, &kept, "assert(mine == 'o')"));
  }
  EXPECT_EQ(group.PeerEnvCount(), cPeerEnvs::kMaxOrigins + 1);
  EXPECT_LT(cPeerEnvs::DeferTokenCount(), 200u);
  EXPECT_EQ(testkit::CountOf(capture.Text(), "peer environments: a group keeps"), 1u);
  EXPECT_TRUE(RunAs(group, &kA, "assert(mine == 'a')") && RunAs(group, &gone, "assert(not mine)"));
}

// A function a link stores in a table of the console (a method, a metatable's, a wrapped
// coroutine, one given a table of its own) answers to that link's rights wherever it is called:
// neither the console nor an account with every right runs a builtin the link may not run, nor
// passes a check of a right the function makes itself.
TEST(PeerEnv, AFunctionALinkStoresWhereOthersCallItKeepsTheLinksRights) {
  cTrapCmd group;
  group.Create();
  testkit::cTempDir dir;
  const std::string touch = "'touch " + (dir.path() / "marker").string() + "'";
  const std::string shell = "os.execute(" + touch + ")";
  auto narrow = std::make_shared<stCmdRights>(), full = std::make_shared<stCmdRights>();
  std::string error;
  ASSERT_TRUE(CmdRightsFromText("planter\nplanter@p\n*\n-@shell,@admin\n@\n", *narrow, error) &&
              CmdRightsFromText("ops\nops@p\n", *full, error));
  // A function of the console's, which a link may run in a coroutine of its own.
  ASSERT_TRUE(RunAs(group, nullptr,
                    "shared = {call = function(f, ...) return f(...) end, "
                    "m = function(self, f, ...) return f(...) end}"));
  const std::string plants[] = {
      "shared.g = function() Check('g', true) end shared.f = function() return " + shell + " end",
      "setmetatable(shared, {__index = function() " + shell + " end}) shared.f = nil",
      "shared.f = coroutine.wrap(function() " + shell + " end)",
      "shared.f = setfenv(function() " + shell + " end, {os = os})",
      "shared.f = function() Admin() end",
      "shared.f = function() coroutine.wrap(shared.call)(os.execute, " + touch + ") end",
      // A tail call to a Lua function (the console's) takes the place of the link's frame.
      "shared.f = function() return shared.call(os.execute, " + touch + ") end",
      "shared.f = function(...) return shared:m(os.execute, " + touch + ", ...) end",
      "shared.f = loadstring([[return shared.call(os.execute, " + touch + ")]])",
  };
  for (const std::string& plant : plants) {
    SCOPED_TRACE(plant);
    {
      const cCmdRightsScope scope(narrow);
      ASSERT_TRUE(RunAs(group, &kA, plant));
    }
    EXPECT_FALSE(RunAs(group, nullptr, "shared.f()"));
    const cCmdRightsScope scope(full);
    EXPECT_FALSE(RunAs(group, &kB, "shared.f()"));
  }
  // A C function stored as a metamethod runs from the frame of whoever uses the table.
  {
    const cCmdRightsScope scope(narrow);
    ASSERT_TRUE(RunAs(group, &kA, "shared.t = setmetatable({}, {__concat = os.execute})"));
  }
  EXPECT_FALSE(RunAs(group, nullptr, "local x = " + touch + " .. shared.t"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "marker"));
  // What the link may run itself runs, called by anyone, until its account is kicked.
  EXPECT_TRUE(RunAs(group, nullptr, "shared.g()"));
  RevokeDeferredRights("planter");
  EXPECT_FALSE(RunAs(group, nullptr, "shared.g()"));
  // A link's code without tail calls means the same; the console's keeps them.
  const std::string tail =
      "local function t(n, ...) if n > 0 then return t(n - 1, ...) end return ... end "
      "Check('results', select('#', t(3, 1, nil, 3)) == 3 and select(3, t(3, 1, nil)) == nil "
      "and not pcall(function() return error('e') end)) t(30000)";
  EXPECT_TRUE(RunAs(group, nullptr, tail));
  EXPECT_FALSE(RunAs(group, &kA, tail));
  EXPECT_TRUE(RunAs(group, nullptr, tail));
  EXPECT_EQ(g_failed, Texts{});
  // Below 200 levels a link's code may hide: a deeper stack runs no function of the group.
  EXPECT_FALSE(RunAs(group, nullptr,
                     "local function d(n) if n > 0 then return (d(n - 1)) end Check('d', true) "
                     "end d(250)"));
}

// The group's table holds what its binding set, a builtin it replaced included, and the
// array's Output; no Lua builtin. A link can set a builtin's name only where the group did not
// register it.
TEST(PeerEnv, TheGroupsTableHoldsItsRegisteredFunctionsAndNoBuiltin) {
  cTrapCmd group;
  cCmdArray array;
  array.AddCmdOutput(3, &group, nullptr);
  EXPECT_EQ(group.FunctionNames(),
            (Texts{"Admin", "Check", "DropMe", "Leak", "Login", "Output", "lower_case", "print"}));
  EXPECT_FALSE(RunAs(group, &kA, "lower_case = 1"));
  EXPECT_TRUE(RunAs(group, &kA, "tostring = 1"));
  EXPECT_TRUE(RunAs(group, nullptr, "assert(type(tostring) == 'function')"));
  group.Clear();
  EXPECT_EQ(group.FunctionNames(), Texts{});
}

// A text run again reuses its compiled chunk. Each run has the environment of whoever runs it
// now, also after a run that set another or ran for a link; a run of the same text nested
// inside it (here for another link) leaves the outer run's environment alone; a full cache
// starts again.
struct cNestCmd : cCmd {
  void bind_cln(lua_State* L) override {
    luareg::def(L, "Inner", [this] {
      if (nested++ > 0) return;
      cPeerEnvScope other(kB);
      Do(kNestText);
    });
    luareg::def(L, "Leak", [](const char* text) { g_leaked.push_back(text); });
  }
  const char* GetName() override { return "cCmd_Nest"; }
  static constexpr const char* kNestText = "v = (v or 0) + 1 Inner() w = v";
  int nested = 0;
};

TEST(PeerEnv, AKeptChunkRunsInTheEnvironmentOfItsRunnerEachTime) {
  cNestCmd group;
  group.Create();
  const stPeerKey* const runners[] = {nullptr, &kA, nullptr, &kB, nullptr};
  for (const stPeerKey* key : runners) ASSERT_TRUE(RunAs(group, key, "n = (n or 0) + 1"));
  const std::string reset =
      "if not done then done = true setfenv(1, {}) end seen = (seen or 0) + 1";
  ASSERT_TRUE(RunAs(group, nullptr, reset));
  ASSERT_TRUE(RunAs(group, nullptr, reset));
  g_leaked.clear();
  ASSERT_TRUE(RunAs(group, nullptr, "Leak(n .. ' ' .. seen)"));
  EXPECT_EQ(g_leaked, Texts{"3 1"});
  // The first text twice: as the console's and as the links' (compiled without tail calls).
  EXPECT_EQ(group.KeptChunks(), 4u);

  ASSERT_TRUE(RunAs(group, &kA, cNestCmd::kNestText));
  ASSERT_TRUE(RunAs(group, &kA, "Leak(tostring(w))"));
  ASSERT_TRUE(RunAs(group, &kB, "Leak(tostring(w))"));
  ASSERT_TRUE(RunAs(group, nullptr, "Leak(tostring(w))"));
  EXPECT_EQ(g_leaked, (Texts{"3 1", "1", "1", "nil"}));
  // A link that kept its chunk (setfenv hands it back) and calls it later sets no global.
  ASSERT_TRUE(RunAs(group, &kA, "if ... then w = 'kept' else K = setfenv(1, getfenv(1)) end"));
  RunAs(group, &kA, "K(1)");
  ASSERT_TRUE(RunAs(group, nullptr, "Leak(tostring(w))"));
  EXPECT_EQ(g_leaked.back(), "nil");

  for (int i = 0; i <= static_cast<int>(cChunkCache::kMostChunks); ++i)
    ASSERT_TRUE(RunAs(group, nullptr, "k = " + std::to_string(i)));
  EXPECT_LE(group.KeptChunks(), cChunkCache::kMostChunks);
  ASSERT_TRUE(RunAs(group, nullptr, "Leak(k)"));
  EXPECT_EQ(g_leaked.back(), std::to_string(cChunkCache::kMostChunks));
}

}  // namespace
