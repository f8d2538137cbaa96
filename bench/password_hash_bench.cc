// One check of a password against a stored scrypt hash at the cost tessel_cli --hash-password
// uses and at lower costs, beside a clear password's constant-time comparison: the time a login
// of a hashed account takes on the server's check thread.
#include <benchmark/benchmark.h>

#include "tessel/link/password_hash.h"

namespace {

void BM_CheckScrypt(benchmark::State& state) {
  const std::string stored = HashPassword("correct horse", static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(CheckPassword(stored, "correct horse"));
}
BENCHMARK(BM_CheckScrypt)->Arg(12)->Arg(14)->Arg(15)->Unit(benchmark::kMillisecond);

void BM_CheckClear(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(CheckPassword("correct horse", "correct horse"));
}
BENCHMARK(BM_CheckClear);

}  // namespace

BENCHMARK_MAIN();
