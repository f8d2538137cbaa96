// Remote commands between two processes: a tessel_server started by this program serves the
// command Accounts() at level 1 to a client link of this process's own host, whose cycles this
// program runs back to back. Measures the round trip of one command until its Output comes
// back (p50/p99 over 1,000 commands) and the rate of 100,000 pipelined commands; the same run
// measures a bare round trip of the network library on loopback as the floor. The routed case
// sends the command two hops away: this process, as "map", is logged in on a tessel_server
// "game", itself logged in on a tessel_server "global", and SendRemoteCmd('global', ...) goes
// along the route found to global and its Output back along the reversed route.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "tessel/console/path_router.h"
#include "tessel/console/remote_path.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/netlib.h"
#include "tessel/host/tessel.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/easy_client.h"
#include "tessel/msg/ostream_cmd.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kLatencyCommands = 1000;
constexpr int kPipelinedCommands = 100000;
constexpr uint64_t kWindow = 4096;  // most pipelined commands waiting for their Output
constexpr auto kBound = std::chrono::seconds(120);  // bound of every wait of this program

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void SetPercentiles(benchmark::State& state, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// ---- the floor: a bare round trip of the network library -------------------------------------

class cEcho : public iCallbackNet {
 public:
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    if (kind == 2) send->Send(static_cast<const stMsg*>(data), size);
    return 1;
  }
};

class cCount : public iCallbackNet {
 public:
  int OnMessage(int kind, const void*, unsigned long, iSend*) override {
    if (kind == 2) received.fetch_add(1, std::memory_order_release);
    return 1;
  }
  std::atomic<uint64_t> received{0};
};

