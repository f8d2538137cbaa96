// cCmd::Do on a trivial registered function, typed on the console and served for a link, beside
// the bare Lua load-and-call of the same text.
#include <benchmark/benchmark.h>

#include <lua.hpp>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd.h"
#include "tessel/core/peer_env.h"

namespace {

int g_calls = 0;
void Nop() {
  ++g_calls;
}

class cBenchCmd : public cCmd {
 public:
  void bind_cln(lua_State* L) override { luareg::def<&Nop>(L, "Nop"); }
  const char* GetName() override { return "cCmd_Bench"; }
};

const char* const kText = "Nop()";

void BM_CmdDo(benchmark::State& state) {
  cBenchCmd group;
  group.Create();
  for (auto _ : state) {
    if (!group.Do(kText)) state.SkipWithError("Do failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CmdDo);

// The same command served for a link: it runs in the link's own environment, made at its
// first command and reused after.
void BM_CmdDoForLink(benchmark::State& state) {
  cBenchCmd group;
  group.Create();
  const int endpoint = 0;
  cPeerEnvScope link(stPeerKey{&endpoint, 1});
  for (auto _ : state) {
    if (!group.Do(kText)) state.SkipWithError("Do failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CmdDoForLink);

void BM_BareLoadAndCall(benchmark::State& state) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luareg::def<&Nop>(L, "Nop");
  for (auto _ : state) {
    if (luaL_loadstring(L, kText) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
      state.SkipWithError("bare call failed");
      lua_pop(L, 1);
    }
  }
  state.SetItemsProcessed(state.iterations());
  lua_close(L);
}
BENCHMARK(BM_BareLoadAndCall);

}  // namespace

BENCHMARK_MAIN();
