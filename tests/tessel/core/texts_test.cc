// The texts of commands: Lua literals, login calls and route calls.
#include <gtest/gtest.h>

#include <lua.hpp>
#include <memory>
#include <random>
#include <string>

#include "tessel/console/path_router.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/route_text.h"

namespace {

// The string value of `literal` as a fresh Lua 5.1 state reads it; "<no load>" when it does
// not run.
std::string ReadBack(const std::string& literal) {
  std::unique_ptr<lua_State, void (*)(lua_State*)> L{luaL_newstate(), lua_close};
  const std::string chunk = "return " + literal;
  if (luaL_loadstring(L.get(), chunk.c_str()) != 0 || lua_pcall(L.get(), 0, 1, 0) != 0)
    return "<no load>";
  std::size_t len = 0;
  const char* value = lua_tolstring(L.get(), -1, &len);
  return std::string(value != nullptr ? value : "", len);
}

// The usual long brackets unless the text holds (or ends in part of) their closing bracket;
// then the lowest level the text does not contain.
TEST(LuaText, ATextGetsTheLowestLongBracketLevelItCannotClose) {
  const std::pair<const char*, const char*> cases[] = {
      {"hello", "[[hello]]"},           {"a]b", "[[a]b]]"},     {"x]]y", "[=[x]]y]=]"},
      {"x]]y]=]z", "[==[x]]y]=]z]==]"}, {"a[[b", "[=[a[[b]=]"}, {"end]", "[=[end]]=]"},
      {"a]]b]=", "[==[a]]b]=]==]"}};
  for (const auto& [text, wrapped] : cases) EXPECT_EQ(wrapped, LuaLongBracket(text)) << text;
  // Lua reads every line end inside a long bracket as a line feed; a leading one is kept.
  EXPECT_EQ("\nreturn", ReadBack(LuaLongBracket("\rreturn")));
  EXPECT_EQ("\nx", ReadBack(LuaLongBracket("\r\nx")));
}

// Random texts of the characters that can end a quote or a bracket (a fixed seed): wrapped in
// long brackets (line ends aside) or quoted they read back unchanged, so output holding
// brackets can never run as code on the requester.
TEST(LuaText, EveryWrappedOrQuotedTextReadsBackUnchanged) {
  std::mt19937 rng(17);
  const std::string alphabet = "]]]]=[[-'\"\\\nxé";
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (size_t n = rng() % 24; n > 0; --n) text += alphabet[rng() % alphabet.size()];
    EXPECT_EQ(text, ReadBack(LuaLongBracket(text))) << text;
    if (round % 3 == 0) text += char(rng() % 256);
    EXPECT_EQ(text, ReadBack(LuaQuote(text))) << text;
  }
  std::string everyByte(1, '\0');
  for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
  EXPECT_EQ(everyByte + "1", ReadBack(LuaQuote(everyByte + "1")));
}

TEST(LoginText, OnlyOneLoginCallWithLiteralArgumentsIsRecognisedAndItsPasswordMasked) {
  stLoginCall call;
  ASSERT_TRUE(ParseLoginCall("Login('gm',\"pw\")", &call));
  EXPECT_EQ(call.name, "Login");
  EXPECT_EQ(call.args, (std::vector<std::string>{"'gm'", "\"pw\""}));
  EXPECT_TRUE(ParseLoginCall("\tLogined(-1, 2.5, 'game_220');  "));
  EXPECT_TRUE(ParseLoginCall("Logout()"));
  // An escaped quote stays inside the string, exactly as Lua reads it.
  EXPECT_TRUE(ParseLoginCall("Login('a\\'); os.exit() --','b')"));
  for (const char* refused :
       {"Login('a','b') Login('c','d')", "Login('a','b');;", "Login('a',b)", "Login('a'..'b')",
        "Login('a\nb')", "Login('a', 'b') --[[x]]", "Login 'a'", "Loginx('a')", "login('a')",
        "Login(1e5)", "Login(0x10)", "Login('a',)", "Login(", "Login('a'", "", "os.exit()",
        "Login('a\\\n')"})
    EXPECT_FALSE(ParseLoginCall(refused)) << refused;
  const std::pair<const char*, const char*> masked[] = {
      {"Login('gm','s3cret')", "Login('gm','******')"},
      {" Login( 'gm' , \"a much longer secret\" ) ;", "Login('gm','********')"},
      {"Logined(1,'game')", "Logined(1,'game')"},
      {"x() Login('gm','s3cret')", "x() Login(***)"}};
  for (const auto& [text, shown] : masked) EXPECT_EQ(MaskCmdText(text), shown);
}

