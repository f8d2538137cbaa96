// Cost of one logged line through the usual modifiers (time prefix, line end) into a file, from
// one thread and from several at once.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "loglib/manager.h"
#include "tessel/contracts/loglib.h"

namespace {

struct bench_log {
  std::string folder;
  loglib::manager m;
  bench_log() {
    char tmpl[] = "/tmp/tessel_bench_XXXXXX";
    folder = ::mkdtemp(tmpl);
    loglib::add_modifier(m, "*", loglib::prepend_time("$MM_$dd $hh:$mm:$ss "), 0x7FFFFFFF);
    loglib::add_modifier(m, "*", loglib::append_enter(), 100);
    loglib::add_appender(m, "bench*", loglib::write_to_file(folder + "/bench.log", true), 100);
    loglib::flush_log_cache(m);
  }
  ~bench_log() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

bench_log& shared_log() {
  static bench_log log;
  return log;
}

void BM_WriteLineToFile(benchmark::State& state) {
  bench_log& log = shared_log();
  loglib::logger l(log.m, "bench.file");
  const std::string text = "cBridge::HandleMsg link 12 type 1003 size 240";
  for (auto _ : state) loglib::write_msg(log.m, l, text, 1000);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteLineToFile)->Threads(1)->Threads(4);

void BM_DisabledLoggerCheck(benchmark::State& state) {
  bench_log& log = shared_log();
  loglib::logger l(log.m, "bench.off");
  l.set_enabled(false);
  for (auto _ : state) benchmark::DoNotOptimize(l(1000));
}
BENCHMARK(BM_DisabledLoggerCheck);

}  // namespace

BENCHMARK_MAIN();
