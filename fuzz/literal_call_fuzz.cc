// What the console client reads from a server: a text the literal reader accepts must, run by a
// real Lua 5.1 state in which every global is a recording function, make exactly the one call the
// reader saw: the same name, the same strings byte for byte, the same numbers.
#include <cstdio>

#include "fuzz_kit.h"
#include "tessel/core/literal_call.h"

namespace {

std::string s_calls;  // the calls Lua made, written as Written() writes the reader's

// Numbers compare by value: Lua keeps one constant for 0 and -0 (they are equal as table keys), so
// a chunk holding both reads the first for either, and -0 may come back as 0.
std::string Arg(bool number, double value, std::string_view text) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%.17g", value == 0 ? 0.0 : value);
  return number ? ",n" + std::string(digits)
                : ",s" + std::to_string(text.size()) + ":" + std::string(text);
}

std::string Written(const stLiteralCall& call) {
  std::string out = "|" + call.name;
  for (const stLiteral& arg : call.args) out += Arg(arg.isNumber, arg.number, arg.text);
  return out;
}

int Record(lua_State* L) {
  s_calls += std::string("|") + lua_tostring(L, lua_upvalueindex(1));
  for (int i = 1; i <= lua_gettop(L); ++i) {
    size_t size = 0;
    const bool number = lua_type(L, i) == LUA_TNUMBER;
    const char* text = number ? "" : lua_tolstring(L, i, &size);
    s_calls += Arg(number, lua_tonumber(L, i), std::string_view(text ? text : "", size));
  }
  return 0;
}

// Any global read is a recording function named after it.
int AnyName(lua_State* L) {
  lua_pushvalue(L, 2);
  lua_pushcclosure(L, &Record, 1);
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lua_State* L = [] {
    lua_State* L = luaL_newstate();
    fuzzkit::Confine(L, {});
    lua_newtable(L);
    lua_pushcfunction(L, &AnyName);
    lua_setfield(L, -2, "__index");
    lua_setmetatable(L, LUA_GLOBALSINDEX);
    return L;
  }();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  stLiteralCall call;
  if (!ParseLiteralCall(text, call)) return 0;
  s_calls.clear();
  const bool ran = fuzzkit::Run(L, text) >= 0;
  fuzzkit::Collect(L);
  // Lua may refuse what the reader takes, but only for its own limits (too many arguments).
  if (ran) FUZZ_CHECK(s_calls == Written(call), text, s_calls);
  return 0;
}
