#include "tessel/host/service_watch.h"

#include <chrono>
#include <iostream>
#include <string>

#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/link_census.h"
#include "tessel/host/metrics.h"
#include "tessel/host/tessel.h"
#include "tessel/host/worker_stats.h"

namespace {

// How often the worker publishes its count of links and queues.
constexpr uint64_t kPublishMs = 1000;

// The metrics address: the launch parameter, else the configuration string; empty when off.
std::string MetricsAddress() {
  std::string address = GetExeParam("metrics", "");
  if (address.empty()) address = GetConfigString("metrics", "");
  return address;
}

}  // namespace

cWorkerStats& cServiceWatch::Worker() {
  static cWorkerStats* const stats = new cWorkerStats;  // read by scrapes until the end
  return *stats;
}

void cServiceWatch::Start(cTessel& host) {
  const std::string address = MetricsAddress();
  if (address.empty()) return;
  cTesselValues& values = cTesselValues::Instance();
  cMetrics& metrics = cMetrics::Instance();
  if (!metrics.Start(address, values.GetProgram(), values.GetVersion(), Worker())) return;
  metrics.PublishLinks(TakeLinkCensus(host));
  values.SetInfoValue("metrics_port", metrics.Port());
  std::cout << "metrics on http://" << address << "/metrics (port " << metrics.Port() << ")"
            << std::endl;
}

void cServiceWatch::OnCycle(cTessel& host, uint64_t latenessNs, uint64_t costNs) {
  using namespace std::chrono;
  const auto nowMs = static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  Worker().NoteCycle(nowMs, static_cast<uint32_t>(latenessNs / 1000),
                     static_cast<uint32_t>(costNs / 1000));
  cMetrics& metrics = cMetrics::Instance();
  if (!metrics.IsOn()) return;
  metrics.NoteCycle(latenessNs);
  if (nowMs < m_nextPublishMs) return;
  m_nextPublishMs = nowMs + kPublishMs;
  metrics.PublishLinks(TakeLinkCensus(host));
}

void cServiceWatch::Stop() {
  cMetrics::Instance().Stop();
}
