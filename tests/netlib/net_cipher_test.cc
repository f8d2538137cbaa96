#include "netlib/net_cipher.h"

#include <gtest/gtest.h>

#include <thread>

#include "netlib/net_frame.h"
#include "testkit/net_recorder.h"

namespace {

using namespace testkit;
using netlib::cStreamCipher;
using netlib::kCipherSeedBytes;

const char kSeed[kCipherSeedBytes] = "client-seed-123";
constexpr size_t kAnswerBytes = 4 + 1 + kCipherSeedBytes;

std::vector<char> Frame(const std::vector<char>& body, bool internal) {
  std::vector<char> out(4 + body.size());
  netlib::PutFrameHeader(out.data(), static_cast<uint32_t>(body.size()), internal);
  std::copy(body.begin(), body.end(), out.begin() + 4);
  return out;
}

std::vector<char> AskFrame(uint32_t kind) {
  std::vector<char> ask(netlib::kHandShakeAskBytes);
  ask[0] = static_cast<char>(netlib::Internal_EncodeAsk);
  netlib::PutLe32(ask.data() + 1, kind);
  std::copy(kSeed, kSeed + kCipherSeedBytes, ask.begin() + 9);
  return Frame(ask, true);
}

// The record frames (internal frames skipped) of a plain byte stream.
std::vector<std::vector<char>> RecordFrames(const std::vector<char>& all) {
  std::vector<std::vector<char>> records;
  for (size_t at = 0; at + 4 <= all.size();) {
    uint32_t word = netlib::ReadLe32(all.data() + at);
    uint32_t body = word & ~netlib::kFrameInternalBit;
    if (at + 4 + body > all.size()) break;
    if (!(word & netlib::kFrameInternalBit))
      records.emplace_back(all.begin() + at + 4, all.begin() + at + 4 + body);
    at += 4 + body;
  }
  return records;
}

// The reason of the disconnect record that ends a byte stream; -1 when it does not end in one.
int LastReason(const std::vector<char>& all) {
  auto records = RecordFrames(all);
  stDelivery last{2, records.empty() ? std::vector<char>() : records.back()};
  return IsRecord(last, kNetDisconnectRecordType) ? int(last.Word(0)) : -1;
}

// The ask switches the peer's stream to encoded bytes exactly after itself, wherever the
// bytes are split between reads; the answer switches the server's stream the same way. Each
// direction decodes only with its own key stream.
TEST(NetCipher, TheHandShakeSwitchesEachStreamRightAfterItsFrameWhereverReadsSplit) {
  cNetRecorder srec;
  cServerScope s(srec);
  const auto record = MakeRecord(1001, std::string(300, 'e') + "end");
  const auto ask = AskFrame(1);
  size_t rounds = 0;
  for (size_t split : {size_t(0), size_t(2), size_t(9), ask.size(), ask.size() + 3}) {
    SCOPED_TRACE(split);
    cRawPeer peer(s.port);
    ASSERT_TRUE(peer.Connected());
    std::vector<char> bytes = ask;
    auto frame = Frame(record, false);
    cStreamCipher(0, kSeed, nullptr).Apply(frame.data(), frame.size());
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    if (split) {
      ASSERT_TRUE(peer.Write(bytes.data(), split));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_TRUE(peer.Write(bytes.data() + split, bytes.size() - split));
    // Each round's peer sends one record: the newest one is this round's, on its link.
    ASSERT_TRUE(srec.WaitRecords(++rounds));
    stDelivery last;
    for (const auto& d : srec.Snapshot())
      if (d.kind == 2) last = d;
    EXPECT_EQ(last.bytes, record);
    std::vector<char> answer;
    peer.ReadUntil(answer, 3000, kAnswerBytes);
    ASSERT_EQ(answer.size(), kAnswerBytes);
    EXPECT_EQ(answer[4], static_cast<char>(netlib::Internal_EncodeOk));
    iServerLink* link = s.server->GetLink(last.id);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(Send(link, record), 1);
    std::vector<char> wire;
    peer.ReadUntil(wire, 3000, 4 + record.size());
    const auto plain = Frame(record, false);
    EXPECT_NE(wire, plain);
    cStreamCipher(1, kSeed, answer.data() + 5).Apply(wire.data(), wire.size());
    EXPECT_EQ(wire, plain);
  }
}

TEST(NetCipher, RefusedHandShakesCutTheLinkWithTheEncodingReason) {
  auto twice = AskFrame(0);
  twice.insert(twice.end(), twice.begin(), twice.end());
  const struct {
    const char* name;
    bool serverDemands;
    std::vector<char> bytes;
  } cases[] = {
      {"plain record to a server that demands encoding", true,
       Frame(MakeRecord(1001, "plain"), false)},
      {"unknown encoding kind", false, AskFrame(7)},
      {"second ask", false, twice},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    cNetRecorder srec;
    stServerInfo info = cServerScope::Defaults();
    info.net.word[stNetParam::NetParam_Encode] = test.serverDemands ? 1 : 0;
    cServerScope s(srec, info);
    cRawPeer peer(s.port);
    ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
    ASSERT_TRUE(peer.Write(test.bytes));
    ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
    EXPECT_EQ(srec.DisconnectReason(1), static_cast<int>(NetReason_Encode));
    std::vector<char> all;
    EXPECT_TRUE(peer.ReadUntil(all, 5000));
    EXPECT_EQ(LastReason(all), static_cast<int>(NetReason_Encode));
    EXPECT_EQ(srec.Count([](const stDelivery& d) { return d.kind == 2; }), 0u);
  }
}

// Records dropped by a queue cut were already encoded; the reason record that replaces them
// must still decode on the other end.
TEST(NetCipher, AQueueCutOnAnEncodedLinkLeavesItsReasonRecordReadable) {
  cNetRecorder srec;
  stServerInfo info = cServerScope::Defaults();
  info.net.word[stNetParam::NetParam_SendQueueKB] = 256;
  cServerScope s(srec, info);
  cRawPeer peer(s.port);
  ASSERT_TRUE(peer.Write(AskFrame(1)));
  std::vector<char> answer;
  peer.ReadUntil(answer, 3000, kAnswerBytes);
  ASSERT_EQ(answer.size(), kAnswerBytes);
  iServerLink* link = s.server->GetLink(1);
  ASSERT_NE(link, nullptr);
  const auto record = MakeRecord(1001, std::string(20000, 'q'));
  int sent = 0;
  while (sent < 1000 && Send(link, record) == 1) ++sent;
  ASSERT_LT(sent, 1000);
  // The peer reads only now, quickly: the cut link gives it a short while to take the rest.
  std::vector<char> all;
  EXPECT_TRUE(peer.ReadUntil(all, 10000));
  cStreamCipher(1, kSeed, answer.data() + 5).Apply(all.data(), all.size());
  auto records = RecordFrames(all);
  for (size_t i = 0; i + 1 < records.size(); ++i) ASSERT_EQ(records[i], record);
  EXPECT_EQ(LastReason(all), static_cast<int>(NetReason_SendQueueFull));
}

}  // namespace
