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

using Names = std::vector<std::string>;

// The arguments, as texts, `chunk` gives SendPathCmd and FindPathOnRoute in a fresh Lua state.
Names CallArgs(const std::string& chunk) {
  static Names args;
  args.clear();
  lua_CFunction keep = [](lua_State* L) {
    for (int i = 1; i <= lua_gettop(L); ++i) {
      size_t length = 0;
      const char* text = lua_tolstring(L, i, &length);
      args.emplace_back(text != nullptr ? std::string(text, length) : "<nil>");
    }
    return 0;
  };
  std::unique_ptr<lua_State, void (*)(lua_State*)> L{luaL_newstate(), lua_close};
  lua_register(L.get(), "SendPathCmd", keep);
  lua_register(L.get(), "FindPathOnRoute", keep);
  if (luaL_loadstring(L.get(), chunk.c_str()) != 0 || lua_pcall(L.get(), 0, 0, 0) != 0)
    return {"<lua error>"};
  return args;
}
// The string value of `literal` as Lua 5.1 reads it.
std::string ReadBack(const std::string& literal) {
  return CallArgs("SendPathCmd(" + literal + ")").at(0);
}

// The lowest long bracket level the text does not contain (or end in part of).
TEST(CommandText, LuaLiteralsReadBackUnchangedAndOnlyOneLiteralLoginCallIsRecognised) {
  const std::pair<const char*, const char*> cases[] = {
      {"hello", "[[hello]]"},           {"a]b", "[[a]b]]"},     {"x]]y", "[=[x]]y]=]"},
      {"x]]y]=]z", "[==[x]]y]=]z]==]"}, {"a[[b", "[=[a[[b]=]"}, {"end]", "[=[end]]=]"},
      {"a]]b]=", "[==[a]]b]=]==]"}};
  for (const auto& [text, wrapped] : cases) EXPECT_EQ(wrapped, LuaLongBracket(text)) << text;
  // Lua reads every line end inside a long bracket as a line feed; a leading one is kept.
  EXPECT_EQ("\nreturn", ReadBack(LuaLongBracket("\rreturn")));
  EXPECT_EQ("\nx", ReadBack(LuaLongBracket("\r\nx")));
  // Random texts of the characters that end a quote or a bracket read back unchanged, so output
  // holding brackets can never run as code on the requester.
  std::mt19937 rng(17);
  const std::string alphabet = "]]]]=[[-'\"\\\nxé";
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (size_t n = rng() % 24; n > 0; --n) text += alphabet[rng() % alphabet.size()];
    EXPECT_EQ(text, ReadBack(LuaLongBracket(text))) << text;
    if (round % 3 == 0) text += char(rng() % 256);
    EXPECT_EQ(text, ReadBack(LuaQuote(text))) << text;
  }
  // Every byte, each followed by a digit that must not join the escape before it.
  std::string everyByte;
  for (int c = 0; c < 256; ++c) everyByte += {static_cast<char>(c), '7'};
  EXPECT_EQ(everyByte, ReadBack(LuaQuote(everyByte)));
  // Only one login call with literal arguments is recognised, and its password masked.
  stLoginCall call;
  ASSERT_TRUE(ParseLoginCall("Login('gm',\"pw\")", &call));
  EXPECT_EQ(call.name, "Login");
  EXPECT_EQ(call.args, (Names{"'gm'", "\"pw\""}));
  // An escaped quote stays inside the string, exactly as Lua reads it.
  for (const char* taken :
       {"\tLogined(-1, 2.5, 'game_220');  ", "Logout()", "Login('a\\'); os.exit() --','b')"})
    EXPECT_TRUE(ParseLoginCall(taken)) << taken;
  for (const char* refused :
       {"Login('a','b') Login('c','d')", "Login('a','b');;", "Login('a',b)", "Login('a'..'b')",
        "Login('a\nb')", "Login('a', 'b') --[[x]]", "Login 'a'", "Loginx('a')", "login('a')",
        "Login(1e5)", "Login(0x10)", "Login('a',)", "Login(", "Login('a'", "", "os.exit()",
        "Login('a\\\n')"})
    EXPECT_FALSE(ParseLoginCall(refused)) << refused;
  EXPECT_EQ(MaskCmdText(" Login( 'gm' , \"a much longer secret\" ) ;"), "Login('gm','********')");
  EXPECT_EQ(MaskCmdText("Logined(1,'game')"), "Logined(1,'game')");
  // The client link's password given to SetConnect is a password too.
  EXPECT_EQ(MaskCmdText("SetConnect('global','10.0.0.2',7000,'game','s3cret')"),
            "SetConnect('global','10.0.0.2',7000,'game','******')");
  EXPECT_EQ(MaskCmdText("x=1 SetConnect('global','',0,'','s3cret')"), "x=1 SetConnect(***)");
  EXPECT_EQ(MaskCmdText("x=1 SetConnectIP('global','10.0.0.2')"),
            "x=1 SetConnectIP('global','10.0.0.2')");
  EXPECT_FALSE(ParseLoginCall("SetConnect('global','',0,'','s3cret')"));
  // Called in another letter case it runs nothing, but the password typed is real; the word
  // in another case and no call stays as written.
  EXPECT_EQ(MaskCmdText("LOGIN ('ops','s3cret')"), "LOGIN('ops','******')");
  EXPECT_EQ(MaskCmdText("x=1 setconnect('g','',0,'','s3cret')"), "x=1 setconnect(***)");
  EXPECT_EQ(MaskCmdText("SetConfigValue('check_login',0)"), "SetConfigValue('check_login',0)");
}

