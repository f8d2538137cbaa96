#include "tessel/core/route_text.h"

#include <gtest/gtest.h>

#include <lua.hpp>

#include "tessel/console/path_router.h"

namespace {

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

Names Expected(const Names& names, const std::string& param, int group, const std::string& text) {
  Names out = names;
  out.push_back(param);
  out.push_back(std::to_string(group));
  out.push_back(text);
  return out;
}

TEST(RouteTextTest, EveryValueComesBackExactlyFromABuiltCall) {
  for (const char* value : kNasty) {
    const stPathCall call{{"map", value, "global"}, value, 4, value};
    for (int hops : {0, 5}) {
      const std::string text = MakePathCall(call, hops);
      EXPECT_EQ(CallArgs(text), Expected(call.names, value, 4, value)) << text;
      EXPECT_EQ(ReadHopMark(text), hops) << text;
    }
    const std::string find = MakeFindCall({"map", value}, 2);
    EXPECT_EQ(CallArgs(find), (Names{"map", value})) << find;
  }
}

TEST(RouteTextTest, AFilledTemplateOrReturnPathCarriesTextAndParameterIntact) {
  const Names names = {"map", "game", "global"};
  for (const char* value : kNasty) {
    const std::string route = *RouteForStore(MakeRouteTemplate(names));
    const std::string filled = FillRoute(route, 1, value, value);
    EXPECT_EQ(CallArgs(filled), Expected(names, value, 1, value)) << filled;

    // The way back names the hops in reverse and keeps the parameter; the answer fills in the
    // rest, as an endpoint does when it sends output back.
    const stPathCall call{names, value, 1, "Ver()"};
    const std::string back = FillRoute(MakeReturnPath(call), 7, value, "unused");
    EXPECT_EQ(CallArgs(back), Expected({"global", "game", "map"}, value, 7, value)) << back;
  }
}

TEST(RouteTextTest, ARouteIsStoredWithAParameterPlaceholder) {
  struct stCase {
    const char* route;
    std::optional<std::string> stored;
  } cases[] = {
      {"SendPathCmd('a','b','%3%',%1%,[=[%2%]=])", "SendPathCmd('a','b','%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd('a','b','',%1%,[=[%2%]=])", "SendPathCmd('a','b','%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd('a','b','p',%1%,[=[%2%]=])", "SendPathCmd('a','b','p%3%',%1%,[=[%2%]=])"},
      {"SendPathCmd(a,b,%1%,[=[%2%]=])", std::nullopt},
      {"", std::nullopt},
  };
  for (const stCase& c : cases) EXPECT_EQ(RouteForStore(c.route), c.stored) << c.route;
}

TEST(RouteTextTest, RouteNamesReadsTheHopsBeforeTheParameter) {
  struct stCase {
    std::string route;
    Names names;
  } cases[] = {
      {MakeRouteTemplate({"map", "game", "global"}), {"map", "game", "global"}},
      {MakeRouteTemplate({"it's", "%1%", "a\\b"}), {"it's", "%1%", "a\\b"}},
      {MakePathCall({{"a", "b"}, "p,q", 1, "x','y"}, 3), {"a", "b"}},
      {" SendPathCmd( 'a' , \"b\" ,'p',1,'t')", {"a", "b"}},
      {"FindPathOnRoute('a','b')", {}},
      {"SendPathCmd('a", {}},
  };
  for (const stCase& c : cases) EXPECT_EQ(RouteNames(c.route), c.names) << c.route;

  // A link's key: its id, unsigned even at the top of the range, and how it went down.
  std::string key;
  FormatLinkIDDisconnect(key, 4294967295u, -1);
  EXPECT_EQ(key, "4294967295_-1");
}

TEST(RouteTextTest, OnlyAHopMarkAtTheVeryEndCounts) {
  struct stCase {
    const char* chunk;
    int hops;
  } cases[] = {
      {"SendPathCmd('a','b','',1,[[x]]) --hops=7", 7},
      {"SendPathCmd('a','b','',1,[[x]]) --hops=12\n", 12},
      {"SendPathCmd('a','b','',1,[[x --hops=9]])", 0},
      {"SendPathCmd('a','b','',1,[[x]]) --hops=", 0},
      {"SendPathCmd('a','b','',1,[[x]]) --hops=3x", 0},
      {"", 0},
  };
  for (const stCase& c : cases) EXPECT_EQ(ReadHopMark(c.chunk), c.hops) << c.chunk;
}

}  // namespace
