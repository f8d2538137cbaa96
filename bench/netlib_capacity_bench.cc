// Capacity run: one server holding 10,000 idle links, and its resident memory per link, for
// plain links and for TLS links (with the rate at which the TLS hand-shakes were made and the
// server's CPU time for each). Resident figures are exact for a case run alone
// (--benchmark_filter); the heap figure also when both run. The
// idle peers live in a child process, so the parent's growth is the server's alone: plain
// sockets, or TLS clients of the network library (a copy of this program, at most 256
// hand-shakes under way at once).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_child.h"
#include "tessel/contracts/netlib.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLinks = 10000;
constexpr int kHandshakesAtOnce = 256;
constexpr uint32_t kQuietMs = 600000;  // no link of the run is cut for its silence

// CPU seconds (user and system) of this process so far.
double CpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// The process's resident bytes, and the bytes its allocator has handed out and not taken back
// (which memory freed by an earlier case of this run does not hide).
struct stMemory {
  long resident = 0;
  size_t heap = 0;
};
stMemory Memory() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return {resident * sysconf(_SC_PAGESIZE), mallinfo2().uordblks};
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// The plain child: opens `count` connections to the port, reports how many, waits for the
// parent.
[[noreturn]] void RunPeers(int portPipe, int donePipe, int resultPipe, int count) {
  unsigned short port = 0;
  if (read(portPipe, &port, sizeof port) != sizeof port) _exit(1);
  std::vector<int> fds;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  for (int i = 0; i < count; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) break;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      break;
    }
    fds.push_back(fd);
  }
  int opened = static_cast<int>(fds.size());
  if (write(resultPipe, &opened, sizeof opened) != sizeof opened) _exit(1);
  char done;
  if (read(donePipe, &done, 1) < 0) _exit(1);
  _exit(0);
}

class cCounter : public iCallbackNet {
 public:
  int OnMessage(int kind, const void* data, unsigned long, iSend*) override {
    uint32_t event = 0;
    if (kind == 1) std::memcpy(&event, static_cast<const char*>(data) + 4, 4);
    if (kind == 1 && event == NetEvent_Connected) connected.fetch_add(1);
    return 1;
  }
  std::atomic<int> connected{0};
};

class cIgnore : public iCallbackNet {
 public:
  int OnMessage(int, const void*, unsigned long, iSend*) override { return 1; }
};

stServerInfo CapacityServerInfo(uint32_t encode) {
  stServerInfo info;
  std::strcpy(info.name, "capacity");
  info.bindip = 0x7F000001;
  info.maxlinks = 0;
  info.net.word[stNetParam::NetParam_FirstMsgMs] = kQuietMs;
  info.net.word[stNetParam::NetParam_IdleMs] = kQuietMs;
  info.net.word[stNetParam::NetParam_Encode] = encode;
  return info;
}

