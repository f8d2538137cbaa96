// Throughput of Tessel links against a raw Boost.Asio baseline with the same framing (4-byte
// little-endian length, then the record): records/s and bytes/s for 64-byte and 16 KiB records
// over 1 and 100 links. The main cases run sender and receiver in two processes, as a cluster
// does: the receiving server is a child process this program starts, and hands each record to
// the heap as a queue of records must. Plain links beside TLS 1.3 (on development certificates
// made for the run), compressed, and both, with the ratio of each to plain. Secondary cases run
// both sides in this one process, and each side of Tessel alone against the raw other side.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench_child.h"
#include "tessel/contracts/netlib.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kMaxLinks = 100;
constexpr size_t kReadBytes = 64 * 1024;   // receive buffer of the baseline
constexpr size_t kBatchBytes = 64 * 1024;  // the baseline writes chunks of frames of at most this
constexpr auto kBound = std::chrono::seconds(120);  // bound of every wait of this program

// Records per iteration: about 16 MB of 64-byte records or 64 MB of 16 KiB records.
uint64_t RecordsPerIteration(size_t size) {
  return size <= 64 ? 250000 : 4000;
}

// The link kinds: word 1 (TLS) and word 5 (compression) of stNetParam.
constexpr const char* kCodedNames[] = {"plain", "tls", "packed", "tls+packed"};

// Measured rates by (case, size, links or kind), for the ratios printed at the end.
enum eCase { Tessel2P, Raw2P, Coded2P, Tessel1P, Raw1P, Coded1P };
std::map<std::tuple<int, size_t, int>, double> g_rates;

struct alignas(64) stSlot {
  std::atomic<uint64_t> records{0};
};

// ---- Tessel ----------------------------------------------------------------------------------

// Counts the records of each link; with `copy`, first hands each to the heap, as the queue of a
// receiving program must.
class cCountingCallback : public iCallbackNet {
 public:
  explicit cCountingCallback(bool copy = false) : m_copy(copy) {}
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    if (kind != 2) return 1;
    if (m_copy) {
      std::unique_ptr<char[]> record(new char[size + 1]);
      std::memcpy(record.get(), data, size);
      benchmark::DoNotOptimize(record.get());
    }
    m_slots[send->GetID() % (kMaxLinks + 1)].records.fetch_add(1, std::memory_order_relaxed);
    return 1;
  }
  uint64_t Total() {
    uint64_t sum = 0;
    for (auto& s : m_slots) sum += s.records.load(std::memory_order_relaxed);
    return sum;
  }

 private:
  const bool m_copy;
  stSlot m_slots[kMaxLinks + 1];
};

class cIgnore : public iCallbackNet {
 public:
  int OnMessage(int, const void*, unsigned long, iSend*) override { return 1; }
};

// The loopback server every Tessel case measures: no link limit, records up to 64 KiB, encoded
// as `kind` says.
stServerInfo BenchServerInfo(int kind) {
  stServerInfo info;
  std::strcpy(info.name, "bench");
  info.bindip = 0x7F000001;
  info.maxlinks = 0;
  info.net.word[stNetParam::NetParam_MaxRecvRecord] = 65536;
  info.net.word[stNetParam::NetParam_Encode] = kind & 1;
  info.net.word[stNetParam::NetParam_Compress] = kind >> 1;
  return info;
}

// Its clients: a send queue of 64 MiB, so that pacing, not the bound, holds the sender back.
stClientInfo BenchClientInfo(int kind) {
  stClientInfo info;
  info.name = "bench";
  info.net = BenchServerInfo(kind).net;
  info.net.word[stNetParam::NetParam_MaxSendRecord] = 65536;
  info.net.word[stNetParam::NetParam_SendQueueKB] = 64 * 1024;
  return info;
}

// ---- raw Asio baseline -----------------------------------------------------------------------

