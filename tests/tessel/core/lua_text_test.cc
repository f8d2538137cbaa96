#include "tessel/core/lua_text.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <memory>
#include <string>

namespace {

// A real Lua 5.1 state in which texts are read back.
class LuaText : public ::testing::Test {
 protected:
  // The string value of `literal` as Lua reads it; fails the test when it does not load.
  std::string ReadBack(const std::string& literal) {
    const std::string chunk = "return " + literal;
    if (luaL_loadstring(L.get(), chunk.c_str()) != 0 || lua_pcall(L.get(), 0, 1, 0) != 0) {
      ADD_FAILURE() << "does not run: " << chunk << " : " << lua_tostring(L.get(), -1);
      lua_settop(L.get(), 0);
      return {};
    }
    std::size_t len = 0;
    const char* value = lua_tolstring(L.get(), -1, &len);
    std::string result(value != nullptr ? value : "", len);
    lua_settop(L.get(), 0);
    return result;
  }

  std::unique_ptr<lua_State, void (*)(lua_State*)> L{luaL_newstate(), lua_close};
};

// The usual long brackets unless the text holds (or ends in part of) their closing bracket;
// then the lowest level the text does not contain.
TEST_F(LuaText, ATextGetsTheLowestLongBracketLevelItCannotClose) {
  const std::pair<const char*, const char*> cases[] = {
      {"hello", "[[hello]]"},
      {"", "[[]]"},
      {"a]b", "[[a]b]]"},
      {"x]]y", "[=[x]]y]=]"},
      {"x]]y]=]z", "[==[x]]y]=]z]==]"},
      {"a[[b", "[=[a[[b]=]"},
      {"end]", "[=[end]]=]"},
      {"a]]b]=", "[==[a]]b]=]==]"},
  };
  for (const auto& [text, wrapped] : cases) EXPECT_EQ(wrapped, LuaLongBracket(text)) << text;
}

TEST_F(LuaText, EveryWrappedTextReadsBackUnchanged) {
  const std::string texts[] = {"",           "plain",       "]]",    "]=]",          "]]]=]]==]",
                               "[[nested]]", "]",           "]=",    "a]==]b]]c]=]", "[=[ x ]=]",
                               "\nleading",  "\n\nlines\n", "tab\t", "中文 输出 ]]", "--[[ x ]]",
                               "'quote\"\\", "trailing\n"};
  for (const std::string& text : texts) {
    EXPECT_EQ(text, ReadBack(LuaLongBracket(text))) << "text: " << text;
  }
  // Lua reads every line end inside a long bracket as a line feed; a leading one is kept.
  EXPECT_EQ("\nreturn", ReadBack(LuaLongBracket("\rreturn")));
  EXPECT_EQ("\nx", ReadBack(LuaLongBracket("\r\nx")));
}

TEST_F(LuaText, OutputHoldingBracketsCannotRunAsCodeOnTheRequester) {
  lua_pushnil(L.get());
  lua_setglobal(L.get(), "injected");
  for (const std::string text : {"done]]) injected = 1 --", "done]=]) injected = 2 --",
                                 "x]]..(function() injected = 3 end)()..[["}) {
    const std::string call = "received = " + LuaLongBracket(text);
    ASSERT_EQ(0, luaL_dostring(L.get(), call.c_str())) << call;
    lua_getglobal(L.get(), "received");
    EXPECT_EQ(text, lua_tostring(L.get(), -1));
    lua_getglobal(L.get(), "injected");
    EXPECT_TRUE(lua_isnil(L.get(), -1)) << "ran code from: " << text;
    lua_settop(L.get(), 0);
  }
}

TEST_F(LuaText, EscapedTextsReadBackUnchangedBetweenSingleQuotes) {
  std::string everyByte;
  for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
  everyByte += std::string(1, '\0') + "1";
  const std::string texts[] = {"", "it's", "a\\'b", "x\ny\rz", "\\", "'", "end\\", everyByte};
  for (const std::string& text : texts) {
    EXPECT_EQ(text, ReadBack(LuaQuote(text))) << "text: " << text;
  }
  EXPECT_EQ("it\\'s", LuaEscape("it's"));
  EXPECT_EQ("'a\\nb'", LuaQuote("a\nb"));
  EXPECT_EQ("\\0001", LuaEscape(std::string("\0"
                                            "1",
                                            2)));
}

}  // namespace
