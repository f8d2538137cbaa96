#include "netlib/net_counters.h"

#include <atomic>

#include "tessel/contracts/netlib.h"

namespace netlib {

namespace {

struct stCounts {
  std::atomic<uint64_t> cuts[NetReason_Count + 1];  // the last one: reasons past the table
  std::atomic<uint64_t> handshakeFailures{0};
  // [client][sent]: records and bytes.
  std::atomic<uint64_t> records[2][2];
  std::atomic<uint64_t> bytes[2][2];
};

stCounts g_counts;

uint64_t Get(const std::atomic<uint64_t>& value) {
  return value.load(std::memory_order_relaxed);
}

}  // namespace

void CountCut(uint32_t reason, bool handshakeFailed) {
  const uint32_t slot = reason < NetReason_Count ? reason : NetReason_Count;
  g_counts.cuts[slot].fetch_add(1, std::memory_order_relaxed);
  if (handshakeFailed) g_counts.handshakeFailures.fetch_add(1, std::memory_order_relaxed);
}

void CountTraffic(bool client, bool sent, uint64_t records, uint64_t bytes) {
  g_counts.records[client][sent].fetch_add(records, std::memory_order_relaxed);
  g_counts.bytes[client][sent].fetch_add(bytes, std::memory_order_relaxed);
}

}  // namespace netlib

void Net_GetCounters(stNetCounters& out) {
  using netlib::g_counts;
  using netlib::Get;
  for (uint32_t i = 0; i <= NetReason_Count; ++i) out.cuts[i] = Get(g_counts.cuts[i]);
  out.tlsHandshakeFailures = Get(g_counts.handshakeFailures);
  out.clientRecvRecords = Get(g_counts.records[1][0]);
  out.clientRecvBytes = Get(g_counts.bytes[1][0]);
  out.clientSentRecords = Get(g_counts.records[1][1]);
  out.clientSentBytes = Get(g_counts.bytes[1][1]);
  out.serverRecvRecords = Get(g_counts.records[0][0]);
  out.serverRecvBytes = Get(g_counts.bytes[0][0]);
  out.serverSentRecords = Get(g_counts.records[0][1]);
  out.serverSentBytes = Get(g_counts.bytes[0][1]);
}
