// cCmd::Do on a trivial registered function, typed on the console and served for a link, beside
// the bare Lua load-and-call of the same text (a text run again is not compiled again; one case
// runs only new texts); the console one with the host's command watch
// (the crash report's record of commands) installed, and with the metrics served (argument 1)
// or not (argument 0).
#include <benchmark/benchmark.h>

#include <lua.hpp>

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/audit_scope.h"
#include "tessel/core/audit_trail.h"
#include "tessel/core/cmd.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/peer_env.h"
#include "tessel/host/cmd_watch.h"
#include "tessel/host/metrics.h"
#include "tessel/host/service_watch.h"

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
  cCmd::SetObserver(&cCmdWatch::Instance());
  if (state.range(0) != 0 &&
      !cMetrics::Instance().Start("127.0.0.1:0", "bench", "1", cServiceWatch::Worker()))
    state.SkipWithError("metrics did not start");
  for (auto _ : state) {
    if (!group.Do(kText)) state.SkipWithError("Do failed");
  }
  state.SetItemsProcessed(state.iterations());
  cMetrics::Instance().Stop();
  cCmd::SetObserver(nullptr);
}
BENCHMARK(BM_CmdDo)->ArgName("metrics")->Arg(0)->Arg(1);

// Console commands that are each new to the group (more distinct texts than it keeps compiled),
// so every one is compiled: the cost of a text run once.
void BM_CmdDoNewText(benchmark::State& state) {
  cBenchCmd group;
  group.Create();
  std::vector<std::string> texts;
  for (int i = 0; i < 4096; ++i) texts.push_back("Nop() -- " + std::to_string(i));
  size_t next = 0;
  for (auto _ : state) {
    if (!group.Do(texts[next].c_str())) state.SkipWithError("Do failed");
    next = (next + 1) % texts.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CmdDoNewText);

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

// Rights of an account with rules (every group but @shell and @admin): every function called
// checks them.
std::shared_ptr<stCmdRights> BenchRights(benchmark::State& state) {
  auto rules = std::make_shared<cRightRules>();
  std::string error;
  rules->m_bAllowList = true;
  if (!cRightRules::ParseItems("@all", rules->m_allow, error) ||
      !cRightRules::ParseItems("@shell,@admin", rules->m_deny, error))
    state.SkipWithError(error.c_str());
  auto rights = std::make_shared<stCmdRights>();
  rights->account = "bench";
  rights->rules.push_back(rules);
  return rights;
}

// The same served for a link whose account has rules.
void BM_CmdDoForLinkWithRights(benchmark::State& state) {
  cBenchCmd group;
  group.Create();
  const int endpoint = 0;
  cPeerEnvScope link(stPeerKey{&endpoint, 1});
  cCmdRightsScope scope(BenchRights(state));
  for (auto _ : state) {
    if (!group.Do(kText)) state.SkipWithError("Do failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CmdDoForLinkWithRights);

// The console command with the audit trail on (argument rights 0), or the command served for a
// link whose account has rules, with the trail on (rights 1): each run queues its line for the
// trail's writer thread, which chains, signs and writes it (into a temporary folder). Lines
// that found the queue full are counted as dropped.
void BM_CmdDoAudited(benchmark::State& state) {
  std::string folder = (std::filesystem::temp_directory_path() / "tessel_bench_XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) return state.SkipWithError("no temporary folder");
  cAuditTrail::stOptions options;
  options.folder = folder + "/trail";
  options.keyFile = folder + "/audit.key";
  options.process = "bench";
  if (!cAuditTrail::Instance().Open(options)) return state.SkipWithError("trail not open");
  cBenchCmd group;
  group.Create();
  {
    const bool rights = state.range(0) != 0;
    const cAuditScope who(
        rights ? cAuditScope::stWho(eAuditSource::Peer, "bench@asking", "127.0.0.1:4000")
               : cAuditScope::stWho(eAuditSource::Console, "console"));
    const int endpoint = 0;
    std::optional<cPeerEnvScope> link;
    std::optional<cCmdRightsScope> scope;
    if (rights) {
      link.emplace(stPeerKey{&endpoint, 1});
      scope.emplace(BenchRights(state));
    }
    for (auto _ : state) {
      if (!group.Do(kText)) state.SkipWithError("Do failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["dropped"] = static_cast<double>(cAuditTrail::Instance().Dropped());
  cAuditTrail::Instance().Close();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_CmdDoAudited)->ArgName("rights")->Arg(0)->Arg(1);

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
