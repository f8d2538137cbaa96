// The metrics port: takes every connection on the served address, waits for its request on one
// thread of its own (one poll over them all), answers it there (cMetricsAnswer) and closes the
// connection once the answer is sent. No other port is open: a web server's port on loopback,
// behind the gate, let any local user hold its threads with idle connections. A connection that
// sends no whole request within 2 s is closed, and at most 64 are open: the oldest still sending
// its request makes room for a new one. Start and Stop: the thread that starts the metrics; the
// rest: its own thread.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class cMetricsGate {
 public:
  static constexpr int kMostOpen = 64;
  static constexpr uint64_t kRequestMs = 2000;    // to send the request's head
  static constexpr uint64_t kExchangeMs = 30000;  // for the whole exchange
  static constexpr uint64_t kRetakeMs = 1000;     // after a connection could not be taken

  ~cMetricsGate();
  // "A.B.C.D:PORT" or "[IPv6]:PORT" with a port of 0 to 65535 as a socket address; false when
  // the text is neither (a port alone, "999.1.1.1", a port past 65535).
  static bool ParseAddress(const std::string& address, sockaddr_storage& at, socklen_t& size);
  // The answer to a request's head; `whole`: false when the head was cut at its bound.
  using Answerer = std::function<std::string(std::string_view head, bool whole)>;
  // Listens on "A.B.C.D:PORT" or "[IPv6]:PORT" (port 0: a free one) and answers each request
  // with `answer`, on the gate's thread; false with the reason in `error`.
  bool Start(const std::string& address, Answerer answer, std::string& error);
  void Stop();
  // The port served on; 0 when off.
  int Port() const { return m_nPort; }

 private:
  struct stConn {
    int client = -1;
    uint64_t startMs = 0;
    std::string head, answer;
    size_t sent = 0;
    bool answered = false;  // the request has been read and answered
  };
  void Run();
  void Accept(uint64_t nowMs);
  // Reads the request or sends the answer, as ready; false when the connection is done with.
  bool Serve(stConn& conn, short events);
  // Puts the answer to the connection's request in its place: 500 when building it threw (out
  // of memory), which on this thread would end the process. False when not even that fitted.
  bool AnswerTo(stConn& conn, bool whole);
  void Close(stConn& conn);
  // One line a second at most, with the counts since the last.
  void Report(uint64_t nowMs);

  int m_listen = -1;
  int m_wake[2] = {-1, -1};
  int m_nPort = 0;
  Answerer m_answer;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  // The gate's thread only.
  std::vector<stConn> m_conns;
  uint64_t m_idle = 0, m_slow = 0, m_refused = 0, m_failed = 0, m_nextLineMs = 0;
  char m_failure[128] = "";  // what the last answer that could not be built threw
  uint64_t m_takeAtMs = 0;   // when connections are taken again
};
