// CPU time of an idle host: a started host with its worker running its 10 ms cycle and nothing
// to do, measured over 10 seconds of wall time. Reported as the percentage of one core.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tessel/host/tessel.h"

namespace {

double ProcessCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_IdleHost(benchmark::State& state) {
  char tmpl[] = "/tmp/tessel_bench_XXXXXX";
  const std::string home = ::mkdtemp(tmpl);
  ::setenv("TESSEL_HOME", home.c_str(), 1);
  ::setenv("TESSEL_REGISTRY", (home + "/registry").c_str(), 1);
  cTessel host;
  host.Init();
  if (!host.Start(true)) {
    state.SkipWithError("host did not start");
    return;
  }
  const double seconds = static_cast<double>(state.range(0));
  for (auto _ : state) {
    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    state.SetIterationTime(wall);
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
  }
  host.EndThread();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}

}  // namespace

BENCHMARK(BM_IdleHost)->Arg(10)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
