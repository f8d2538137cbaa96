#include "tessel/contracts/lua_register.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace {

struct LuaState {
  LuaState() : L(luaL_newstate()) { luaL_openlibs(L); }
  ~LuaState() {
    if (L != nullptr) lua_close(L);
  }
  // Runs a chunk; "" on success, else the Lua error message.
  std::string Run(const char* code) {
    if (luaL_loadstring(L, code) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
      std::string msg = lua_tostring(L, -1);
      lua_pop(L, 1);
      return msg;
    }
    return "";
  }
  std::string Global(const char* name) {
    lua_getglobal(L, name);
    std::string v = lua_isnil(L, -1) ? "nil" : lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
    lua_pop(L, 1);
    return v;
  }
  lua_State* L;
};

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
void Throws(const std::string&) {
  throw std::runtime_error("native failure");
}
int Raw(lua_State* L) {
  lua_pushinteger(L, lua_gettop(L));
  return 1;
}
int TakesState(lua_State* L, int v) {
  return v + lua_gettop(L);
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0;
    g_seen.clear();
  }
  LuaState lua;
};

TEST_F(RegistrationTest, ConvertsEachParameterTypeFromLua) {
  luareg::def<&Record>(lua.L, "Record");
  EXPECT_EQ(lua.Run("Record(-7, 42, true, 2.5, 'abc', 'x\\0y')"), "");
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_seen, std::string("-7|42|T|2.500000|abc|x\0y", 24));
  // Numbers stand for strings, numeric strings for numbers, numbers for booleans.
  EXPECT_EQ(lua.Run("Record('3', 4.9, 0, '1e1', 5, 6)"), "");
  EXPECT_EQ(g_seen, "3|4|F|10.000000|5|6");
}

// Wrong, missing and out-of-range arguments are Lua errors naming the argument; the native
// function is never called with a converted-but-wrong value.
TEST_F(RegistrationTest, BadArgumentsAreLuaErrorsAndTheFunctionIsNotCalled) {
  luareg::def<&Record>(lua.L, "Record");
  luareg::def<&Add>(lua.L, "Add");
  luareg::def(lua.L, "Byte", [](unsigned char v) { return v; });
  const std::pair<const char*, const char*> cases[] = {
      {"Record('x', 1, true, 1, 'a', 'b')",
       "bad argument #1 to 'Record' (number expected, got string)"},
      {"Record(1, 1, 'yes', 1, 'a', 'b')", "#3"},
      {"Record(1, 1, true, 1, {}, 'b')", "string expected, got table"},
      {"Add(1)", "bad argument #2 to 'Add' (number expected, got no value)"},
      {"Record(1, -1, true, 1, 'a', 'b')", "out of range"},
      {"Record(3e9, 1, true, 1, 'a', 'b')", "out of range"},
      {"Record(0/0, 1, true, 1, 'a', 'b')", "out of range"},
      {"Byte(256)", "out of range"}};
  for (const auto& [code, error] : cases) {
    EXPECT_NE(lua.Run(code).find(error), std::string::npos) << code;
  }
  EXPECT_EQ(g_calls, 0);
  luareg::def(lua.L, "Big", [](long long v) { return v; });
  EXPECT_EQ(lua.Run("a = Byte(255) b = Big(-2^53) r = Add(1, 2, 'extra ignored')"), "");
  EXPECT_EQ(lua.Global("a"), "255");
  EXPECT_EQ(lua.Global("b"), "-9.007199254741e+15");
  EXPECT_EQ(lua.Global("r"), "3");
}

// Results are pushed by type (a null text as nil); raw functions and the state parameter pass
// through untouched.
TEST_F(RegistrationTest, ResultsArePushedByTypeAndRawFunctionsPassThrough) {
  luareg::def(lua.L, "Maybe", [](bool some) { return some ? "text" : nullptr; });
  luareg::def(lua.L, "Join", [](std::string_view a, std::string b) { return std::string(a) + b; });
  luareg::def(lua.L, "Not", [](bool b) { return !b; });
  luareg::def<&Raw>(lua.L, "Raw");
  luareg::def(lua.L, "RawPtr", &Raw);
  luareg::def<&TakesState>(lua.L, "TakesState");
  EXPECT_EQ(lua.Run("s = Maybe(true) n = Maybe(false) j = Join('a', 1) t = tostring(Not(false)) "
                    "a = Raw(1, 2, 3) b = RawPtr() c = TakesState(10)"),
            "");
  const std::pair<const char*, const char*> globals[] = {
      {"s", "text"}, {"n", "nil"}, {"j", "a1"}, {"t", "true"}, {"a", "3"}, {"b", "0"}, {"c", "11"}};
  for (const auto& [name, value] : globals) EXPECT_EQ(lua.Global(name), value) << name;
}

TEST_F(RegistrationTest, NativeExceptionBecomesALuaErrorWithItsMessage) {
  luareg::def<&Throws>(lua.L, "Throws");
  EXPECT_NE(lua.Run("Throws(string.rep('long text ', 10))").find("native failure"),
            std::string::npos);
  EXPECT_EQ(lua.Run("ok = tostring(pcall(Throws, 'a'))"), "");
  EXPECT_EQ(lua.Global("ok"), "false");
}

TEST_F(RegistrationTest, LambdaCaptureLivesAsLongAsTheStateAndIsDestroyedWithIt) {
  auto counter = std::make_shared<int>(0);
  {
    LuaState own;
    luareg::def(own.L, "Bump", [counter](int by) { return *counter += by; });
    EXPECT_EQ(counter.use_count(), 2);
    EXPECT_EQ(own.Run("Bump(2) r = Bump(3)"), "");
    EXPECT_EQ(own.Global("r"), "5");
  }
  EXPECT_EQ(counter.use_count(), 1);
  EXPECT_EQ(*counter, 5);
}

}  // namespace
