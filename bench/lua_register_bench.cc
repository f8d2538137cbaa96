// Cost of the typed registration helper: a console-style command text run through
// lua_dostring against the bare load-and-call of the same text, and the per-call cost of a
// typed function against a raw lua_CFunction.
#include <benchmark/benchmark.h>

#include "tessel/contracts/baselib.h"

namespace {

int g_sink = 0;

void Typed(int a, const char* s) {
  g_sink += a + s[0];
}

int Raw(lua_State* L) {
  g_sink += static_cast<int>(lua_tointeger(L, 1)) + lua_tostring(L, 2)[0];
  return 0;
}

struct State {
  State() {
    luaL_openlibs(L);
    luareg::def<&Typed>(L, "Typed");
    lua_register(L, "Raw", &Raw);
  }
  ~State() { lua_close(L); }
  lua_State* L = luaL_newstate();
};

void BM_CommandBareLoadAndCall(benchmark::State& st) {
  State s;
  for (auto _ : st) {
    if (luaL_loadstring(s.L, "Raw(1,'a')") == 0) lua_pcall(s.L, 0, 0, 0);
  }
}
BENCHMARK(BM_CommandBareLoadAndCall);

void BM_CommandTypedThroughDostring(benchmark::State& st) {
  State s;
  for (auto _ : st) lua_dostring(s.L, "Typed(1,'a')", "cCmd_Test");
}
BENCHMARK(BM_CommandTypedThroughDostring);

void BM_CallRaw(benchmark::State& st) {
  State s;
  luaL_loadstring(s.L, "for i = 1, 1000 do Raw(i, 'a') end");
  const int chunk = luaL_ref(s.L, LUA_REGISTRYINDEX);
  for (auto _ : st) {
    lua_rawgeti(s.L, LUA_REGISTRYINDEX, chunk);
    lua_pcall(s.L, 0, 0, 0);
  }
  st.SetItemsProcessed(st.iterations() * 1000);
}
BENCHMARK(BM_CallRaw);

void BM_CallTyped(benchmark::State& st) {
  State s;
  luaL_loadstring(s.L, "for i = 1, 1000 do Typed(i, 'a') end");
  const int chunk = luaL_ref(s.L, LUA_REGISTRYINDEX);
  for (auto _ : st) {
    lua_rawgeti(s.L, LUA_REGISTRYINDEX, chunk);
    lua_pcall(s.L, 0, 0, 0);
  }
  st.SetItemsProcessed(st.iterations() * 1000);
}
BENCHMARK(BM_CallTyped);

}  // namespace

BENCHMARK_MAIN();
