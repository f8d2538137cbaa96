#include "netlib/net_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "testkit/net_recorder.h"
#include "testkit/net_streams.h"

namespace {

using namespace testkit;

constexpr uint32_t kMaxRecord = 1024;
#ifdef TESSEL_SANITIZED
constexpr uint64_t kRecords = 100000;
constexpr uint32_t kPerThread = 500;
#else
constexpr uint64_t kRecords = 1000000;
constexpr uint32_t kPerThread = 3000;
#endif

// Every other link packs its records (those random bytes mostly stay plain, as packing would not
// shrink them), and its client reports the agreed encoding right after its connect result.
TEST(NetLink, AMillionRecordsOfRandomSizesArriveByteExactAndInOrderOverPlainAndPackingLinks) {
  const int kLinks = 6;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_MaxRecvRecord] = kMaxRecord;
  cStreamChecker checker(kMaxRecord);
  cServerScope s(checker, info);
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
  auto waitWhile = [&](auto busy) {
    while (busy() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  };
  for (int l = 0; l < kLinks; ++l) {
    senders.emplace_back([&, l] {
      cNetRecorder crec;
      stClientInfo cinfo;
      cinfo.net.word[stNetParam::NetParam_MaxSendRecord] = kMaxRecord;
      cinfo.net.word[stNetParam::NetParam_SendQueueKB] = 4096;
      cinfo.net.word[stNetParam::NetParam_Compress] = l % 2;
      cClientScope c(crec, s.port, cinfo);
      std::vector<char> record;
      for (uint32_t i = 0; c.connected && i < kRecords / kLinks; ++i) {
        MakeStreamRecord(100 + l, i, record, kMaxRecord);
        if (i % 64 == 0) waitWhile([&] { return c.client->GetUnsentBytes() > 2 * 1024 * 1024; });
        if (!Send(c.client, record)) return void(++failures);
      }
      // The client is released only after everything was written.
      waitWhile([&] { return c.client->GetUnsentBytes() > 0; });
      failures += !c.connected || (l % 2 && crec.IndexOf(ClientState(NetState_EncodeOk)) != 1);
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(failures.load(), 0);
  const uint64_t total = kRecords / kLinks * kLinks;
  waitWhile([&] { return checker.good < total; });
  EXPECT_EQ(checker.good, total);
  EXPECT_EQ(checker.bad, 0u);
  EXPECT_EQ(s.server->GetRecvRecords(), total);
}

// A record over the largest (1001 bytes against 1000) cuts with reason 6 after the record of
// exactly 1000 arrived; a flood over 200 records a check cuts with reason 5; the other link
// goes on, and a sender refuses a record over its own largest without cutting.
TEST(NetLink, AnOversizeRecordOrAFloodCutsItsLinkWithItsReasonWhileOthersGoOn) {
  const auto whole = MakeRecord(1001, std::string(996, 'a')),
             over = MakeRecord(1002, std::string(997, 'b'));
  const std::tuple<uint32_t, uint32_t, uint32_t, std::vector<std::vector<char>>> cases[] = {
      {stNetParam::NetParam_MaxRecvRecord, 1000, NetReason_TooBig, {whole, over}},
      {stNetParam::NetParam_FloodRecords, 200, NetReason_TooFast,
       std::vector<std::vector<char>>(2000, MakeRecord(1001, "flood"))}};
  for (const auto& [param, value, reason, records] : cases) {
    cNetRecorder srec, crec, orec;
    stServerInfo info = cServerScope::Defaults();
    info.net.word[param] = value;
    cServerScope s(srec, info);
    cClientScope other(orec, s.port), bad(crec, s.port);
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 2)));
    for (const auto& r : records) Send(bad.client, r);
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 2)));
    EXPECT_EQ(srec.DisconnectReason(2), int(reason));
    EXPECT_TRUE(crec.ReasonBeforeDown(reason));
    const size_t delivered = srec.Count([](auto& d) { return RecordOf(1001)(d) && d.id == 2; });
    EXPECT_TRUE(reason == NetReason_TooBig ? delivered == 1 : delivered <= 200) << delivered;
    EXPECT_EQ(srec.Count(RecordOf(1002)), 0u);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(Send(other.client, MakeRecord(1003, "calm")), 1);
    EXPECT_TRUE(srec.WaitCount(RecordOf(1003), 50));
    EXPECT_EQ(Send(other.client, MakeRecord(1004, std::string(200000, 'c'))), 0);
    EXPECT_TRUE(other.client->IsConnect());
  }
}

// An invalid-record report cuts at once when asked to, else on the 17th.
TEST(NetLink, AnInvalidRecordReportCutsTheLinkWhenAskedOrWhenTheyPileUp) {
  cNetRecorder srec, crec, crec2;
  cServerScope s(srec);
  cClientScope a(crec, s.port), b(crec2, s.port);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 2)));
  EXPECT_TRUE(s.server->GetLink(1)->OnInvalidMessage(1001, 4, true));
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
  EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_RecvUngroup));
  int before = 0;
  while (before < 100 && !s.server->GetLink(2)->OnInvalidMessage(1001, 4, false)) ++before;
  EXPECT_EQ(before, 16);
  ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 2)));
}

// Threads sharing one link with records of up to 48 KiB: sending threads write large batches
// themselves, outside the link's lock, racing the I/O thread's turns; every stream stays whole.
TEST(NetLink, ThreadsSharingALinkWithLargeRecordsKeepEveryStreamWholeAndInOrder) {
  ExpectSharedLinkStreamsWhole(0, kPerThread);
}

// Large records given one at a time on an idle link leave straight from the caller's bytes.
// While the receiver stalls, the socket fills and takes one of them only in part: its rest is
// queued, the records after it wait behind it, and all arrive whole and in order once the
// receiver goes on.
TEST(NetLink, LargeRecordsTheSocketTakesOnlyInPartArriveWholeAndInOrder) {
  ExpectPartlyTakenRecordsWhole(0);
}

}  // namespace
