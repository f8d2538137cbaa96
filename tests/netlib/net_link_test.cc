#include "netlib/net_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "testkit/net_recorder.h"

namespace {

using namespace nettest;

// ---- many records over several links ---------------------------------------------------------

// Record `seq` of stream `stream`: type 1001, the stream and the sequence number, then bytes
// whose count and values follow from both, so that the receiver rebuilds it without shared state.
void MakeStreamRecord(uint32_t stream, uint32_t seq, uint32_t maxSize, std::vector<char>& out) {
  uint64_t x = (uint64_t(stream) << 32 | seq) * 0x9E3779B97F4A7C15ull | 1;
  out.resize(std::max<uint32_t>(12, static_cast<uint32_t>(x >> 40) % (maxSize + 1)));
  uint16_t type = 1001;
  std::memcpy(out.data(), &type, 2);
  std::memcpy(out.data() + 4, &stream, 4);
  std::memcpy(out.data() + 8, &seq, 4);
  for (size_t i = 12; i < out.size(); ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    out[i] = static_cast<char>(x);
  }
}

// Checks that every link delivers its stream's records whole and in order.
class cChecker : public iCallbackNet {
 public:
  explicit cChecker(uint32_t maxSize) : m_max(maxSize) {}
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override {
    if (kind != 2 || size < 12) return 1;
    std::lock_guard<std::mutex> lock(m_lock);
    uint32_t stream = 0;
    std::memcpy(&stream, static_cast<const char*>(data) + 4, 4);
    auto& [linkStream, seq] = m_links.try_emplace(send->GetID(), stream, 0).first->second;
    MakeStreamRecord(linkStream, seq++, m_max, m_expected);
    if (size != m_expected.size() || std::memcmp(data, m_expected.data(), size) != 0) ++m_bad;
    ++m_good;
    return 1;
  }
  uint64_t Count() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_good;
  }
  uint64_t Bad() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bad;
  }

 private:
  std::mutex m_lock;
  std::map<unsigned, std::pair<uint32_t, uint32_t>> m_links;  // id: stream, next sequence
  std::vector<char> m_expected;
  uint32_t m_max;
  uint64_t m_good = 0, m_bad = 0;
};

#ifdef TESSEL_SANITIZED
constexpr uint64_t kRecords = 100000;
#else
constexpr uint64_t kRecords = 1000000;
#endif

