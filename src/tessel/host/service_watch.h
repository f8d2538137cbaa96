// What the host tells the outside while it runs: its metrics for Prometheus, served when the
// launch parameter or the configuration string "metrics" names an address ("127.0.0.1:9464");
// under systemd (NOTIFY_SOCKET set) the notify protocol: READY once the links are settled, a
// STATUS line every second, WATCHDOG from the periodic cycle itself, STOPPING at the end; and
// the worker's cycle statistics they and the cluster view read. Start, Stopping and Stop: main
// thread; OnCycle: the worker.
#pragma once

#include <cstdint>
#include <string>

class cTessel;
class cWorkerStats;

class cServiceWatch {
 public:
  // Once the listening sides listen: starts serving the metrics when an address is set, and
  // records it as the information value "metrics_port".
  void Start(cTessel& host);
  // Worker, after every periodic cycle: it began `latenessNs` after it was due and took
  // `costNs`.
  void OnCycle(cTessel& host, uint64_t latenessNs, uint64_t costNs);
  // At the start of the orderly end: tells systemd the service is stopping.
  void Stopping();
  // At the end of the orderly end: the metrics are no longer served.
  void Stop();

  // Whether the process runs with a console: not under systemd (NOTIFY_SOCKET or INVOCATION_ID
  // set) unless the launch word "console = 1" asks for one, and not with "console = 0".
  static bool HasConsole();
  // Whether a service manager runs the process (NOTIFY_SOCKET or INVOCATION_ID set).
  static bool UnderServiceManager();

  // Worker: the process's state for the cluster view, one line of blank-separated fields that
  // are never empty: "status name=game program=game version=1.0.0 uptime_s=12 links_up=2
  // links_total=3 lateness_p99_us=420 queue=0 up=global:up:350 down=map,ops". `up` lists the
  // client links (name, up or down, ping round trip in microseconds, 0 before one), `down` the
  // accounts logged in on the server sides; "-" when there is none. Names keep letters, digits,
  // "_.@-" and printable characters beyond ASCII (well-formed UTF-8); other bytes (blanks,
  // controls, invalid UTF-8) show as '?'. The uptime is the process's, from its start.
  std::string StatusLine(cTessel& host) const;

  // The worker's cycles, for the whole process.
  static cWorkerStats& Worker();

 private:
  // Worker: links and queues to the metrics, the status line to systemd (every second).
  void Publish(cTessel& host);
  bool m_bNotify = false;     // NOTIFY_SOCKET is set
  bool m_bReady = false;      // READY=1 was sent
  uint64_t m_pingMs = 0;      // watchdog ping interval; 0: no watchdog
  uint64_t m_nextPingMs = 0;  // worker
  uint64_t m_nextPublishMs = 0;
  uint64_t m_startMs = 0;  // when Start ran
};
