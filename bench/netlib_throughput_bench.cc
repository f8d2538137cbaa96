// Throughput of Tessel links against a raw Boost.Asio baseline with the same framing (4-byte
// little-endian length, then the record), in one process and one run: records/s and bytes/s for
// 64-byte and 16 KiB records over 1 and 100 links, then the ratio Tessel/baseline, and each side
// of Tessel alone against the raw other side. Then encoded links beside plain ones in the same
// run: TLS 1.3 (on development certificates made for the run), compressed, and both, with the
// ratio of each to plain.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <atomic>

#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tessel/contracts/netlib.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kMaxLinks = 100;
constexpr size_t kReadBytes = 64 * 1024;   // receive buffer of the baseline
constexpr size_t kBatchBytes = 64 * 1024;  // the baseline writes chunks of frames of at most this

// Records per iteration: about 16 MB of 64-byte records or 64 MB of 16 KiB records.
uint64_t RecordsPerIteration(size_t size) {
  return size <= 64 ? 250000 : 4000;
}

// Measured rates by (kind, size, links), for the ratio printed at the end.
std::map<std::tuple<int, size_t, int>, double> g_rates;

struct alignas(64) stSlot {
  std::atomic<uint64_t> records{0};
};

// ---- Tessel ----------------------------------------------------------------------------------

class cCountingCallback : public iCallbackNet {
 public:
  int OnMessage(int kind, const void*, unsigned long, iSend* send) override {
    if (kind == 2)
      m_slots[send->GetID() % (kMaxLinks + 1)].records.fetch_add(1, std::memory_order_relaxed);
    return 1;
  }
  uint64_t Total() {
    uint64_t sum = 0;
    for (auto& s : m_slots) sum += s.records.load(std::memory_order_relaxed);
    return sum;
  }

 private:
  stSlot m_slots[kMaxLinks + 1];
};

class cIgnore : public iCallbackNet {
 public:
  int OnMessage(int, const void*, unsigned long, iSend*) override { return 1; }
};

