#include "tessel/host/metrics.h"

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <cstring>
#include <iostream>
#include <iterator>
#include <limits>
#include <string_view>

#include "platform/terminal_text.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd.h"
#include "tessel/core/run_counters.h"
#include "tessel/host/metrics_answer.h"
#include "tessel/host/metrics_gate.h"
#include "tessel/host/worker_stats.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

constexpr int kGroups = 24;  // named command groups; further ones count as "other"
constexpr const char* kSides[2] = {"server", "client"};

// Label values of the result codes of refused records and commands.
constexpr const char* kRefusalNames[kRefusalCodes] = {
    "ok",          "type_overflow",    "size_overflow", "type_no_handle", "size_wrong",
    "param_wrong", "internal_wrong",   "not_login",     "logined",        "not_sel",
    "seled",       "not_play",         "played",        "cmd_wrong",      "forbid_message",
    "not_finish",  "no_pri",           "no_cmd",        "map_no_id",      "map_id_invalid",
    "need_login",  "distribute_wrong", "other"};

// Label values of the network library's disconnect reasons.
constexpr const char* kCutNames[NetReason_Count] = {
    "none",          "peer_closed", "send_buffer_big", "send_queue_full", "encode",
    "too_fast",      "too_big",     "recv_pack_big",   "recv_unzip",      "recv_unpack",
    "recv_ungroup",  "idle",        "no_login",        "abnormal",        "write",
    "read",          "bind",        "address_refused", "card_expired",    "map_lost",
    "map_not_ready", "leave",       "gm_forbid",       "role_data",       "speed_cheat",
    "wait_done",     "server_close"};

uint64_t Load(const std::atomic<uint64_t>& value) {
  return value.load(std::memory_order_relaxed);
}

}  // namespace

// The worker's published values and the command groups' counts.
struct stMetricValues {
  struct stGroupSlot {
    char name[48] = "";
    cAtomicHistogram duration{0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1, 5};
  };
  stGroupSlot groups[kGroups + 1];  // the last one: "other"
  std::atomic<int> groupsUsed{0};
  // The worker's group lookup: a command group and the slot its name was given.
  struct stCached {
    cCmd* group = nullptr;
    const char* name = nullptr;
    int slot = 0;
  };
  stCached cache[32];
  int cacheNext = 0;
  // The last link census, each value on its own.
  std::atomic<uint64_t> links[5] = {};  // server in, server logging in, client in, logging, down
  std::atomic<uint64_t> queueRecords[2] = {}, queueBytes[2] = {}, unsentBytes[2] = {};
};

cAtomicHistogram::cAtomicHistogram(std::initializer_list<double> bounds) {
  for (double bound : bounds) {
    if (m_nBounds == kMostBounds) break;
    m_bounds[m_nBounds] = bound;
    m_boundNs[m_nBounds++] = static_cast<uint64_t>(bound * 1e9);
  }
}