// The floor a record library is held to: raw Asio with the same framing, the sender writing
// ready-made 64 KiB chunks of back-to-back frames (what a writer that coalesces its queue
// achieves), the receiver reading 64 KiB at a time on its own thread, checking every frame and
// copying each record to the heap, as a library that hands records on must.
class cRawReceiver : public std::enable_shared_from_this<cRawReceiver> {
 public:
  cRawReceiver(tcp::socket socket, std::atomic<uint64_t>& total)
      : m_socket(std::move(socket)), m_total(total), m_buffer(kReadBytes) {}
  void Read() {
    m_socket.async_read_some(asio::buffer(m_buffer.data() + m_have, m_buffer.size() - m_have),
                             [self = shared_from_this()](auto ec, size_t n) {
                               if (!ec) self->Take(n);
                             });
  }

 private:
  void Take(size_t n) {
    m_have += n;
    size_t at = 0, need = 0;
    uint64_t records = 0;
    while (m_have - at >= 4) {
      uint32_t len;
      std::memcpy(&len, m_buffer.data() + at, 4);
      if (m_have - at - 4 < len) {
        need = 4 + len;
        break;
      }
      std::unique_ptr<char[]> copy(new char[len + 1]);
      std::memcpy(copy.get(), m_buffer.data() + at + 4, len);
      m_handed.push_back(std::move(copy));
      at += 4 + len;
      ++records;
    }
    m_handed.clear();  // the consumer drops what it was handed
    std::memmove(m_buffer.data(), m_buffer.data() + at, m_have - at);
    m_have -= at;
    if (need > m_buffer.size()) m_buffer.resize(need);
    m_total.fetch_add(records, std::memory_order_relaxed);
    Read();
  }

  tcp::socket m_socket;
  std::atomic<uint64_t>& m_total;
  std::vector<char> m_buffer;
  size_t m_have = 0;
  std::vector<std::unique_ptr<char[]>> m_handed;
};

