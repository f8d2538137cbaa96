#include "tessel/host/service_watch.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"
#include "tessel/host/link_census.h"
#include "tessel/host/metrics.h"
#include "tessel/host/tessel.h"
#include "tessel/host/worker_stats.h"
#include "tessel/link/easy_client.h"

namespace {

// How often the worker publishes its count of links and queues.
constexpr uint64_t kPublishMs = 1000;

// The metrics address: the launch parameter, else the configuration string; empty when off.
std::string MetricsAddress() {
  std::string address = GetExeParam("metrics", "");
  if (address.empty()) address = GetConfigString("metrics", "");
  return address;
}

// Every connecting side has logged in or finished its first attempt (refused, failed or cut);
// one that never tried does not hold the start back.
bool LinksSettled(cTessel& host) {
  for (cEasyClient* client : host.Clients()) {
    const cBridgeClient& link = *client->GetBridgeClient();
    if (link.IsLogin() || link.GetConnectCount() == 0) continue;
    if (link.GetDisconnectTime() == 0 && link.GetLoginFailTime() == 0) return false;
  }
  return true;
}

// "STATUS=links 2/3 up, lateness 0.4 ms".
std::string StatusLine(const stLinkCensus& census) {
  char line[128];
  std::snprintf(line, sizeof line, "STATUS=links %u/%u up, lateness %.1f ms", census.LinksUp(),
                census.LinksTotal(), cServiceWatch::Worker().LastLatenessUs() / 1000.0);
  return line;
}

}  // namespace

bool cServiceWatch::HasConsole() {
  const std::string word = GetExeParam("console", "");
  if (!word.empty()) return word != "0";
  return std::getenv("NOTIFY_SOCKET") == nullptr && std::getenv("INVOCATION_ID") == nullptr;
}

cWorkerStats& cServiceWatch::Worker() {
  static cWorkerStats* const stats = new cWorkerStats;  // read by scrapes until the end
  return *stats;
}

void cServiceWatch::Start(cTessel& host) {
  if (const char* socket = std::getenv("NOTIFY_SOCKET"); socket != nullptr && *socket != '\0') {
    m_bNotify = true;
    uint64_t usec = 0;
    // Pings at half the interval systemd waits for, so that one late ping is not yet a failure.
    if (sd_watchdog_enabled(0, &usec) > 0) m_pingMs = usec / 2000 > 0 ? usec / 2000 : 1;
  }
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
  if (metrics.IsOn()) metrics.NoteCycle(latenessNs);
  if (!m_bNotify && !metrics.IsOn()) return;
  // Sent by the cycle itself: a worker that is stuck stops the pings.
  if (m_pingMs != 0 && nowMs >= m_nextPingMs) {
    sd_notify(0, "WATCHDOG=1");
    m_nextPingMs = nowMs + m_pingMs;
  }
  if (m_bNotify && !m_bReady && LinksSettled(host)) {
    m_bReady = true;
    m_nextPublishMs = 0;
    sd_notify(0, "READY=1");
  }
  if (nowMs < m_nextPublishMs) return;
  m_nextPublishMs = nowMs + kPublishMs;
  Publish(host);
}

void cServiceWatch::Publish(cTessel& host) {
  const stLinkCensus census = TakeLinkCensus(host);
  if (cMetrics::Instance().IsOn()) cMetrics::Instance().PublishLinks(census);
  if (m_bNotify) sd_notify(0, StatusLine(census).c_str());
}

void cServiceWatch::Stopping() {
  if (m_bNotify) sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

void cServiceWatch::Stop() {
  cMetrics::Instance().Stop();
}
