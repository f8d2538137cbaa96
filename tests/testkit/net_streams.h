// Streams of records for stress tests of links: record `seq` of stream `stream` follows from the
// two numbers alone, so a receiver rebuilds and checks it without shared state; a checker that
// counts whole and broken records; a server with one client that may queue 64 MiB, plain or TLS;
// and the two runs of large records the tests check. Header-only on netlib.h; any thread.
#pragma once

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testkit/net_recorder.h"

namespace testkit {

// Record `seq` of stream `stream`: type 1001, the stream and the sequence number, then bytes
// whose count (12 to `largest`) and values follow from both.
inline void MakeStreamRecord(uint32_t stream, uint32_t seq, std::vector<char>& out,
                             uint32_t largest) {
  uint64_t x = (uint64_t(stream) << 32 | seq) * 0x9E3779B97F4A7C15ull | 1;
  out.resize(std::max<uint32_t>(12, static_cast<uint32_t>(x >> 40) % (largest + 1)));
  const uint32_t head[3] = {1001, stream, seq};
  std::memcpy(out.data(), head, 12);
  for (size_t i = 12; i < out.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    out[i] = char(x);
  }
}

// Checks that every stream's records arrive whole and in order (a stream is sent by one thread).
struct cStreamChecker : iCallbackNet {
  explicit cStreamChecker(uint32_t largest) : largest(largest) {}
  int OnMessage(int kind, const void* data, unsigned long size, iSend*) override {
    if (kind != 2 || size < 12) return 1;
    std::lock_guard<std::mutex> lock(lock_);
    uint32_t stream;
    std::memcpy(&stream, static_cast<const char*>(data) + 4, 4);
    MakeStreamRecord(stream, next[stream]++, expected, largest);
    bad += size != expected.size() || std::memcmp(data, expected.data(), size) != 0;
    ++good;
    return 1;
  }
  // Waits until `count` records arrived whole, at most `seconds`.
  void WaitForGood(uint64_t count, int seconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (good < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const uint32_t largest;
  std::mutex lock_;
  std::map<uint32_t, uint32_t> next;  // stream: next sequence
  std::vector<char> expected;
  std::atomic<uint64_t> good = 0, bad = 0;
};

// A server taking records of up to `largest` bytes into `checker`, and one client of it that
// may queue 64 MiB and waits for the server's first frame as long as a slow (sanitized) run
// needs; `encode` 1: over TLS (the working folder holds the kit server's certificates).
struct cLargeLink {
  cLargeLink(cStreamChecker& checker, uint32_t largest, uint32_t encode = 0)
      : server(checker, ServerInfo(largest, encode)),
        client(recorder, server.port, ClientInfo(largest, encode)) {}
  static stServerInfo ServerInfo(uint32_t largest, uint32_t encode) {
    stServerInfo info = cServerScope::Defaults();
    info.net.word[stNetParam::NetParam_MaxRecvRecord] = largest;
    info.net.word[stNetParam::NetParam_Encode] = encode;
    return info;
  }
  static stClientInfo ClientInfo(uint32_t largest, uint32_t encode) {
    stClientInfo info;
    info.name = cServerScope::Defaults().name;
    info.net.word[stNetParam::NetParam_MaxSendRecord] = largest;
    info.net.word[stNetParam::NetParam_SendQueueKB] = 64 * 1024;
    info.net.word[stNetParam::NetParam_Encode] = encode;
    // The server sends nothing back: under a sanitizer and a loaded machine the run may take
    // minutes, which the client's idle limits must not cut short.
    info.net.word[stNetParam::NetParam_IdleMs] = 600000;
    info.net.word[stNetParam::NetParam_FirstMsgMs] = 600000;
    return info;
  }
  // Whether the client is up (over TLS: its hand-shake done), waiting at most 5 s.
  bool Up() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!client.client->IsConnect() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return client.client->IsConnect();
  }
  cServerScope server;
  cNetRecorder recorder;
  cClientScope client;
};

// Three threads share a link (plain or TLS: `encode`), each sending `perThread` records of up to
// 48 KiB of a stream of its own while keeping at most 8 MiB unsent; every stream arrives whole.
inline void ExpectSharedLinkStreamsWhole(uint32_t encode, uint32_t perThread) {
  const uint32_t largest = 48 * 1024;
  cStreamChecker checker(largest);
  cLargeLink link(checker, largest, encode);
  ASSERT_TRUE(link.Up());
  iClient* const client = link.client.client;
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&, t] {
      std::vector<char> record;
      for (uint32_t i = 0; i < perThread; ++i) {
        MakeStreamRecord(200 + t, i, record, largest);
        while (i % 16 == 0 && client->GetUnsentBytes() > 8 * 1024 * 1024) std::this_thread::yield();
        failures += !Send(client, record);
      }
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(failures.load(), 0);
  checker.WaitForGood(3 * perThread, 120);
  EXPECT_EQ(checker.good, 3 * perThread);
  EXPECT_EQ(checker.bad, 0u);
}

// A checker whose receiver stalls at the first record until `go` is set, so that the sender's
// socket fills.
struct cStallingChecker : cStreamChecker {
  using cStreamChecker::cStreamChecker;
  int OnMessage(int kind, const void* data, unsigned long size, iSend* s) override {
    for (int i = 0; kind == 2 && i < 60000 && !go; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return cStreamChecker::OnMessage(kind, data, size, s);
  }
  std::atomic<bool> go{false};
};

// Records of up to 60 KiB given one at a time, each finding the link (plain or TLS: `encode`)
// idle, leave straight from the caller's bytes until the socket a stalled receiver lets fill
// takes one only in part and those after it queue (or 8000 were sent); once the receiver goes
// on, all arrive whole and in order.
inline void ExpectPartlyTakenRecordsWhole(uint32_t encode) {
  const uint32_t largest = 60 * 1024;
  cStallingChecker checker(largest);
  cLargeLink link(checker, largest, encode);
  ASSERT_TRUE(link.Up());
  iClient* const client = link.client.client;
  std::vector<char> record;
  uint32_t sent = 0;
  while (sent < 8000 && client->GetUnsentBytes() < 4 * largest) {
    MakeStreamRecord(300, sent++, record, largest);
    if (!Send(client, record)) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_GE(client->GetUnsentBytes(), 4 * largest);
  checker.go = true;
  checker.WaitForGood(sent, 60);
  EXPECT_EQ(checker.good, sent);
  EXPECT_EQ(checker.bad, 0u);
}

}  // namespace testkit
