// The process's metrics for Prometheus, served over HTTP by a gate of one thread that answers
// each whole request itself (metrics_gate.h, metrics_answer.h): the
// worker's cycles, links, queues and traffic, commands per group, refusals, failed logins and
// TLS hand-shakes, and the build. The worker and the link floors write their own values
// (relaxed atomics, never a lock a scrape holds); a scrape, on the gate's thread, reads them
// and builds the families. Start and Stop: main thread; the Note/Publish calls: the worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "tessel/host/link_census.h"

class cCmd;
class cWorkerStats;

// A histogram with fixed bucket bounds in seconds; one writer at a time, readers on any thread.
class cAtomicHistogram {
 public:
  static constexpr int kMostBounds = 12;
  // `bounds`: ascending upper bounds in seconds (at most kMostBounds).
  cAtomicHistogram(std::initializer_list<double> bounds);
  void Observe(uint64_t nanoseconds);

  int Bounds() const { return m_nBounds; }
  double Bound(int i) const { return m_bounds[i]; }
  // Observations at or below bound i (not cumulative); index Bounds() holds those above all.
  uint64_t Count(int i) const { return m_counts[i].load(std::memory_order_relaxed); }
  uint64_t Total() const { return m_total.load(std::memory_order_relaxed); }
  double SumSeconds() const { return m_sumNs.load(std::memory_order_relaxed) * 1e-9; }

 private:
  double m_bounds[kMostBounds] = {};
  uint64_t m_boundNs[kMostBounds] = {};
  int m_nBounds = 0;
  std::atomic<uint64_t> m_counts[kMostBounds + 1] = {};
  std::atomic<uint64_t> m_total{0};
  std::atomic<uint64_t> m_sumNs{0};
};

class cMetrics {
 public:
  static cMetrics& Instance();
  ~cMetrics();

  // Serves /metrics on "address:port" (port 0 picks a free one) for the program and version of
  // the build; false, after a line on standard output, when the address is not one (see
  // IsAddress) or it cannot listen.
  bool Start(const std::string& address, const std::string& program, const std::string& version,
             const cWorkerStats& worker);
  // "A.B.C.D:PORT" or "[IPv6]:PORT" with a port of 0 to 65535, served as written (never a port
  // alone for every interface, nor "999.1.1.1" read as another address).
  static bool IsAddress(const std::string& address);
  // Stops serving; the values stay.
  void Stop();
  bool IsOn() const { return m_bOn.load(std::memory_order_relaxed); }
  // The port served on; 0 when off.
  int Port() const { return m_nPort; }

  // Worker: one periodic cycle began late by `latenessNs`.
  void NoteCycle(uint64_t latenessNs) { m_lateness.Observe(latenessNs); }
  // The thread that runs commands: `group` ran one for `nanoseconds`.
  void NoteCmd(cCmd& group, uint64_t nanoseconds);
  // Worker: the links and queues as they are now (taken every second).
  void PublishLinks(const stLinkCensus& census);

  // The families in the text format, as a scrape gets them (tests and tools).
  std::string Text() const;

  class cCollector;

 private:
  cMetrics();
  // The duration histogram of a group's commands (its name's slot, or "other").
  cAtomicHistogram* GroupFor(cCmd& group);

  std::atomic<bool> m_bOn{false};
  int m_nPort = 0;
  std::string m_strProgram, m_strVersion;
  const cWorkerStats* m_pWorker = nullptr;
  cAtomicHistogram m_lateness;
  std::unique_ptr<struct stMetricValues> m_values;
  std::shared_ptr<cCollector> m_collector;
  std::unique_ptr<class cMetricsGate> m_gate;
};
