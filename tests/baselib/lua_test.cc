#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"

namespace {

// Runs a chunk; its result as text ("" when none), else the Lua error message.
std::string Exec(lua_State* L, const char* code) {
  if (luaL_loadstring(L, code) == 0) lua_pcall(L, 0, 1, 0);
  std::string out = lua_tostring(L, -1) ? lua_tostring(L, -1) : "";
  lua_pop(L, 1);
  return out;
}

int g_calls = 0;
std::string g_seen;
void Record(int i, unsigned u, bool b, double d, const char* s, const std::string& t) {
  ++g_calls;
  g_seen = std::to_string(i) + "|" + std::to_string(u) + "|" + (b ? "T" : "F") + "|" +
           std::to_string(d) + "|" + s + "|" + t;
}
int Add(int a, int b) {
  return a + b;
}
int Raw(lua_State* L) {
  lua_pushinteger(L, lua_gettop(L));
  return 1;
}

// Numbers and numeric strings stand for each other; a wrong, missing or out-of-range argument
// (or a native exception) is a Lua error, and never reaches the native function converted.
TEST(Registration, ArgumentsConvertByTypeAndBadOnesAreLuaErrors) {
  KLuaScript lua;
  lua_State* L = lua.GetLua();
  luareg::def<&Record>(L, "Record");
  luareg::def<&Add>(L, "Add");
  luareg::def(L, "Byte", [](unsigned char v) { return v; });
  luareg::def(L, "Big", [](long long v) { return v; });
  luareg::def(L, "Throws", [](const std::string&) { throw std::runtime_error("native failure"); });
  const std::pair<const char*, const char*> cases[] = {
      {"Record('x', 1, true, 1, 'a', 'b')",
       "bad argument #1 to 'Record' (number expected, got string)"},
      {"Record(1, 1, 'yes', 1, 'a', 'b')", "#3"},
      {"Record(1, 1, true, 1, {}, 'b')", "string expected, got table"},
      {"Add(1)", "bad argument #2 to 'Add' (number expected, got no value)"},
      {"Record(1, -1, true, 1, 'a', 'b')", "out of range"},
      {"Record(3e9, 1, true, 1, 'a', 'b')", "out of range"},
      {"Record(0/0, 1, true, 1, 'a', 'b')", "out of range"},
      {"Byte(256)", "out of range"},
      {"Throws(string.rep('long text ', 10))", "native failure"}};
  for (const auto& [code, error] : cases)
    EXPECT_NE(Exec(L, code).find(error), std::string::npos) << code;
  EXPECT_EQ(g_calls, 0);
  EXPECT_EQ(Exec(L, "Record(-7, 42, true, 2.5, 'abc', 'x\\0y')"), "");
  EXPECT_EQ(g_seen, std::string("-7|42|T|2.500000|abc|x\0y", 24));
  EXPECT_EQ(Exec(L, "Record('3', 4.9, 0, '1e1', 5, 6)"), "");
  EXPECT_EQ(g_seen, "3|4|F|10.000000|5|6");
  EXPECT_EQ(Exec(L, "return Byte(255) .. ' ' .. Big(-2^53) .. ' ' .. Add(1, 2, 'extra ignored')"),
            "255 -9.007199254741e+15 3");
}

// A null text comes back as nil; a lambda's capture lives exactly as long as its state;
// RegisterScript stops at the empty name.
TEST(Registration, ResultsArePushedByTypeAndCapturesDieWithTheirState) {
  auto counter = std::make_shared<int>(0);
  {
    KLuaScript lua;
    lua_State* L = lua.GetLua();
    luareg::def(L, "Maybe", [](bool some) { return some ? "text" : nullptr; });
    luareg::def(L, "Join", [](std::string_view a, std::string b) { return std::string(a) + b; });
    luareg::def<&Raw>(L, "Raw");
    luareg::def(L, "RawPtr", &Raw);
    luareg::def(L, "TakesState", [](lua_State* S, int v) { return v + lua_gettop(S); });
    luareg::def(L, "Bump", [counter](int by) { return *counter += by; });
    Tlua_Funcs table[] = {{"One", &Raw}, {"Uno", &Raw}, {"", nullptr}, {"Never", &Raw}};
    EXPECT_EQ(RegisterScript(L, table), 2);
    EXPECT_EQ(counter.use_count(), 2);
    EXPECT_EQ(Exec(L,
                   "Bump(2) return table.concat({Maybe(true), tostring(Maybe(false)), Join('a', "
                   "1), Raw(1, 2, 3), RawPtr(), TakesState(10), Bump(3), One() + Uno(1)}, ' ')"),
              "text nil a1 3 0 11 5 1");
    EXPECT_NE(Exec(L, "Never()"), "");  // not registered
  }
  EXPECT_EQ(counter.use_count(), 1);
}

}  // namespace