// Values that try to end their quote or bracket, or pass for a placeholder.
const char* const kNasty[] = {
    "plain",  "]=]",        "]]", "a]==]b", "it's", "say \"hi\"", "back\\slash", "%2%",
    "%3% %1", "line\nnext", "[[", "",       "\n",   "tab\tend",   "]=])os.exit("};

// Every value comes back exactly from a built call, a find call, a filled template and a way
// back (the hops in reverse, the parameter kept; the answer fills in the rest, as an endpoint).
TEST(RouteText, EveryValueComesBackExactlyAndEachPartIsReadFromItsPlace) {
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
  // The command text travels between the template's own brackets.
  EXPECT_EQ(FillRoute(route, 4, "Ver()", "p"),
            "SendPathCmd('map','game','global','p',4,[=[Ver()]=])");
  EXPECT_EQ(MakePathCall({{"a", "b"}, "", 4, "Ver()"}, 0), "SendPathCmd('a','b','',4,[=[Ver()]=])");
  // A route is stored with a parameter placeholder; names are read before the parameter; only a
  // hop mark at the very end counts.
  const std::pair<const char*, std::optional<std::string>> stored[] = {
      {"SendPathCmd('a','b','%3%',%1%,[=[%2%]=])", "SendPathCmd('a','b','%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd('a','b','',%1%,[=[%2%]=])", "SendPathCmd('a','b','%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd('a','b','p',%1%,[=[%2%]=])", "SendPathCmd('a','b','p%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd(a,b,%1%,[=[%2%]=])", std::nullopt},
      {"", std::nullopt}};
  for (const auto& [route, store] : stored) EXPECT_EQ(RouteForStore(route), store) << route;
  const std::pair<const char*, Names> read[] = {
      {" SendPathCmd( 'a' , \"b\" ,'p',1,'t')", {"a", "b"}},
      {"FindPathOnRoute('a','b')", {}},
      {"SendPathCmd('a", {}}};
  for (const auto& [route, hops] : read) EXPECT_EQ(RouteNames(route), hops) << route;
  const std::pair<std::string, int> marks[] = {
      {"]]) --hops=12\n", 12}, {" --hops=9]])", 0}, {"]]) --hops=", 0}, {"]]) --hops=3x", 0}};
  for (const auto& [end, hops] : marks)
    EXPECT_EQ(ReadHopMark("SendPathCmd('a','b','',1,[[x" + end), hops) << end;
}

}  // namespace