void cAtomicHistogram::Observe(uint64_t nanoseconds) {
  int i = 0;
  while (i < m_nBounds && nanoseconds > m_boundNs[i]) ++i;
  // One writer: plain stores, no read-modify-write on the command's path.
  const auto bump = [](std::atomic<uint64_t>& value, uint64_t by) {
    value.store(value.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
  };
  bump(m_counts[i], 1);
  bump(m_sumNs, nanoseconds);
  bump(m_total, 1);
}

// Builds the families at every scrape from the values; no lock the worker takes.
class cMetrics::cCollector final : public prometheus::Collectable {
 public:
  explicit cCollector(const cMetrics& metrics) : m_metrics(metrics) {}
  std::vector<MetricFamily> Collect() const override;

 private:
  const cMetrics& m_metrics;
};

namespace {

MetricFamily Family(const char* name, const char* help, MetricType type) {
  MetricFamily family;
  family.name = name;
  family.help = help;
  family.type = type;
  return family;
}

void Add(MetricFamily& family, Labels labels, double value) {
  ClientMetric metric;
  metric.label = std::move(labels);
  if (family.type == MetricType::Counter)
    metric.counter.value = value;
  else
    metric.gauge.value = value;
  family.metric.push_back(std::move(metric));
}

void AddHistogram(MetricFamily& family, Labels labels, const cAtomicHistogram& h) {
  ClientMetric metric;
  metric.label = std::move(labels);
  uint64_t cumulative = 0;
  for (int i = 0; i < h.Bounds(); ++i) {
    cumulative += h.Count(i);
    metric.histogram.bucket.push_back({cumulative, h.Bound(i)});
  }
  cumulative += h.Count(h.Bounds());
  metric.histogram.bucket.push_back({cumulative, std::numeric_limits<double>::infinity()});
  metric.histogram.sample_count = cumulative;
  metric.histogram.sample_sum = h.SumSeconds();
  family.metric.push_back(std::move(metric));
}

// A counter family with one series per side.
MetricFamily BySide(const char* name, const char* help, MetricType type, uint64_t server,
                    uint64_t client) {
  MetricFamily family = Family(name, help, type);
  Add(family, {{"side", kSides[0]}}, static_cast<double>(server));
  Add(family, {{"side", kSides[1]}}, static_cast<double>(client));
  return family;
}

}  // namespace

std::vector<MetricFamily> cMetrics::cCollector::Collect() const {
  const cMetrics& m = m_metrics;
  const stMetricValues& v = *m.m_values;
  std::vector<MetricFamily> all;
  MetricFamily build =
      Family("tessel_build_info", "The program and version of the build.", MetricType::Gauge);
  Add(build, {{"program", m.m_strProgram}, {"version", m.m_strVersion}}, 1);
  all.push_back(std::move(build));

  const uint64_t cycles = m.m_pWorker != nullptr ? m.m_pWorker->Cycles() : 0;
  const uint64_t overruns = m.m_pWorker != nullptr ? m.m_pWorker->Overruns() : 0;
  all.push_back(
      Family("tessel_worker_cycles_total", "Periodic cycles the worker ran.", MetricType::Counter));
  Add(all.back(), {}, static_cast<double>(cycles));
  all.push_back(Family("tessel_worker_cycle_overruns_total",
                       "Periodic cycles that took longer than the 10 ms cycle interval.",
                       MetricType::Counter));
  Add(all.back(), {}, static_cast<double>(overruns));
  all.push_back(Family("tessel_worker_cycle_lateness_seconds",
                       "How late each periodic cycle began after it was due.",
                       MetricType::Histogram));
  AddHistogram(all.back(), {}, m.m_lateness);

  all.push_back(Family("tessel_links", "Links by side and state.", MetricType::Gauge));
  const char* states[5][2] = {{"server", "logged_in"},
                              {"server", "logging_in"},
                              {"client", "logged_in"},
                              {"client", "logging_in"},
                              {"client", "down"}};
  for (int i = 0; i < 5; ++i)
    Add(all.back(), {{"side", states[i][0]}, {"state", states[i][1]}},
        static_cast<double>(Load(v.links[i])));
  all.push_back(BySide("tessel_link_queue_records", "Records received, waiting for the worker.",
                       MetricType::Gauge, Load(v.queueRecords[0]), Load(v.queueRecords[1])));
  all.push_back(BySide("tessel_link_queue_bytes", "Bytes of the records waiting for the worker.",
                       MetricType::Gauge, Load(v.queueBytes[0]), Load(v.queueBytes[1])));
  all.push_back(BySide("tessel_link_send_queue_bytes", "Bytes given to links, not yet sent.",
                       MetricType::Gauge, Load(v.unsentBytes[0]), Load(v.unsentBytes[1])));

  stNetCounters net;
  Net_GetCounters(net);
  all.push_back(BySide("tessel_link_received_records_total", "Records received.",
                       MetricType::Counter, net.serverRecvRecords, net.clientRecvRecords));
  all.push_back(BySide("tessel_link_received_bytes_total", "Record bytes received.",
                       MetricType::Counter, net.serverRecvBytes, net.clientRecvBytes));
  all.push_back(BySide("tessel_link_sent_records_total", "Records sent.", MetricType::Counter,
                       net.serverSentRecords, net.clientSentRecords));
  all.push_back(BySide("tessel_link_sent_bytes_total", "Record bytes sent.", MetricType::Counter,
                       net.serverSentBytes, net.clientSentBytes));
  all.push_back(Family("tessel_link_disconnects_total",
                       "Links cut, by reason; refused connections among them.",
                       MetricType::Counter));
  // Every cut counts: one without a reason as "none", a program's own reasons as "other".
  for (uint32_t i = 0; i <= NetReason_Count; ++i)
    Add(all.back(), {{"reason", i < NetReason_Count ? kCutNames[i] : "other"}},
        static_cast<double>(net.cuts[i]));
  all.push_back(Family("tessel_tls_handshake_failures_total",
                       "TLS hand-shakes that did not end in an agreement.", MetricType::Counter));
  Add(all.back(), {}, static_cast<double>(net.tlsHandshakeFailures));

  const stRunCounts runs = GetRunCounts();
  all.push_back(Family("tessel_refusals_total", "Records and commands refused, by result.",
                       MetricType::Counter));
  for (int i = 1; i < kRefusalCodes; ++i)
    Add(all.back(), {{"reason", kRefusalNames[i]}}, static_cast<double>(runs.refusals[i]));
  all.push_back(
      Family("tessel_login_failures_total", "Console logins refused.", MetricType::Counter));
  Add(all.back(), {}, static_cast<double>(runs.loginFailures));

  MetricFamily count =
      Family("tessel_commands_total", "Commands run, by group.", MetricType::Counter);
  MetricFamily duration = Family("tessel_command_duration_seconds",
                                 "How long commands ran, by group.", MetricType::Histogram);
  const int used = v.groupsUsed.load(std::memory_order_acquire);
  for (int i = 0; i <= kGroups; ++i) {
    if (i >= used && i != kGroups) continue;
    const auto& slot = v.groups[i];
    const std::string name = i == kGroups ? "other" : slot.name;
    if (i == kGroups && slot.duration.Total() == 0) continue;
    Add(count, {{"group", name}}, static_cast<double>(slot.duration.Total()));
    AddHistogram(duration, {{"group", name}}, slot.duration);
  }
  all.push_back(std::move(count));
  all.push_back(std::move(duration));
  return all;
}

cMetrics& cMetrics::Instance() {
  static cMetrics* const metrics = new cMetrics;  // scrapes may run until the process ends
  return *metrics;
}

cMetrics::cMetrics()
    : m_lateness{0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 1},
      m_values(std::make_unique<stMetricValues>()),
      m_collector(std::make_shared<cCollector>(*this)) {}

cMetrics::~cMetrics() = default;

bool cMetrics::IsAddress(const std::string& address) {
  sockaddr_storage at{};
  socklen_t size = 0;
  return cMetricsGate::ParseAddress(address, at, size);
}

bool cMetrics::Start(const std::string& address, const std::string& program,
                     const std::string& version, const cWorkerStats& worker) {
  Stop();
  if (!IsAddress(address)) {
    std::cout << "cMetrics::Start metrics address " << address
              << " is not A.B.C.D:PORT or [IPv6]:PORT; metrics off" << std::endl;
    return false;
  }
  m_strProgram = program;
  m_strVersion = version;
  m_pWorker = &worker;
  auto answer = std::make_shared<cMetricsAnswer>([this] { return Text(); });
  std::string error;
  m_gate = std::make_unique<cMetricsGate>();
  if (!m_gate->Start(
          address,
          [answer](std::string_view head, bool whole) { return answer->Answer(head, whole); },
          error)) {
    std::cout << "cMetrics::Start can not serve metrics on " << address << ": " << error
              << std::endl;
    m_gate.reset();
    return false;
  }
  m_nPort = m_gate->Port();
  m_bOn = true;
  return true;
}

void cMetrics::Stop() {
  m_bOn = false;
  m_gate.reset();
  m_nPort = 0;
}

cAtomicHistogram* cMetrics::GroupFor(cCmd& group) {
  stMetricValues& v = *m_values;
  const char* name = group.GetName();
  for (const auto& cached : v.cache)
    if (cached.group == &group && cached.name == name) return &v.groups[cached.slot].duration;
  int used = v.groupsUsed.load(std::memory_order_relaxed);
  int slot = 0;
  // A slot keeps the name cut to its size at a whole character (a label is UTF-8 or the whole
  // scrape is refused): a longer name is found by that part. A group named "other" counts in
  // the slot of that name, never beside it in a second series of the same label.
  std::string_view kept(name, std::min(std::strlen(name), sizeof v.groups[0].name - 1));
  kept.remove_suffix(platform::Utf8IncompleteTail(kept));
  if (kept == "other") slot = kGroups;
  while (slot < used && kept != v.groups[slot].name) ++slot;
  if (slot == used && used < kGroups) {
    kept.copy(v.groups[slot].name, kept.size());
    v.groupsUsed.store(++used, std::memory_order_release);
  }
  v.cache[v.cacheNext] = {&group, name, slot};
  v.cacheNext = (v.cacheNext + 1) % static_cast<int>(std::size(v.cache));
  return &v.groups[slot].duration;
}

void cMetrics::NoteCmd(cCmd& group, uint64_t nanoseconds) {
  GroupFor(group)->Observe(nanoseconds);
}

void cMetrics::PublishLinks(const stLinkCensus& census) {
  stMetricValues& v = *m_values;
  const uint32_t links[5] = {census.serverLoggedIn, census.serverLoggingIn, census.clientLoggedIn,
                             census.clientLoggingIn, census.clientDown};
  for (int i = 0; i < 5; ++i) v.links[i].store(links[i], std::memory_order_relaxed);
  for (int side = 0; side < 2; ++side) {
    v.queueRecords[side].store(census.queueRecords[side], std::memory_order_relaxed);
    v.queueBytes[side].store(census.queueBytes[side], std::memory_order_relaxed);
    v.unsentBytes[side].store(census.unsentBytes[side], std::memory_order_relaxed);
  }
}

std::string cMetrics::Text() const {
  return prometheus::TextSerializer().Serialize(m_collector->Collect());
}
