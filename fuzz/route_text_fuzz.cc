// Route texts built from arbitrary names, parameter, group and text read back, in a real Lua
// state and through the route reader, to the same values; reading any text as a route or a hop
// mark is safe.
#include "fuzz_kit.h"
#include "tessel/core/route_text.h"

namespace {

// SendPathCmd as group 7 sees it: every argument as a string, in order.
std::vector<std::string> s_args;
int Record(lua_State* L) {
  s_args.clear();
  for (int i = 1; i <= lua_gettop(L); ++i) {
    size_t size = 0;
    const char* s = lua_tolstring(L, i, &size);
    s_args.emplace_back(s ? std::string(s, size) : "?");
  }
  return 0;
}

// `call` run by Lua gives the names, then the parameter, group and text.
void ReadsBack(lua_State* L, const std::string& made, const stPathCall& call) {
  std::vector<std::string> want = call.names;
  want.insert(want.end(), {call.param, std::to_string(call.group), call.text});
  s_args = {};
  FUZZ_CHECK(fuzzkit::Run(L, made) == 0 && s_args == want, made, "");
  fuzzkit::Collect(L);
  FUZZ_CHECK(RouteNames(made) == call.names, made, "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static lua_State* L = [] {
    lua_State* L = luaL_newstate();
    fuzzkit::Give(L, "SendPathCmd", &Record);
    return L;
  }();
  FuzzedDataProvider input(data, size);
  stPathCall call;
  call.names.resize(input.ConsumeIntegralInRange(1, 4));
  for (auto& name : call.names) name = input.ConsumeRandomLengthString(24);
  call.param = input.ConsumeRandomLengthString(24);
  call.group = input.ConsumeIntegralInRange(-99, 999);
  const int hops = input.ConsumeIntegralInRange(0, 2 * kMaxRouteHops);
  call.text = input.ConsumeRemainingBytesAsString();
  const std::string made = MakePathCall(call, hops);
  const std::string sent = call.text;
  // Lua reads a long bracket's line ends as '\n'.
  call.text = fuzzkit::LongBracketLines(call.text);
  ReadsBack(L, made, call);
  FUZZ_CHECK(ReadHopMark(made) == hops, made, std::to_string(ReadHopMark(made)));
  ReadsBack(L, FillRoute(MakeRouteTemplate(call.names), call.group, sent, call.param), call);
  const std::optional<std::string> stored = RouteForStore(MakeRouteTemplate(call.names));
  FUZZ_CHECK(stored && RouteNames(*stored) == call.names, made, stored.value_or(""));
  stPathCall back = call;
  back.names.assign(call.names.rbegin(), call.names.rend());
  ReadsBack(L, FillRoute(MakeReturnPath(call), call.group, sent, ""), back);

  // Any text as a stored route, filled and read.
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (const auto route = RouteForStore(raw)) RouteNames(FillRoute(*route, 1, raw, raw));
  ReadHopMark(raw);
  return 0;
}