using Names = std::vector<std::string>;

// Values that try to end their quote or bracket, or pass for a placeholder.
const char* const kNasty[] = {
    "plain",  "]=]",        "]]", "a]==]b", "it's", "say \"hi\"", "back\\slash",  "%2%",
    "%3% %1", "line\nnext", "[[", "",       "\n",   "tab\tend",   "]=])os.exit(",
};

std::vector<std::string> g_args;

int KeepArgs(lua_State* L) {
  for (int i = 1; i <= lua_gettop(L); ++i) {
    size_t length = 0;
    const char* text = lua_tolstring(L, i, &length);
    g_args.emplace_back(text != nullptr ? std::string(text, length) : "<nil>");
  }
  return 0;
}

// Runs `chunk` in a fresh Lua state whose SendPathCmd and FindPathOnRoute keep their arguments
// as texts.
std::vector<std::string> CallArgs(const std::string& chunk) {
  g_args.clear();
  lua_State* L = luaL_newstate();
  lua_register(L, "SendPathCmd", &KeepArgs);
  lua_register(L, "FindPathOnRoute", &KeepArgs);
  const bool ok = luaL_loadstring(L, chunk.c_str()) == 0 && lua_pcall(L, 0, 0, 0) == 0;
  lua_close(L);
  if (!ok) return {"<lua error>"};
  return g_args;
}

// Every value comes back exactly from a built call, a find call, a filled template and a way
// back (which names the hops in reverse and keeps the parameter; the answer fills in the rest,
// as an endpoint does when it sends output back).
TEST(RouteTextTest, EveryValueComesBackExactlyFromABuiltOrFilledCall) {
  const Names names = {"map", "game", "global"};
  auto expected = [](Names out, const std::string& value, int group) {
    out.insert(out.end(), {value, std::to_string(group), value});
    return out;
  };
  const std::string route = *RouteForStore(MakeRouteTemplate(names));
  for (const char* value : kNasty) {
    const std::string text = MakePathCall({{"map", value, "global"}, value, 4, value}, 5);
    EXPECT_EQ(CallArgs(text), expected({"map", value, "global"}, value, 4)) << text;
    EXPECT_EQ(RouteNames(text), (Names{"map", value, "global"})) << text;
    EXPECT_EQ(ReadHopMark(text), 5) << text;
    EXPECT_EQ(CallArgs(MakeFindCall({"map", value}, 2)), (Names{"map", value}));
    EXPECT_EQ(CallArgs(FillRoute(route, 1, value, value)), expected(names, value, 1)) << value;
    const std::string back = FillRoute(MakeReturnPath({names, value, 1, "Ver()"}), 7, value, "");
    EXPECT_EQ(CallArgs(back), expected({"global", "game", "map"}, value, 7)) << back;
  }
}

// A route is stored with a parameter placeholder; names are read before the parameter; only a
// hop mark at the very end counts.
TEST(RouteTextTest, StoredRoutesNamesAndHopMarksAreReadFromTheirPlace) {
  const std::pair<const char*, std::optional<std::string>> stored[] = {
      {"SendPathCmd('a','b','%3%',%1%,[=[%2%]=])", "SendPathCmd('a','b','%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd('a','b','',%1%,[=[%2%]=])", "SendPathCmd('a','b','%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd('a','b','p',%1%,[=[%2%]=])", "SendPathCmd('a','b','p%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd(a,b,%1%,[=[%2%]=])", std::nullopt},
      {"", std::nullopt}};
  for (const auto& [route, store] : stored) EXPECT_EQ(RouteForStore(route), store) << route;
  const std::pair<const char*, Names> names[] = {
      {" SendPathCmd( 'a' , \"b\" ,'p',1,'t')", {"a", "b"}},
      {"FindPathOnRoute('a','b')", {}},
      {"SendPathCmd('a", {}}};
  for (const auto& [route, hops] : names) EXPECT_EQ(RouteNames(route), hops) << route;
  const std::pair<const char*, int> marks[] = {{"SendPathCmd('a','b','',1,[[x]]) --hops=12\n", 12},
                                               {"SendPathCmd('a','b','',1,[[x --hops=9]])", 0},
                                               {"SendPathCmd('a','b','',1,[[x]]) --hops=", 0},
                                               {"SendPathCmd('a','b','',1,[[x]]) --hops=3x", 0}};
  for (const auto& [chunk, hops] : marks) EXPECT_EQ(ReadHopMark(chunk), hops) << chunk;
}

}  // namespace