TEST(NetLink, AMillionRecordsOfRandomSizesArriveByteExactAndInOrderOverSeveralLinks) {
  const uint32_t kMax = 1024;
  const int kLinks = 6;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_MaxRecvRecord] = kMax;
  cChecker checker(kMax);
  cServerScope s(checker, info);
  ASSERT_NE(s.port, 0);
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int l = 0; l < kLinks; ++l) {
    senders.emplace_back([&, l] {
      cRecorder crec;
      stClientInfo cinfo;
      cinfo.net.word[stNetParam::NetParam_MaxSendRecord] = kMax;
      cinfo.net.word[stNetParam::NetParam_SendQueueKB] = 4096;
      cClientScope c(crec, s.port, cinfo);
      if (!c.connected) return void(++failures);
      std::vector<char> record;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      for (uint32_t i = 0; i < kRecords / kLinks; ++i) {
        MakeStreamRecord(100 + l, i, kMax, record);
        while (i % 64 == 0 && c.client->GetUnsentBytes() > 2 * 1024 * 1024 &&
               std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!Send(c.client, record)) return void(++failures);
      }
      // The client is released only after everything was written.
      while (c.client->GetUnsentBytes() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(failures.load(), 0);
  const uint64_t total = kRecords / kLinks * kLinks;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (checker.Count() < total && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(checker.Count(), total);
  EXPECT_EQ(checker.Bad(), 0u);
  EXPECT_EQ(s.server->GetRecvRecords(), total);
}

// ---- limits ----------------------------------------------------------------------------------

bool Delivered(cRecorder& rec, unsigned id, uint16_t type, int ms = 5000) {
  return rec.WaitAny([&](const stDelivery& d) { return IsRecord(d, type) && d.id == id; }, ms);
}

TEST(NetLink, AnOversizeRecordCutsItsLinkWithReasonSixWhileOthersGoOn) {
  cRecorder srec, crec, orec;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_MaxRecvRecord] = 1000;
  cServerScope s(srec, info);
  cClientScope other(orec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  cClientScope big(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  ASSERT_EQ(Send(big.client, MakeRecord(1001, std::string(996, 'a'))), 1);  // exactly 1000
  ASSERT_EQ(Send(big.client, MakeRecord(1002, std::string(997, 'b'))), 1);  // 1001
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Disconnected));
  EXPECT_EQ(srec.DisconnectReason(2), static_cast<int>(NetReason_TooBig));
  EXPECT_TRUE(Delivered(srec, 2, 1001));
  EXPECT_FALSE(Delivered(srec, 2, 1002, 10));
  EXPECT_TRUE(crec.ReasonBeforeDown(NetReason_TooBig));
  ASSERT_EQ(Send(other.client, MakeRecord(1003, "on")), 1);
  EXPECT_TRUE(Delivered(srec, 1, 1003));
  // The sending side refuses records over its own largest record without cutting.
  EXPECT_EQ(Send(other.client, MakeRecord(1004, std::string(200000, 'c'))), 0);
  EXPECT_TRUE(other.client->IsConnect());
}

TEST(NetLink, AFloodingPeerIsCutWithReasonFiveWhileOthersGoOn) {
  cRecorder srec, crec, orec;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_FloodRecords] = 200;
  cServerScope s(srec, info);
  cClientScope other(orec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  cClientScope flood(crec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  auto record = MakeRecord(1001, "flood");
  for (int i = 0; i < 2000; ++i) Send(flood.client, record);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Disconnected));
  EXPECT_EQ(srec.DisconnectReason(2), static_cast<int>(NetReason_TooFast));
  EXPECT_LE(srec.Count([](const stDelivery& d) { return d.kind == 2 && d.id == 2; }), 200u);
  EXPECT_TRUE(crec.ReasonBeforeDown(NetReason_TooFast));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(Send(other.client, MakeRecord(1003, "calm")), 1);
  EXPECT_TRUE(Delivered(srec, 1, 1003));
  EXPECT_TRUE(other.client->IsConnect());
}

TEST(NetLink, APeerThatStopsReadingIsCutAtTheQueueBoundAndDelaysNoOtherLink) {
  cRecorder srec, orec;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_SendQueueKB] = 256;
  cServerScope s(srec, info);
  cRawPeer stalled(s.port);
  stalled.SetReceiveBuffer(4096);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  cClientScope other(orec, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  iServerLink* slow = s.server->GetLink(1);
  iServerLink* fast = s.server->GetLink(2);
  auto record = MakeRecord(1001, std::string(4000, 's'));
  int sent = 0;
  while (sent < 100000 && Send(slow, record)) {
    if (++sent % 50 == 0) {
      ASSERT_EQ(Send(fast, MakeRecord(1002, std::to_string(sent))), 1);
    }
  }
  EXPECT_LT(sent, 100000);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_SendQueueFull));
  EXPECT_EQ(Send(slow, record), 0);
  // Everything for the other link arrived while the stalled one was held up.
  EXPECT_TRUE(orec.WaitCount([](const stDelivery& d) { return IsRecord(d, 1002); }, sent / 50));
}

TEST(NetLink, AnInvalidRecordReportCutsTheLinkWhenAskedOrWhenTheyPileUp) {
  cRecorder srec, crec, crec2;
  cServerScope s(srec);
  cClientScope a(crec, s.port), b(crec2, s.port);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  EXPECT_TRUE(s.server->GetLink(1)->OnInvalidMessage(1001, 4, true));
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_RecvUngroup));
  iServerLink* link = s.server->GetLink(2);
  int before = 0;
  while (before < 100 && !link->OnInvalidMessage(1001, 4, false)) ++before;
  EXPECT_EQ(before, 16);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Disconnected));
}

}  // namespace
