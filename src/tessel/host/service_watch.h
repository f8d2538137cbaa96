// What the host tells the outside while it runs: its metrics for Prometheus, served when the
// launch parameter or the configuration string "metrics" names an address ("127.0.0.1:9464"),
// and the worker's cycle statistics they and the cluster view read. Start and Stop: main thread;
// OnCycle: the worker.
#pragma once

#include <cstdint>

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
  // At the end of the orderly end: the metrics are no longer served.
  void Stop();

  // The worker's cycles, for the whole process.
  static cWorkerStats& Worker();

 private:
  uint64_t m_nextPublishMs = 0;
};
