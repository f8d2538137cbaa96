// The metrics port's door: takes every connection on the served address, waits for its request
// on one thread of its own (one poll over them all), and only then hands the request to the web
// server, which listens on a loopback port of its own, and its answer back. The web server gives
// each connection a thread until its request has come, so idle connections queued a scrape: 100
// of them made it wait past the scraper's 10 s. Here a connection that sends no whole request
// within 2 s is closed, and at most 64 are open: the oldest still sending its request makes room
// for a new one. Start and Stop: the thread that starts the metrics; the rest: its own thread.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class cMetricsGate {
 public:
  static constexpr int kMostOpen = 64;
  static constexpr uint64_t kRequestMs = 2000;     // to send the request's head
  static constexpr uint64_t kExchangeMs = 30000;   // for the whole exchange
  static constexpr uint64_t kAcceptPauseMs = 100;  // after a failed accept (no descriptor left)

  ~cMetricsGate();
  // "A.B.C.D:PORT" or "[IPv6]:PORT" with a port of 0 to 65535 as a socket address; false when
  // the text is neither (a port alone, "999.1.1.1", a port past 65535).
  static bool ParseAddress(const std::string& address, sockaddr_storage& at, socklen_t& size);
  // Listens on "A.B.C.D:PORT" or "[IPv6]:PORT" (port 0: a free one) and hands each request to
  // 127.0.0.1:innerPort; false with the reason in `error`.
  bool Start(const std::string& address, int innerPort, std::string& error);
  void Stop();
  // The port served on; 0 when off.
  int Port() const { return m_nPort; }

 private:
  struct stConn {
    int client = -1, inner = -1;
    uint64_t startMs = 0;
    std::string head, answer;
    size_t sent = 0;
    bool answered = false;  // the web server closed its side
  };
  void Run();
  void Accept(uint64_t nowMs);
  // Reads what is ready on the connection; false when it is done with.
  bool Serve(stConn& conn, short clientEvents, short innerEvents);
  bool HandOver(stConn& conn);
  void Close(stConn& conn);
  // One line a second at most, with the counts since the last.
  void Report(uint64_t nowMs);
  // An accept that failed for want of a descriptor (or memory) leaves the connection waiting
  // where it is: the listener is left out of the poll for a pause, said once until one passes.
  void AcceptFailed(uint64_t nowMs, int error);
  void AcceptedAgain();

  int m_listen = -1;
  int m_wake[2] = {-1, -1};
  int m_nPort = 0, m_nInner = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  // The gate's thread only.
  std::vector<stConn> m_conns;
  uint64_t m_idle = 0, m_slow = 0, m_refused = 0, m_nextLineMs = 0;
  uint64_t m_acceptFailed = 0, m_acceptAtMs = 0, m_unpassed = 0;
  int m_unpassedError = 0;
};
