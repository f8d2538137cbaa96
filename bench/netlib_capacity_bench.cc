// Capacity run: one server holding 10,000 idle links, and its resident memory per link. The idle
// peers are plain sockets in a child process, so the parent's growth is the server's alone.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tessel/contracts/netlib.h"

namespace {

constexpr int kLinks = 10000;

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// The child: opens `count` connections to the port, reports how many, waits for the parent.
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
    stServerInfo info;
    std::strcpy(info.name, "capacity");
    info.bindip = 0x7F000001;
    info.maxlinks = 0;
    info.net.word[stNetParam::NetParam_FirstMsgMs] = 600000;
    iServer* server = Net_CreateServer();
    server->Init(&info, &counter);
    // Let the I/O threads and their read buffers come to life before the first measure.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long before = ResidentBytes();
    unsigned short port = server->GetPort();
    if (write(portPipe[1], &port, sizeof port) != sizeof port) state.SkipWithError("pipe");
    int opened = 0;
    if (read(resultPipe[0], &opened, sizeof opened) != sizeof opened) state.SkipWithError("pipe");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (counter.connected.load() < opened && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    long after = ResidentBytes();
    int links = server->GetLinkNum();
    state.counters["links"] = links;
    state.counters["KiB_per_link"] = links ? double(after - before) / 1024.0 / links : 0;
    std::printf("idle links %d, resident before %ld KiB, after %ld KiB, %.2f KiB per link\n", links,
                before / 1024, after / 1024, links ? double(after - before) / 1024.0 / links : 0.0);
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

}  // namespace

BENCHMARK_MAIN();
