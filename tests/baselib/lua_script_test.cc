#include "tessel/contracts/baselib.h"

#include <gtest/gtest.h>

namespace {

std::string TopString(lua_State* L) {
  const char* s = lua_tostring(L, -1);
  return s != nullptr ? s : "";
}

// Every way of running text gives the Lua code of its failure and leaves a clean stack; only
// DoString1 leaves the chunk's results.
TEST(KLuaScriptTest, RunningTextReportsTheLuaCodeAndLeavesACleanStack) {
  KLuaScript script("test");
  lua_State* L = script.GetLua();
  const std::pair<int, const char*> cases[] = {
      {0, "x = 40 + 2"}, {LUA_ERRSYNTAX, "x = "}, {LUA_ERRRUN, "error('boom')"}};
  for (const auto& [code, text] : cases) {
    EXPECT_EQ(script.DoString(text), code) << text;
    EXPECT_EQ(lua_dostring(L, text, "cCmd_Test"), code) << text;
    EXPECT_EQ(script.DoCmd(text), code) << text;
    EXPECT_EQ(lua_gettop(L), 0) << text;
  }
  EXPECT_EQ(lua_dostring(L, "error('x')", nullptr), LUA_ERRRUN);
  EXPECT_EQ(script.DoString("return 1, 2"), 0);
  EXPECT_EQ(lua_gettop(L), 0);
  EXPECT_EQ(script.DoString1("return x + 1, 'two'"), 0);
  ASSERT_EQ(lua_gettop(L), 2);
  EXPECT_EQ(TopString(L), "two");
  EXPECT_EQ(lua_tonumber(L, 1), 43);
}

// Call takes the pushed arguments, with or without the function pushed below them; every
// failure leaves the stack clean.
TEST(KLuaScriptTest, CallTakesThePushedArgumentsWithOrWithoutThePushedFunction) {
  KLuaScript script;
  lua_State* L = script.GetLua();
  ASSERT_EQ(script.DoString("function Cat(a, b) return a .. b, 7 end"), 0);
  lua_pushstring(L, "a");
  lua_pushstring(L, "b");
  EXPECT_EQ(script.Call("Cat", 2, 1), 1);
  EXPECT_EQ(TopString(L), "ab");
  lua_settop(L, 0);
  lua_getglobal(L, "Cat");
  lua_pushstring(L, "c");
  lua_pushnumber(L, 5);
  EXPECT_EQ(script.Call("Cat", 2, LUA_MULTRET), 2);
  EXPECT_EQ(lua_gettop(L), 2);
  lua_settop(L, 0);
  lua_pushnumber(L, 1);
  EXPECT_EQ(script.Call("Missing", 1, 0), -1);
  lua_pushnil(L);
  EXPECT_EQ(script.Call("Cat", 1, 0), -1);  // concatenating nil fails inside
  EXPECT_EQ(lua_gettop(L), 0);
  EXPECT_EQ(script.Call("Cat", 3, 0), -1);  // more arguments than the stack holds
}

int One(lua_State* L) {
  lua_pushnumber(L, 1);
  return 1;
}

TEST(RegisterScriptTest, RegistersEntriesUpToTheEmptyName) {
  KLuaScript script;
  Tlua_Funcs table[] = {{"One", &One}, {"Uno", &One}, {"", nullptr}, {"Never", &One}};
  EXPECT_EQ(RegisterScript(script.GetLua(), table), 2);
  EXPECT_EQ(script.DoString("assert(One() + Uno() == 2)"), 0);
  EXPECT_NE(script.DoString("Never()"), 0);
}

}  // namespace