// The receiving side of a pair: a Tessel server of link kind `kind`, or a raw Asio acceptor on
// its own thread.
class cReceiverSide {
 public:
  cReceiverSide(bool tessel, int kind, bool copy) : m_counter(copy) {
    if (tessel) {
      InitSocket();
      stServerInfo info = BenchServerInfo(kind);
      m_server = Net_CreateServer();
      if (m_server->Init(&info, &m_counter)) m_port = m_server->GetPort();
      return;
    }
    m_acceptor.emplace(m_io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    m_port = m_acceptor->local_endpoint().port();
    Accept();
    m_thread = std::thread([this] { m_io.run(); });
  }
  ~cReceiverSide() {
    if (m_server) {
      m_server->Stop();
      m_server->Release();
      return;
    }
    m_acceptor->close();
    m_work.reset();
    m_io.stop();
    m_thread.join();
  }
  unsigned short Port() const { return m_port; }
  uint64_t Total() { return m_server ? m_counter.Total() : m_raw.load(); }

 private:
  void Accept() {
    m_acceptor->async_accept([this](auto ec, tcp::socket s) {
      if (ec) return;
      s.set_option(tcp::no_delay(true));
      std::make_shared<cRawReceiver>(std::move(s), m_raw)->Read();
      Accept();
    });
  }

  cCountingCallback m_counter;
  iServer* m_server = nullptr;
  asio::io_context m_io{1};
  asio::executor_work_guard<asio::io_context::executor_type> m_work{asio::make_work_guard(m_io)};
  std::optional<tcp::acceptor> m_acceptor;
  std::atomic<uint64_t> m_raw{0};
  std::thread m_thread;
  unsigned short m_port = 0;
};

// Text records compress, as most records of a game do; the plain cases send the same bytes.
std::vector<char> TextRecord(size_t size) {
  const char text[] = "pos 1024 2048 hp 100 mp 50 name warrior state idle ";
  std::vector<char> record(size);
  for (size_t i = 0; i < size; ++i) record[i] = text[i % (sizeof text - 1)];
  return record;
}

// The sending side of a pair: Tessel clients of link kind `kind` given one record per Send, or
// raw Asio sockets writing ready-made chunks of frames from the calling thread.
class cSenderSide {
 public:
  cSenderSide(bool tessel, int kind, int links, unsigned short port, size_t size)
      : m_links(links), m_size(size), m_record(TextRecord(size)) {
    if (tessel) {
      OpenClients(kind, port);
      return;
    }
    for (int i = 0; i < links; ++i) {
      m_sockets.emplace_back(m_io);
      m_sockets.back().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
      m_sockets.back().set_option(tcp::no_delay(true));
    }
    m_perChunk = std::max<size_t>(1, kBatchBytes / (4 + size));
    m_chunk.resize((4 + size) * m_perChunk);
    for (size_t i = 0; i < m_perChunk; ++i) {
      uint32_t len = static_cast<uint32_t>(size);
      std::memcpy(m_chunk.data() + i * (4 + size), &len, 4);
      std::memcpy(m_chunk.data() + i * (4 + size) + 4, m_record.data(), size);
    }
  }
  ~cSenderSide() {
    for (auto* c : m_clients) {
      c->Stop();
      c->Release();
    }
  }
  // Whether every link is up.
  bool Ready() const { return m_ready; }
  // Sends `records` records over the links in turn.
  void Send(uint64_t records) {
    if (m_clients.empty()) return WriteChunks(records);
    // Each link is held to 256 KiB unsent, as a program keeps well under a link's default bound
    // of 512 KiB (a deeper queue only makes the bytes colder by the time they are written); a
    // sender that reached it waits until half has left, so that it sleeps seldom.
    const unsigned long pace = 256u << 10;
    for (uint64_t i = 0; i < records; ++i) {
      iClient* c = m_clients[i % m_links];
      if ((i / m_links) % 64 == 0 && c->GetUnsentBytes() > pace) {
        while (c->GetUnsentBytes() > pace / 2)
          std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
      c->Send(reinterpret_cast<const stMsg*>(m_record.data()), m_size);
    }
  }

 private:
  void OpenClients(int kind, unsigned short port) {
    stClientInfo cinfo = BenchClientInfo(kind);
    for (int i = 0; i < m_links; ++i) {
      iClient* c = Net_CreateClient(0);
      if (!c->Init(&cinfo, &m_ignore)) {
        c->Release();
        m_ready = false;
        return;
      }
      c->Connect("127.0.0.1", port);
      m_clients.push_back(c);
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (auto* c : m_clients) {
      while (!c->IsConnect() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      m_ready = m_ready && c->IsConnect();
    }
  }
  void WriteChunks(uint64_t records) {
    for (uint64_t i = 0; i < records;) {
      size_t frames = static_cast<size_t>(std::min<uint64_t>(m_perChunk, records - i));
      asio::write(m_sockets[(i / m_perChunk) % m_links],
                  asio::buffer(m_chunk.data(), frames * (4 + m_size)));
      i += frames;
    }
  }

  const int m_links;
  const size_t m_size;
  std::vector<char> m_record;
  cIgnore m_ignore;
  std::vector<iClient*> m_clients;
  bool m_ready = true;
  asio::io_context m_io;
  std::vector<tcp::socket> m_sockets;
  std::vector<char> m_chunk;
  size_t m_perChunk = 1;
};

// CPU seconds (user and system) of this whole process so far.
double CpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

void SetRates(benchmark::State& state, uint64_t sent, size_t size) {
  state.counters["records/s"] = benchmark::Counter(double(sent), benchmark::Counter::kIsRate);
  state.counters["MB/s"] =
      benchmark::Counter(double(sent) * size / 1e6, benchmark::Counter::kIsRate);
}

// Makes the certificates under a temporary folder and works there, once; main removes it. A
// receiving child starts in the same folder.
std::string g_tlsHome;
bool EnterTlsHome() {
  static const bool ready = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "tessel_bench_XXXXXX").string();
    if (!::mkdtemp(dir.data())) return false;
    g_tlsHome = dir;
    std::string make = "bash '" TESSEL_SOURCE_DIR "/scripts/tls-certs' '" + dir +
                       "/config/tls' bench 127.0.0.1 >/dev/null";
    if (std::system(make.c_str()) != 0) return false;
    std::filesystem::current_path(dir);
    return true;
  }();
  return ready;
}

// ---- two processes ---------------------------------------------------------------------------

// What the receiving child answers: whether the records named arrived, and its CPU seconds.
struct stReached {
  bool reached = false;
  double cpu = 0;
};

// The receiving child: "--receiver tessel|raw KIND". Answers its port, then, for each total of
// records the parent names, once that many arrived (or did not in time).
int RunReceiverChild(bool tessel, int kind) {
  cReceiverSide receiver(tessel, kind, true);
  if (!benchkit::AnswerParent(receiver.Port()) || !receiver.Port()) return 1;
  uint64_t total = 0;
  while (benchkit::ReadParent(total)) {
    const auto deadline = Clock::now() + kBound;
    while (receiver.Total() < total && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    const stReached answer{receiver.Total() >= total, CpuSeconds()};
    if (!benchkit::AnswerParent(answer)) return 1;
  }
  return 0;
}

// Records from this process to a receiving child: both sides Tessel, or both raw Asio. Besides
// the rates, the CPU time each side spent per record.
double RunTwoProcesses(benchmark::State& state, bool tessel, int kind, int links) {
  const size_t size = static_cast<size_t>(state.range(0));
  if (kind & 1 && !EnterTlsHome()) return state.SkipWithError("no certificates"), 0;
  benchkit::cBenchChild child({"--receiver", tessel ? "tessel" : "raw", std::to_string(kind)});
  unsigned short port = 0;
  if (!child.Started() || !child.Get(port, 30) || !port)
    return state.SkipWithError("the receiving child did not start"), 0;
  cSenderSide sender(tessel, kind, links, port, size);
  if (!sender.Ready()) return state.SkipWithError("links could not start"), 0;
  const uint64_t perIteration = RecordsPerIteration(size);
  uint64_t sent = 0;
  double seconds = 0, sendCpu = 0, recvCpu = 0;
  stReached before, after;
  if (!child.Put(sent) || !child.Get(before)) return state.SkipWithError("the child is gone"), 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const double cpu = CpuSeconds();
    sender.Send(perIteration);
    sent += perIteration;
    if (!child.Put(sent) || !child.Get(after) || !after.reached)
      return state.SkipWithError("records went missing"), 0;
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    sendCpu += CpuSeconds() - cpu;
    recvCpu += after.cpu - before.cpu;
    before = after;
  }
  SetRates(state, sent, size);
  state.counters["send_cpu_us"] = sendCpu / double(sent) * 1e6;
  state.counters["recv_cpu_us"] = recvCpu / double(sent) * 1e6;
  return double(sent) / seconds;
}

std::tuple<int, size_t, int> Key(eCase c, const benchmark::State& state) {
  return {c, static_cast<size_t>(state.range(0)), static_cast<int>(state.range(1))};
}

void BM_Tessel2P(benchmark::State& state) {
  g_rates[Key(Tessel2P, state)] = RunTwoProcesses(state, true, 0, int(state.range(1)));
}

void BM_RawAsio2P(benchmark::State& state) {
  g_rates[Key(Raw2P, state)] = RunTwoProcesses(state, false, 0, int(state.range(1)));
}

void BM_TesselCoded2P(benchmark::State& state) {
  state.SetLabel(kCodedNames[state.range(1)]);
  g_rates[Key(Coded2P, state)] = RunTwoProcesses(state, true, int(state.range(1)), 1);
}

// ---- one process -----------------------------------------------------------------------------

// Records from one sending side to one receiving side in this process, each Tessel or raw Asio.
double RunPair(benchmark::State& state, bool tesselSends, bool tesselReceives, int kind = 0,
               int links = 0) {
  const size_t size = static_cast<size_t>(state.range(0));
  if (!links) links = static_cast<int>(state.range(1));
  if (kind & 1 && !EnterTlsHome()) return state.SkipWithError("no certificates"), 0;
  cReceiverSide receiver(tesselReceives, kind, false);
  cSenderSide sender(tesselSends, kind, links, receiver.Port(), size);
  if (!sender.Ready()) return state.SkipWithError("links could not start"), 0;
  const uint64_t perIteration = RecordsPerIteration(size);
  uint64_t sent = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    sender.Send(perIteration);
    sent += perIteration;
    const auto deadline = Clock::now() + kBound;
    while (receiver.Total() < sent && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    if (receiver.Total() < sent) return state.SkipWithError("records went missing"), 0;
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  SetRates(state, sent, size);
  return double(sent) / seconds;
}

void BM_Tessel(benchmark::State& state) {
  g_rates[Key(Tessel1P, state)] = RunPair(state, true, true);
}

void BM_RawAsio(benchmark::State& state) {
  g_rates[Key(Raw1P, state)] = RunPair(state, false, false);
}

// Each side of Tessel alone against the raw other side, to tell where a gap comes from.
void BM_TesselSendsRawReceives(benchmark::State& state) {
  RunPair(state, true, false);
}

void BM_RawSendsTesselReceives(benchmark::State& state) {
  RunPair(state, false, true);
}

void BM_TesselCoded(benchmark::State& state) {
  state.SetLabel(kCodedNames[state.range(1)]);
  g_rates[Key(Coded1P, state)] = RunPair(state, true, true, int(state.range(1)), 1);
}

void Shapes(benchmark::internal::Benchmark* b) {
  for (int size : {64, 16384}) {
    for (int links : {1, 100}) b->Args({size, links});
  }
  b->ArgNames({"bytes", "links"})->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
}

void CodedShapes(benchmark::internal::Benchmark* b) {
  b->ArgsProduct({{64, 16384}, {0, 1, 2, 3}})
      ->ArgNames({"bytes", "kind"})
      ->Unit(benchmark::kMillisecond)
      ->MinTime(1.0)
      ->UseRealTime();
}

BENCHMARK(BM_RawAsio2P)->Apply(Shapes);
BENCHMARK(BM_Tessel2P)->Apply(Shapes);
BENCHMARK(BM_TesselCoded2P)->Apply(CodedShapes);
BENCHMARK(BM_RawAsio)->Apply(Shapes);
BENCHMARK(BM_Tessel)->Apply(Shapes);
BENCHMARK(BM_TesselSendsRawReceives)->Apply(Shapes);
BENCHMARK(BM_RawSendsTesselReceives)->Apply(Shapes);
BENCHMARK(BM_TesselCoded)->Apply(CodedShapes);

void PrintRatios() {
  for (auto [tessel, raw, what] :
       {std::tuple{Tessel2P, Raw2P, "two processes"}, std::tuple{Tessel1P, Raw1P, "one process"}}) {
    for (int size : {64, 16384}) {
      for (int links : {1, 100}) {
        auto t = g_rates.find({tessel, size, links});
        auto r = g_rates.find({raw, size, links});
        if (t == g_rates.end() || r == g_rates.end() || !r->second) continue;
        std::printf("ratio Tessel/baseline, %s, %5d-byte records, %3d links: %.2f (%.0f vs %.0f)\n",
                    what, size, links, t->second / r->second, t->second, r->second);
      }
    }
  }
  for (auto [coded, what] : {std::pair{Coded2P, "two processes"}, {Coded1P, "one process"}}) {
    for (int size : {64, 16384}) {
      auto plain = g_rates.find({coded, size, 0});
      if (plain == g_rates.end() || !plain->second) continue;
      for (int kind = 1; kind < 4; ++kind) {
        auto rate = g_rates.find({coded, size, kind});
        if (rate == g_rates.end()) continue;
        std::printf("ratio %s/plain, %s, %5d-byte records, 1 link: %.2f (%.0f vs %.0f)\n",
                    kCodedNames[kind], what, size, rate->second / plain->second, rate->second,
                    plain->second);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--receiver") == 0)
    return RunReceiverChild(std::strcmp(argv[2], "tessel") == 0, std::atoi(argv[3]));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  PrintRatios();
  if (!g_tlsHome.empty()) {
    std::filesystem::current_path("/");
    std::filesystem::remove_all(g_tlsHome);
  }
  return 0;
}
