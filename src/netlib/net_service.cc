#include "netlib/net_service.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <openssl/ssl.h>

#include "netlib/net_limits.h"
#include "netlib/net_lookup.h"

namespace netlib {

cNetService& cNetService::Instance() {
  static cNetService service;
  return service;
}

cNetService::cNetService() : m_exeName("netlib") {
  // OpenSSL starts first, so that its clean-up at exit runs after the I/O threads were joined
  // here and their per-thread state was given back.
  OPENSSL_init_ssl(0, nullptr);
  unsigned n = kDefaultIoThreads;
  if (const char* env = std::getenv("TESSEL_NET_THREADS")) {
    int v = std::atoi(env);
    if (v > 0 && v <= 64) n = static_cast<unsigned>(v);
  }
  for (unsigned i = 0; i < n; ++i) {
    m_ios.push_back(std::make_unique<cIoContext>());
    m_works.push_back(boost::asio::make_work_guard(*m_ios.back()));
    // Each context makes its reactor now (its epoll, eventfd and timer descriptors): made at the
    // first connection the context takes, out of descriptors then, it threw out of the I/O
    // thread and ended the process.
    boost::asio::steady_timer make_reactor(*m_ios.back());
  }
}

cNetService::~cNetService() {
  // A lookup still waiting on its resolver posts nowhere once the contexts go.
  cNetLookup::Close();
  m_works.clear();
  for (auto& io : m_ios) io->stop();
  for (auto& t : m_threads) t.join();
  for (auto& io : m_ios) io->Shutdown();
}

void cNetService::Start() {
  std::call_once(m_started, [this] {
    for (auto& io : m_ios) m_threads.emplace_back([ctx = io.get()] { ctx->run(); });
  });
}

boost::asio::io_context& cNetService::Io() {
  return *m_ios[m_next.fetch_add(1, std::memory_order_relaxed) % m_ios.size()];
}

uint32_t cNetService::NowMs() {
  static const auto start = std::chrono::steady_clock::now();
  auto d = std::chrono::steady_clock::now() - start;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

void cNetService::SetExeName(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_logLock);
  m_exeName = name;
}

void cNetService::Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_logLock);
  std::cerr << "[" << m_exeName << " net] " << line << '\n';
}

void cNetService::LogPeer(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_logLock);
  const uint32_t now = NowMs();
  if (Elapsed(now, m_peerSecond) >= 1000) {
    m_peerSecond = now;
    m_peerLines = 0;
  }
  if (m_peerLines >= kPeerLinesPerSecond) {
    ++m_peerSkipped;
    return;
  }
  ++m_peerLines;
  if (m_peerSkipped != 0)
    std::cerr << "[" << m_exeName << " net] " << m_peerSkipped
              << " lines about peers left out (more than " << kPeerLinesPerSecond << " a second)\n";
  m_peerSkipped = 0;
  std::cerr << "[" << m_exeName << " net] " << line << '\n';
}

std::string SampleBytes(const char* data, size_t size) {
  std::string out;
  char hex[4];
  for (size_t i = 0; i < size && i < 16; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(data[i]));
    if (i) out += ' ';
    out += hex;
  }
  return out;
}

}  // namespace netlib