// The loopback server both Tessel cases measure: no link limit, records up to 64 KiB.
stServerInfo BenchServerInfo() {
  stServerInfo info;
  std::strcpy(info.name, "bench");
  info.bindip = 0x7F000001;
  info.maxlinks = 0;
  info.net.word[stNetParam::NetParam_MaxRecvRecord] = 65536;
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

// The receiving side of a pair: a Tessel server, or a raw Asio acceptor on its own thread.
class cReceiverSide {
 public:
  explicit cReceiverSide(bool tessel) {
    if (tessel) {
      InitSocket();
      stServerInfo info = BenchServerInfo();
      m_server = Net_CreateServer();
      m_server->Init(&info, &m_counter);
      m_port = m_server->GetPort();
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

// The sending side of a pair: Tessel clients given one record per Send, or raw Asio sockets
// writing ready-made chunks of frames from the calling thread.
class cSenderSide {
 public:
  cSenderSide(bool tessel, int links, unsigned short port, size_t size)
      : m_links(links), m_size(size), m_record(size, 'r') {
    if (tessel) {
      OpenClients(port);
      return;
    }
    for (int i = 0; i < links; ++i) {
      m_sockets.emplace_back(m_io);
      m_sockets.back().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
      m_sockets.back().set_option(tcp::no_delay(true));
    }
    m_perChunk = std::max<size_t>(1, kBatchBytes / (4 + size));
    m_chunk.assign((4 + size) * m_perChunk, 'r');
    for (size_t i = 0; i < m_perChunk; ++i) {
      uint32_t len = static_cast<uint32_t>(size);
      std::memcpy(m_chunk.data() + i * (4 + size), &len, 4);
    }
  }
  ~cSenderSide() {
    for (auto* c : m_clients) {
      c->Stop();
      c->Release();
    }
  }
  // Sends `records` records over the links in turn.
  void Send(uint64_t records) {
    if (m_clients.empty()) return WriteChunks(records);
    // One link is held to 4 MiB unsent, each of many to 256 KiB.
    const unsigned long pace = m_links == 1 ? 4u << 20 : 256u << 10;
    for (uint64_t i = 0; i < records; ++i) {
      iClient* c = m_clients[i % m_links];
      if ((i / m_links) % 64 == 0) {
        while (c->GetUnsentBytes() > pace)
          std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
      c->Send(reinterpret_cast<const stMsg*>(m_record.data()), m_size);
    }
  }

 private:
  void OpenClients(unsigned short port) {
    stClientInfo cinfo;
    cinfo.net.word[stNetParam::NetParam_MaxSendRecord] = 65536;
    cinfo.net.word[stNetParam::NetParam_SendQueueKB] = 64 * 1024;
    for (int i = 0; i < m_links; ++i) {
      iClient* c = Net_CreateClient(0);
      c->Init(&cinfo, &m_ignore);
      c->Connect("127.0.0.1", port);
      m_clients.push_back(c);
    }
    auto ready = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < ready) {
      bool all = true;
      for (auto* c : m_clients) all = all && c->IsConnect();
      if (all) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
  asio::io_context m_io;
  std::vector<tcp::socket> m_sockets;
  std::vector<char> m_chunk;
  size_t m_perChunk = 1;
};

// Records from one sending side to one receiving side, each Tessel or raw Asio.
double RunPair(benchmark::State& state, bool tesselSends, bool tesselReceives) {
  const size_t size = static_cast<size_t>(state.range(0));
  const int links = static_cast<int>(state.range(1));
  cReceiverSide receiver(tesselReceives);
  cSenderSide sender(tesselSends, links, receiver.Port(), size);
  const uint64_t perIteration = RecordsPerIteration(size);
  uint64_t sent = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    sender.Send(perIteration);
    sent += perIteration;
    while (receiver.Total() < sent) std::this_thread::sleep_for(std::chrono::microseconds(20));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["records/s"] = benchmark::Counter(double(sent), benchmark::Counter::kIsRate);
  state.counters["MB/s"] =
      benchmark::Counter(double(sent) * size / 1e6, benchmark::Counter::kIsRate);
  return double(sent) / seconds;
}

std::tuple<int, size_t, int> Key(int kind, const benchmark::State& state) {
  return {kind, static_cast<size_t>(state.range(0)), static_cast<int>(state.range(1))};
}

void BM_Tessel(benchmark::State& state) {
  g_rates[Key(0, state)] = RunPair(state, true, true);
}

void BM_RawAsio(benchmark::State& state) {
  g_rates[Key(1, state)] = RunPair(state, false, false);
}

// Each side of Tessel alone against the raw other side, to tell where a gap comes from.
void BM_TesselSendsRawReceives(benchmark::State& state) {
  RunPair(state, true, false);
}

void BM_RawSendsTesselReceives(benchmark::State& state) {
  RunPair(state, false, true);
}

// ---- encoded links -----------------------------------------------------------------------------

// The link kinds of the encoded rows: word 1 (TLS) and word 5 (compression) of stNetParam.
constexpr const char* kCodedNames[] = {"plain", "tls", "packed", "tls+packed"};
std::map<std::pair<size_t, int>, double> g_codedRates;  // (size, kind): records/s

// A record of game-like text: compressible, as most records are.
std::vector<char> TextRecord(size_t size) {
  const char text[] = "pos 1024 2048 hp 100 mp 50 name warrior state idle ";
  std::vector<char> record(size);
  for (size_t i = 0; i < size; ++i) record[i] = text[i % (sizeof text - 1)];
  return record;
}

// Makes the certificates under a temporary folder and works there, once; main removes it.
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

void BM_TesselCoded(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const int kind = static_cast<int>(state.range(1));
  if (!EnterTlsHome()) return state.SkipWithError("no certificates (openssl missing?)");
  InitSocket();
  cCountingCallback counter;
  cIgnore ignore;
  stServerInfo info = BenchServerInfo();
  info.net.word[stNetParam::NetParam_Encode] = kind & 1;
  info.net.word[stNetParam::NetParam_Compress] = kind >> 1;
  iServer* server = Net_CreateServer();
  stClientInfo cinfo;
  cinfo.name = "bench";
  cinfo.net = info.net;
  cinfo.net.word[stNetParam::NetParam_MaxSendRecord] = 65536;
  cinfo.net.word[stNetParam::NetParam_SendQueueKB] = 64 * 1024;
  iClient* client = Net_CreateClient(0);
  if (!server->Init(&info, &counter) || !client->Init(&cinfo, &ignore))
    return state.SkipWithError("links could not start");
  client->Connect("127.0.0.1", server->GetPort());
  auto ready = Clock::now() + std::chrono::seconds(10);
  while (!client->IsConnect() && Clock::now() < ready)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::vector<char> record = TextRecord(size);
  const uint64_t perIteration = RecordsPerIteration(size);
  uint64_t sent = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (uint64_t i = 0; i < perIteration; ++i) {
      if (i % 64 == 0) {
        while (client->GetUnsentBytes() > (4u << 20))
          std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
      client->Send(reinterpret_cast<const stMsg*>(record.data()), size);
    }
    sent += perIteration;
    while (counter.Total() < sent) std::this_thread::sleep_for(std::chrono::microseconds(20));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.SetLabel(kCodedNames[kind]);
  state.counters["records/s"] = benchmark::Counter(double(sent), benchmark::Counter::kIsRate);
  state.counters["MB/s"] =
      benchmark::Counter(double(sent) * size / 1e6, benchmark::Counter::kIsRate);
  g_codedRates[{size, kind}] = double(sent) / seconds;
  client->Stop();
  client->Release();
  server->Stop();
  server->Release();
}

void Shapes(benchmark::internal::Benchmark* b) {
  for (int size : {64, 16384}) {
    for (int links : {1, 100}) b->Args({size, links});
  }
  b->ArgNames({"bytes", "links"})->Unit(benchmark::kMillisecond)->MinTime(1.0);
}

BENCHMARK(BM_RawAsio)->Apply(Shapes)->UseRealTime();
BENCHMARK(BM_Tessel)->Apply(Shapes)->UseRealTime();
BENCHMARK(BM_TesselSendsRawReceives)->Apply(Shapes)->UseRealTime();
BENCHMARK(BM_RawSendsTesselReceives)->Apply(Shapes)->UseRealTime();
BENCHMARK(BM_TesselCoded)
    ->ArgsProduct({{64, 16384}, {0, 1, 2, 3}})
    ->ArgNames({"bytes", "kind"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  for (int size : {64, 16384}) {
    for (int links : {1, 100}) {
      auto tessel = g_rates.find({0, size, links});
      auto raw = g_rates.find({1, size, links});
      if (tessel == g_rates.end() || raw == g_rates.end()) continue;
      std::printf(
          "ratio Tessel/baseline, %5d-byte records, %3d links: %.2f (%.0f vs %.0f records/s)\n",
          size, links, tessel->second / raw->second, tessel->second, raw->second);
    }
  }
  if (!g_tlsHome.empty()) {
    std::filesystem::current_path("/");
    std::filesystem::remove_all(g_tlsHome);
  }
  for (const auto& [key, rate] : g_codedRates) {
    auto plain = g_codedRates.find({key.first, 0});
    if (key.second == 0 || plain == g_codedRates.end()) continue;
    std::printf("ratio %s/plain, %5zu-byte records, 1 link: %.2f (%.0f vs %.0f records/s)\n",
                kCodedNames[key.second], key.first, rate / plain->second, rate, plain->second);
  }
  return 0;
}