void BM_NetlibRoundTrip(benchmark::State& state) {
  InitSocket();
  cEcho echo;
  cCount count;
  stServerInfo info;
  std::strcpy(info.name, "floor");
  info.bindip = 0x7F000001;
  iServer* server = Net_CreateServer();
  server->Init(&info, &echo);
  stClientInfo cinfo;
  iClient* client = Net_CreateClient(0);
  client->Init(&cinfo, &count);
  client->Connect("127.0.0.1", server->GetPort());
  const auto deadline = Clock::now() + kBound;
  while (!client->IsConnect() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // A record of the size of the command Accounts() at level 1.
  std::vector<char> record(24, 'r');
  std::vector<double> us;
  uint64_t expected = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    client->Send(reinterpret_cast<const stMsg*>(record.data()), record.size());
    ++expected;
    while (count.received.load(std::memory_order_acquire) < expected && Clock::now() < deadline) {
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  SetPercentiles(state, us);
  client->Stop();
  client->Release();
  server->Stop();
  server->Release();
}
BENCHMARK(BM_NetlibRoundTrip)->Iterations(kLatencyCommands)->UseRealTime();

// ---- the served side: a tessel_server process --------------------------------------------------

// tessel_server beside this program's build folder, or $TESSEL_SERVER_EXE.
std::string ServerExe() {
  if (const char* exe = std::getenv("TESSEL_SERVER_EXE")) return exe;
  return (fs::path(platform::ExecutableFolder()) / ".." / "apps" / "tessel_server").string();
}

// With TESSEL_BENCH_RIGHTS=1 the accounts carry rules (every group but @shell), so that each
// function called checks them; without, they grant every group as files without rules do.
std::string RightsLines() {
  const char* on = std::getenv("TESSEL_BENCH_RIGHTS");
  return on != nullptr && std::string(on) == "1" ? "allow = @all\ndeny = @shell\n" : "";
}

// With TESSEL_BENCH_AUDIT=0 the processes (served and asking) keep no audit trail.
void WriteAuditConfig(const std::string& home) {
  const char* audit = std::getenv("TESSEL_BENCH_AUDIT");
  if (audit == nullptr) return;
  fs::create_directories(home + "/config");
  std::ofstream(home + "/config/config_int.ini") << "audit = " << audit << "\n";
}

// A tessel_server `program` listening on a free port of 127.0.0.1, in a home of its own with the
// console account `account` (its password the same), connected to the servers `connect` names
// ("" for none); it quits when its standard input closes.
class cServedProcess {
 public:
  cServedProcess(const std::string& home, const std::string& program, const std::string& account,
                 const std::string& connect = "")
      : m_home(home), m_program(program) {
    fs::create_directories(home + "/db/accounts");
    std::ofstream(home + "/db/accounts/" + account + ".ini")
        << "password = " + account + "\ncmd = 16\n" + RightsLines();
    WriteAuditConfig(home);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("TESSEL_", 0) != 0) env.push_back(*e);
    env.push_back("TESSEL_HOME=" + home);
    env.push_back("TESSEL_REGISTRY=" + home + "/registry");
    env.push_back("TESSEL_COLOR=0");
    std::vector<char*> envp;
    for (auto& kv : env) envp.push_back(kv.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {ServerExe(), "program", "=",        program, "listen",
                                     "=",         "0",       "quickend", "=",     "1"};
    if (!connect.empty()) args.insert(args.end(), {"connect", "=", connect});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    const std::string out = home + "/console.txt";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
      m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    m_input = fds[1];
  }
  ~cServedProcess() {
    ::close(m_input);
    if (m_pid <= 0) return;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (::waitpid(m_pid, nullptr, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  // The listening port once the process reports it; 0 when it did not in time.
  int Port() const {
    const std::string key = m_program + "_port=";
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      const std::string text = ReadWhole(m_home + "/console.txt");
      // The infos line: "name=value," pairs in no fixed order.
      for (const char* before : {",", "\n"}) {
        const size_t at = text.find(before + key);
        if (at != std::string::npos) return std::atoi(text.c_str() + at + 1 + key.size());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

 private:
  std::string m_home;
  std::string m_program;
  pid_t m_pid = -1;
  int m_input = -1;
};

// ---- the asking side: this process's host with one client link -------------------------------

std::atomic<uint64_t> g_outputs{0};
void CountOutput(const char*) {
  g_outputs.fetch_add(1, std::memory_order_relaxed);
}

// A client link `name` logged in as `account`.
class cBenchClient : public cEasyClient {
 public:
  cBenchClient(int port, std::string name, std::string account)
      : m_port(port), m_name(std::move(name)), m_account(std::move(account)) {}
  void GetInfo(stClientInfo& info) override {
    info.serverip = "127.0.0.1";
    info.port = static_cast<unsigned short>(m_port);
    info.account = m_account;
    info.password = m_account;
    info.autoconnect = true;
    // Room for the pipelined commands that wait to be sent.
    info.net.word[stNetParam::NetParam_SendQueueKB] = 64 * 1024;
  }
  const char* GetName() override { return m_name.c_str(); }

 private:
  int m_port;
  std::string m_name;
  std::string m_account;
};

// The client host, made once: the worker is not started, this program runs the cycles.
struct stAsking {
  std::string home;
  std::unique_ptr<cServedProcess> served, global, game;
  std::unique_ptr<cBenchClient> client, routed;
  bool ready = false;
  bool routeReady = false;
};

// The routed side: global, then game logged in on it; this process's link to game is the
// default route, logged in as "map". Null when a server did not report its port.
std::unique_ptr<cBenchClient> StartRoute(stAsking& asking) {
  asking.global = std::make_unique<cServedProcess>(asking.home + "/global", "global", "game");
  const int globalPort = asking.global->Port();
  if (globalPort == 0) return nullptr;
  const std::string gameHome = asking.home + "/game";
  fs::create_directories(gameHome + "/config");
  std::ofstream(gameHome + "/config/login_global.ini")
      << "serverip = 127.0.0.1\naccount = game\npassword = game\n";
  asking.game = std::make_unique<cServedProcess>(gameHome, "game", "map",
                                                 "global:" + std::to_string(globalPort));
  const int gamePort = asking.game->Port();
  if (gamePort == 0) return nullptr;
  return std::make_unique<cBenchClient>(gamePort, "game", "map");
}

stAsking& Asking() {
  static stAsking asking;
  if (!asking.home.empty()) return asking;
  char tmpl[] = "/tmp/tessel_bench_XXXXXX";
  asking.home = ::mkdtemp(tmpl);
  asking.served = std::make_unique<cServedProcess>(asking.home + "/served", "served", "bench");
  const int port = asking.served->Port();
  if (port == 0) {
    std::fprintf(stderr, "%s did not report its port; its console:\n%s\n", ServerExe().c_str(),
                 ReadWhole(asking.home + "/served/console.txt").c_str());
    return asking;
  }
  ::setenv("TESSEL_HOME", (asking.home + "/asking").c_str(), 1);
  WriteAuditConfig(asking.home + "/asking");
  ::setenv("TESSEL_REGISTRY", (asking.home + "/asking/registry").c_str(), 1);
  cTessel& host = cTessel::Instance();
  host.SetProgram(__DATE__, __TIME__, "bench", "bench");
  host.Init();
  stEndPacing quick;
  quick.pollMs = quick.settleMs = 50;
  host.SetEndPacing(quick);
  asking.client = std::make_unique<cBenchClient>(port, "served", "bench");
  host.SetTesselClient(asking.client.get());
  asking.routed = StartRoute(asking);
  if (asking.routed) {
    host.SetTesselClient(asking.routed.get());
    host.SetDefaultRoute(asking.routed->GetBridgeClient());
  }
  if (!host.Start(false)) return asking;
  // The link runs what comes back in the console's groups; Output of level 1 counts instead of
  // printing.
  cTesselCmd::Instance().RegisterOutput(1, "Output", &CountOutput);
  // Logged in once a command is answered: ask every 200 ms until an Output comes back.
  const auto deadline = Clock::now() + kBound;
  auto nextAsk = Clock::now();
  while (Clock::now() < deadline && g_outputs.load() == 0) {
    host.RunOnce(0);
    iClient* net = asking.client->GetNetClient();
    if (net != nullptr && net->IsConnect() && Clock::now() >= nextAsk) {
      SendCmd(net, 1, "Accounts()");
      nextAsk = Clock::now() + std::chrono::milliseconds(200);
    }
  }
  // Answers to the asks still on their way are counted before the measurements start.
  const auto settle = Clock::now() + std::chrono::milliseconds(500);
  while (Clock::now() < settle) host.RunOnce(0);
  asking.ready = g_outputs.load() > 0;
  // The route to global: searched every 500 ms until found (game may not be logged in yet).
  auto nextSearch = Clock::now();
  while (asking.routed && !IsFindRomotePath("global") && Clock::now() < deadline) {
    host.RunOnce(0);
    if (Clock::now() >= nextSearch) {
      FindPathOnRoute("global");
      nextSearch = Clock::now() + std::chrono::milliseconds(500);
    }
  }
  asking.routeReady = IsFindRomotePath("global");
  return asking;
}

// Sends one command and runs cycles until `want` outputs have come back; false on time-out.
bool RunUntil(uint64_t want) {
  const auto deadline = Clock::now() + kBound;
  while (g_outputs.load(std::memory_order_relaxed) < want) {
    if (Clock::now() > deadline) return false;
    cTessel::Instance().RunOnce(0);
  }
  return true;
}

void BM_RemoteCmdRoundTrip(benchmark::State& state) {
  stAsking& asking = Asking();
  if (!asking.ready) {
    state.SkipWithError("the served process did not log the client in");
    return;
  }
  iClient* net = asking.client->GetNetClient();
  std::vector<double> us;
  for (auto _ : state) {
    const uint64_t want = g_outputs.load() + 1;
    const auto start = Clock::now();
    SendCmd(net, 1, "Accounts()");
    if (!RunUntil(want)) {
      state.SkipWithError("no Output came back in time");
      return;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  SetPercentiles(state, us);
}
BENCHMARK(BM_RemoteCmdRoundTrip)->Iterations(kLatencyCommands)->UseRealTime();

void BM_RoutedCmdRoundTrip(benchmark::State& state) {
  stAsking& asking = Asking();
  if (!asking.routeReady) {
    state.SkipWithError("no route from map through game to global was found");
    return;
  }
  std::vector<double> us;
  for (auto _ : state) {
    const uint64_t want = g_outputs.load() + 1;
    const auto start = Clock::now();
    SendRemoteCmd("global", 1, "Accounts()");
    if (!RunUntil(want)) {
      state.SkipWithError("no Output came back along the route in time");
      return;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  SetPercentiles(state, us);
}
BENCHMARK(BM_RoutedCmdRoundTrip)->Iterations(kLatencyCommands)->UseRealTime();

void BM_RemoteCmdPipelined(benchmark::State& state) {
  stAsking& asking = Asking();
  if (!asking.ready) {
    state.SkipWithError("the served process did not log the client in");
    return;
  }
  iClient* net = asking.client->GetNetClient();
  for (auto _ : state) {
    const uint64_t base = g_outputs.load();
    const uint64_t want = base + kPipelinedCommands;
    // Back to back, with at most kWindow commands unanswered: the server's queue of replies to
    // one link is bounded (512 KiB) and a link that overflows it is cut.
    for (int i = 0; i < kPipelinedCommands; ++i) {
      if (!RunUntil(uint64_t(i) < kWindow ? 0 : base + i - kWindow)) break;
      SendCmd(net, 1, "Accounts()");
    }
    if (!RunUntil(want)) {
      state.SkipWithError("not every Output came back in time");
      return;
    }
  }
  state.counters["window"] = double(kWindow);
  state.counters["cmds/s"] = benchmark::Counter(double(state.iterations()) * kPipelinedCommands,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RemoteCmdPipelined)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stAsking& asking = Asking();
  if (asking.client) cTessel::Instance().End();
  asking.served.reset();
  asking.game.reset();
  asking.global.reset();
  std::error_code ec;
  fs::remove_all(asking.home, ec);
  return 0;
}
