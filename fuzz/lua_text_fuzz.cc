// Any byte string, written as a long bracket or as a quoted literal, read back by Lua 5.1 is
// the same string (line ends in a long bracket as Lua reads them), and the chunk returns
// nothing but that string, so no byte of it can end the literal early and run as code.
#include "fuzz_kit.h"
#include "tessel/core/lua_text.h"

namespace {

void ReadsBack(lua_State* L, const std::string& literal, const std::string& want) {
  const std::string chunk = "return " + literal;
  size_t size = 0;
  const bool one = fuzzkit::Run(L, chunk) == 1 && lua_type(L, 1) == LUA_TSTRING;
  FUZZ_CHECK(one && std::string_view(lua_tolstring(L, 1, &size), size) == want, chunk, want);
  fuzzkit::Collect(L);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lua_State* L = luaL_newstate();
  const std::string text(reinterpret_cast<const char*>(data), size);
  ReadsBack(L, LuaLongBracket(text), fuzzkit::LongBracketLines(text));
  ReadsBack(L, LuaQuote(text), text);
  ReadsBack(L, "\"" + LuaEscape(text) + "\"", text);
  return 0;
}