namespace {

// Whatever way a text or a file reaches Lua, a precompiled chunk (here a real one, made by
// string.dump) is refused with the same message and never runs; source still loads everywhere.
TEST(LuaSource, EveryLoaderRefusesPrecompiledChunks) {
  testkit::cTempDir home{testkit::cTempDir::kWorkDir};
  KLuaScript lua("src");
  lua_State* L = lua.GetLua();
  ASSERT_EQ(luaL_dostring(L, "return string.dump(function() ran = (ran or 0) + 1 end)"), 0);
  size_t size = 0;
  const char* bytes = lua_tolstring(L, -1, &size);
  const std::string dumped(bytes, size);
  ASSERT_EQ(dumped.substr(0, 4), "\x1bLua");
  for (const char* name : {"dumped.lua", "mod.lua"}) home.write(name, dumped);
  home.write("hashed.lua", "\xEF\xBB\xBF#!/bin/lua\n" + dumped);
  home.write("source.lua", "\xEF\xBB\xBF#!/bin/lua\r\nreturn 2");
  const std::string refused = "precompiled chunk refused";
  const std::vector<std::function<int()>> feeds = {
      [&] { return lua.DoBuffer(dumped, "buffer"); }, [&] { return lua.DoFile("dumped.lua"); },
      [&] { return lua.DoString("\x1b[A"); }, [&] { return lua.DoCmd("\x1bLua"); },
      [&] { return lua_dostring(L, "\x1b", "line"); }};
  for (size_t i = 0; i < feeds.size(); ++i) {
    testkit::cStdoutCapture out;
    EXPECT_NE(feeds[i](), 0) << i;
    EXPECT_NE(out.Text().find(refused), std::string::npos) << i << out.Text();
  }
  lua_setglobal(L, "bytes");
  const std::string tries =
      "for i, try in ipairs({"
      "  function() return loadstring(bytes) end,"
      "  function() local n = 0 return load(function() n = n + 1"
      "    return n == 1 and bytes or nil end) end,"
      "  function() return loadfile('dumped.lua') end,"
      "  function() return loadfile('hashed.lua') end,"
      "  function() return pcall(dofile, 'dumped.lua') end,"
      "  function() return pcall(require, 'mod') end}) do"
      "  local f, err = try()"
      "  if f or not string.find(err, '" +
      refused +
      "') then return i .. ' ' .. tostring(err) end "
      "end "
      "return tostring(ran) .. dofile('source.lua') .. loadstring('return 3')()";
  EXPECT_EQ(Exec(L, tries.c_str()), "nil23");
  // A pipe in a file's place is refused at once, naming it; nothing waits for a writer.
  for (const char* name : {"pipe.lua", "pmod.lua"}) ASSERT_EQ(::mkfifo(name, 0600), 0);
  const std::string piped =
      Exec(L, "return select(2, loadfile('pipe.lua')) .. select(2, pcall(require, 'pmod'))");
  for (const char* said : {"pipe.lua is no regular file", "pmod.lua is no regular file"})
    EXPECT_NE(piped.find(said), std::string::npos) << piped;
}

}  // namespace
