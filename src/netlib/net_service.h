// The process-wide I/O service of the network library: one io_context run by a small pool of
// threads, the millisecond clock of the limits, and the library's log lines. Any thread.
#pragma once

// First, so that its diagnostic setting covers every header after it.
#include "netlib/net_asio.h"

#include <cstdint>
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
  boost::asio::io_context& Io() { return m_io; }
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

  ~cNetService();

 private:
  cNetService();

  boost::asio::io_context m_io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
  std::once_flag m_started;
  std::vector<std::thread> m_threads;
  std::mutex m_logLock;
  std::string m_exeName;
};

// A printable sample of raw bytes for log lines: at most 16 bytes in hex.
std::string SampleBytes(const char* data, size_t size);

}  // namespace netlib
