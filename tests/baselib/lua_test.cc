#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"

namespace {

// Runs a chunk; "" on success, else the Lua error message.
std::string Exec(lua_State* L, const char* code) {
  if (luaL_loadstring(L, code) == 0 && lua_pcall(L, 0, 0, 0) == 0) return "";
  std::string msg = lua_tostring(L, -1);
  lua_pop(L, 1);
  return msg;
}
std::string Global(lua_State* L, const char* name) {
  lua_getglobal(L, name);
  std::string v = lua_isnil(L, -1) ? "nil" : lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
  lua_pop(L, 1);
  return v;
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

// Parameters convert by type (numbers and numeric strings stand for each other); wrong,
// missing and out-of-range arguments are Lua errors naming the argument and the native
// function is never called with a converted-but-wrong value; a native exception becomes a
// Lua error.
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
  EXPECT_EQ(Exec(L, "a = Byte(255) b = Big(-2^53) r = Add(1, 2, 'extra ignored')"), "");
  EXPECT_EQ(Global(L, "a") + " " + Global(L, "b") + " " + Global(L, "r"),
            "255 -9.007199254741e+15 3");
}

// Results are pushed by type (a null text as nil); raw functions and the state parameter pass
// through; a lambda's capture lives exactly as long as its state; RegisterScript stops at the
// empty name.
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
                   "s = Maybe(true) n = Maybe(false) j = Join('a', 1) a = Raw(1, 2, 3) "
                   "b = RawPtr() c = TakesState(10) Bump(2) d = Bump(3) e = One() + Uno(1)"),
              "");
    const std::pair<const char*, const char*> globals[] = {{"s", "text"}, {"n", "nil"}, {"j", "a1"},
                                                           {"a", "3"},    {"b", "0"},   {"c", "11"},
                                                           {"d", "5"},    {"e", "1"}};
    for (const auto& [name, value] : globals) EXPECT_EQ(Global(L, name), value) << name;
    EXPECT_NE(Exec(L, "Never()"), "");
  }
  EXPECT_EQ(counter.use_count(), 1);
}

}  // namespace
