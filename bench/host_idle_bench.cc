// CPU time of an idle host: a started host with its worker running its 10 ms cycle and nothing
// to do, measured over 10 seconds of wall time. Reported as the percentage of one core. With
// the second argument 1 the host serves its metrics and is scraped every second meanwhile.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tessel/core/config_stores.h"
#include "tessel/host/metrics.h"
#include "tessel/host/tessel.h"

namespace {

double ProcessCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// An HTTP GET of /metrics, read to its end, as Prometheus makes it.
void Scrape(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char ask[] = "GET /metrics HTTP/1.0\r\n\r\n";
  char chunk[4096];
  if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      ::send(fd, ask, sizeof ask - 1, MSG_NOSIGNAL) > 0)
    while (::recv(fd, chunk, sizeof chunk, 0) > 0) {
    }
  ::close(fd);
}

void BM_IdleHost(benchmark::State& state) {
  char tmpl[] = "/tmp/tessel_bench_XXXXXX";
  const std::string home = ::mkdtemp(tmpl);
  ::setenv("TESSEL_HOME", home.c_str(), 1);
  ::setenv("TESSEL_REGISTRY", (home + "/registry").c_str(), 1);
  SetConfigString("metrics", state.range(1) != 0 ? "127.0.0.1:0" : "");
  cTessel host;
  host.Init();
  if (!host.Start(true)) {
    state.SkipWithError("host did not start");
    return;
  }
  const double seconds = static_cast<double>(state.range(0));
  std::atomic<bool> scraping{cMetrics::Instance().IsOn()};
  std::thread scraper([&] {
    while (scraping) {
      Scrape(cMetrics::Instance().Port());
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
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
  scraping = false;
  scraper.join();
  host.EndThread();
  cMetrics::Instance().Stop();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}

}  // namespace

BENCHMARK(BM_IdleHost)
    ->ArgNames({"seconds", "metrics"})
    ->Args({10, 0})
    ->Args({10, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