// Waits at most 120 s until the server reported `count` links up.
void WaitConnected(const cCounter& counter, int count) {
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (counter.connected.load() < count && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void Report(benchmark::State& state, iServer* server, const stMemory& before, const char* kind) {
  const stMemory after = Memory();
  const int links = server->GetLinkNum();
  const double perLink = links ? double(after.resident - before.resident) / 1024.0 / links : 0;
  const double heapPerLink =
      links ? (double(after.heap) - double(before.heap)) / 1024.0 / links : 0;
  state.counters["links"] = links;
  state.counters["KiB_per_link"] = perLink;
  state.counters["heap_KiB_per_link"] = heapPerLink;
  std::printf(
      "%s idle links %d, resident before %ld KiB, after %ld KiB: %.2f KiB per link (%.2f KiB "
      "of it held on the heap)\n",
      kind, links, before.resident / 1024, after.resident / 1024, perLink, heapPerLink);
}

void BM_IdleLinks(benchmark::State& state) {
  RaiseDescriptorLimit();
  for (auto _ : state) {
    int portPipe[2], donePipe[2], resultPipe[2];
    if (pipe(portPipe) || pipe(donePipe) || pipe(resultPipe)) {
      state.SkipWithError("pipe failed");
      return;
    }
    pid_t child = fork();
    if (child == 0) RunPeers(portPipe[0], donePipe[0], resultPipe[1], kLinks);

    cCounter counter;
    stServerInfo info = CapacityServerInfo(0);
    iServer* server = Net_CreateServer();
    server->Init(&info, &counter);
    // Let the I/O threads and their read buffers come to life before the first measure.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const stMemory before = Memory();
    unsigned short port = server->GetPort();
    if (write(portPipe[1], &port, sizeof port) != sizeof port) state.SkipWithError("pipe");
    int opened = 0;
    if (read(resultPipe[0], &opened, sizeof opened) != sizeof opened) state.SkipWithError("pipe");
    WaitConnected(counter, opened);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Report(state, server, before, "plain");
    if (write(donePipe[1], "x", 1) != 1) state.SkipWithError("pipe");
    int status = 0;
    waitpid(child, &status, 0);
    server->Stop();
    server->Release();
    for (int fd :
         {portPipe[0], portPipe[1], donePipe[0], donePipe[1], resultPipe[0], resultPipe[1]})
      close(fd);
  }
}
BENCHMARK(BM_IdleLinks)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- TLS links -------------------------------------------------------------------------------

// The TLS child: "--tls-peers COUNT". Reads the port, connects COUNT TLS clients (at most
// kHandshakesAtOnce not yet up), answers how many came up, and holds them until its input
// closes. Works in the parent's folder, whose config/tls holds the certificates.
int RunTlsPeers(int count) {
  RaiseDescriptorLimit();
  unsigned short port = 0;
  if (!benchkit::ReadParent(port)) return 1;
  InitSocket();
  stClientInfo info;
  info.name = "capacity";
  info.net.word[stNetParam::NetParam_Encode] = 1;
  info.net.word[stNetParam::NetParam_FirstMsgMs] = kQuietMs;
  info.net.word[stNetParam::NetParam_IdleMs] = kQuietMs;
  cIgnore ignore;
  std::vector<iClient*> clients;
  size_t upTo = 0;  // clients before this one are up (or gave up)
  const auto deadline = Clock::now() + std::chrono::seconds(180);
  while ((clients.size() < size_t(count) || upTo < clients.size()) && Clock::now() < deadline) {
    while (clients.size() < size_t(count) && clients.size() - upTo < kHandshakesAtOnce) {
      iClient* c = Net_CreateClient(0);
      if (!c->Init(&info, &ignore)) return 1;
      c->Connect("127.0.0.1", port);
      clients.push_back(c);
    }
    while (upTo < clients.size() && clients[upTo]->IsConnect()) ++upTo;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int up = 0;
  for (auto* c : clients) up += c->IsConnect() ? 1 : 0;
  if (!benchkit::AnswerParent(up)) return 1;
  char done;
  benchkit::ReadParent(done);
  for (auto* c : clients) {
    c->Stop();
    c->Release();
  }
  return 0;
}

// Makes development certificates under a temporary folder and works there; removed at the end.
class cTlsHome {
 public:
  cTlsHome() {
    std::string dir = (std::filesystem::temp_directory_path() / "tessel_bench_XXXXXX").string();
    if (!::mkdtemp(dir.data())) return;
    m_dir = dir;
    std::string make = "bash '" TESSEL_SOURCE_DIR "/scripts/tls-certs' '" + dir +
                       "/config/tls' capacity >/dev/null";
    if (std::system(make.c_str()) != 0) return;
    m_old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    m_ready = true;
  }
  ~cTlsHome() {
    if (m_ready) std::filesystem::current_path(m_old);
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
  }
  bool Ready() const { return m_ready; }

 private:
  std::string m_dir;
  std::filesystem::path m_old;
  bool m_ready = false;
};

void BM_IdleTlsLinks(benchmark::State& state) {
  RaiseDescriptorLimit();
  cTlsHome home;
  if (!home.Ready()) return state.SkipWithError("no certificates (openssl missing?)");
  for (auto _ : state) {
    benchkit::cBenchChild child({"--tls-peers", std::to_string(kLinks)});
    cCounter counter;
    stServerInfo info = CapacityServerInfo(1);
    iServer* server = Net_CreateServer();
    if (!child.Started() || !server->Init(&info, &counter)) {
      server->Release();
      return state.SkipWithError("the server or its peers could not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const stMemory before = Memory();
    const auto start = Clock::now();
    const double cpu = CpuSeconds();
    int up = 0;
    if (!child.Put(server->GetPort()) || !child.Get(up, 200)) state.SkipWithError("child");
    WaitConnected(counter, up);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double serverCpu = CpuSeconds() - cpu;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Report(state, server, before, "TLS");
    state.counters["handshakes/s"] = up / seconds;
    state.counters["server_cpu_us_per_handshake"] = up ? serverCpu / up * 1e6 : 0;
    std::printf(
        "TLS hand-shakes: %d in %.2f s, %.0f per second with both sides on this "
        "machine; the server's CPU time %.0f us each\n",
        up, seconds, up / seconds, up ? serverCpu / up * 1e6 : 0);
    child.Put('x');
    server->Stop();
    server->Release();
  }
}
BENCHMARK(BM_IdleTlsLinks)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--tls-peers") == 0) return RunTlsPeers(std::atoi(argv[2]));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
