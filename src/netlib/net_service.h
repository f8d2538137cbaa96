// The process-wide I/O service of the network library: a small pool of I/O threads, each running
// an io_context of its own, the millisecond clock of the limits, and the library's log lines.
// Any thread.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace netlib {

class cNetService {
 public:
  static cNetService& Instance();

  // Starts the I/O threads once; later calls do nothing.
  void Start();
  // The io_context for a new connection or server, taken in turn, so that each connection's
  // reads, writes and timers stay on one I/O thread.
  boost::asio::io_context& Io();
  // Milliseconds of a monotonic clock, counted from the first use of the service.
  static uint32_t NowMs();
  // Milliseconds from `then` to `now` of NowMs(); 0 when `then` was taken after `now`.
  static uint32_t Elapsed(uint32_t now, uint32_t then) {
    int32_t d = static_cast<int32_t>(now - then);
    return d > 0 ? static_cast<uint32_t>(d) : 0;
  }

  void SetExeName(const std::string& name);
  // Writes one log line (to standard error) prefixed with the executable's name.
  void Log(const std::string& line);
  // The same for a line about what a peer did (a cut, a refused hand-shake), at most
  // kPeerLinesPerSecond a second: a peer reconnecting would write them at its speed. The lines
  // past it are counted, and the next line written first says how many were left out.
  static constexpr unsigned kPeerLinesPerSecond = 30;
  void LogPeer(const std::string& line);

  ~cNetService();

 private:
  cNetService();

  // An io_context whose services can be shut down before it is destroyed: a handler still
  // pending on one context may hold objects of another (a link's server lives on another
  // thread), so every context is shut down, its handlers freed, before any is destroyed.
  class cIoContext : public boost::asio::io_context {
   public:
    cIoContext() : io_context(1) {}
    void Shutdown() { shutdown(); }
  };
  using tWork = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
  std::vector<std::unique_ptr<cIoContext>> m_ios;
  std::vector<tWork> m_works;
  std::atomic<unsigned> m_next{0};
  std::once_flag m_started;
  std::vector<std::thread> m_threads;
  std::mutex m_logLock;
  std::string m_exeName;
  uint32_t m_peerSecond = 0;        // when the present second of peer lines began (m_logLock)
  unsigned m_peerLines = 0;         // written in it (m_logLock)
  unsigned long m_peerSkipped = 0;  // left out and not yet told (m_logLock)
};

// A printable sample of raw bytes for log lines: at most 16 bytes in hex.
std::string SampleBytes(const char* data, size_t size);

}  // namespace netlib
