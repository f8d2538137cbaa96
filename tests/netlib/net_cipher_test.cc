#include "netlib/net_cipher.h"

#include <gtest/gtest.h>

#include <thread>

#include "netlib/net_frame.h"
#include "testkit/net_recorder.h"

namespace {

using namespace testkit;
using netlib::cStreamCipher;

const char kSeed[netlib::kCipherSeedBytes] = "client-seed-123";
constexpr size_t kAnswerBytes = 4 + 1 + netlib::kCipherSeedBytes;

std::vector<char> Frame(std::vector<char> body, bool internal) {
  body.insert(body.begin(), 4, 0);
  netlib::PutFrameHeader(body.data(), static_cast<uint32_t>(body.size() - 4), internal);
  return body;
}

std::vector<char> AskFrame(uint32_t kind) {
  std::vector<char> ask(netlib::kHandShakeAskBytes);
  ask[0] = static_cast<char>(netlib::Internal_EncodeAsk);
  netlib::PutLe32(ask.data() + 1, kind);
  std::copy(std::begin(kSeed), std::end(kSeed), ask.begin() + 9);
  return Frame(ask, true);
}

// The record frames (internal frames skipped) of a plain byte stream.
std::vector<std::vector<char>> RecordFrames(const std::vector<char>& all) {
  std::vector<std::vector<char>> records;
  for (size_t at = 0, body = 0; at + 4 <= all.size(); at += 4 + body) {
    uint32_t word = netlib::ReadLe32(all.data() + at);
    body = word & ~netlib::kFrameInternalBit;
    if (at + 4 + body > all.size()) break;
    if (!(word & netlib::kFrameInternalBit))
      records.emplace_back(all.begin() + at + 4, all.begin() + at + 4 + body);
  }
  return records;
}

// The reason of the disconnect record that ends a byte stream; -1 when it does not end in one.
int LastReason(const std::vector<char>& all) {
  auto records = RecordFrames(all);
  stDelivery last{2, records.empty() ? std::vector<char>() : records.back()};
  return RecordOf(kNetDisconnectRecordType)(last) ? int(last.Word(0)) : -1;
}

// The ask switches the peer's stream to encoded bytes exactly after itself, wherever the
// bytes are split between reads; the answer switches the server's stream the same way. Each
// direction decodes only with its own key stream.
TEST(NetCipher, TheHandShakeSwitchesEachStreamRightAfterItsFrameWhereverReadsSplit) {
  cNetRecorder srec;
  cServerScope s(srec);
  const auto record = MakeRecord(1001, std::string(300, 'e') + "end"), plain = Frame(record, false);
  auto bytes = AskFrame(1), encoded = plain;
  cStreamCipher(0, kSeed, nullptr).Apply(encoded.data(), encoded.size());
  bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  const size_t ask = AskFrame(1).size();
  for (size_t split : {size_t(0), size_t(2), size_t(9), ask, ask + 3}) {
    SCOPED_TRACE(split);
    srec.Clear();
    cRawPeer peer(s.port);
    if (split) {
      ASSERT_TRUE(peer.Write(bytes.data(), split));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_TRUE(peer.Write(bytes.data() + split, bytes.size() - split));
    ASSERT_TRUE(srec.WaitCount(RecordOf()));
    const stDelivery got = srec.Snapshot()[srec.IndexOf(RecordOf())];
    EXPECT_EQ(got.bytes, record);
    std::vector<char> answer, wire;
    peer.ReadUntil(answer, 3000, kAnswerBytes);
    ASSERT_EQ(answer.size(), kAnswerBytes);
    EXPECT_EQ(answer[4], static_cast<char>(netlib::Internal_EncodeOk));
    ASSERT_EQ(Send(s.server->GetLink(got.id), record), 1);
    peer.ReadUntil(wire, 3000, plain.size());
    EXPECT_NE(wire, plain);
    cStreamCipher(1, kSeed, answer.data() + 5).Apply(wire.data(), wire.size());
    EXPECT_EQ(wire, plain);
  }
}

// A refused hand-shake cuts with the encoding reason; so does a queue cut on an encoded link,
// whose reason record replaces records that were already encoded and must still decode.
TEST(NetCipher, RefusedHandShakesAndQueueCutsLeaveTheirReasonReadable) {
  auto twice = AskFrame(0);
  twice.insert(twice.end(), twice.begin(), twice.end());
  const std::tuple<const char*, uint32_t, uint32_t, std::vector<char>> cases[] = {
      {"plain record to a server that demands encoding", stNetParam::NetParam_Encode, 1,
       Frame(MakeRecord(1001, "plain"), false)},
      {"unknown encoding kind", stNetParam::NetParam_Encode, 0, AskFrame(7)},
      {"second ask", stNetParam::NetParam_Encode, 0, twice},
      {"queue cut", stNetParam::NetParam_SendQueueKB, 256, AskFrame(1)}};
  for (const auto& [name, param, value, bytes] : cases) {
    SCOPED_TRACE(name);
    cNetRecorder srec;
    stServerInfo info = cServerScope::Defaults();
    info.net.word[param] = value;
    cServerScope s(srec, info);
    cRawPeer peer(s.port);
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Connected, 1)));
    ASSERT_TRUE(peer.Write(bytes));
    std::vector<char> answer, all;
    const auto record = MakeRecord(1001, std::string(20000, 'q'));
    int sent = 0;
    if (param == stNetParam::NetParam_SendQueueKB) {
      peer.ReadUntil(answer, 3000, kAnswerBytes);
      ASSERT_EQ(answer.size(), kAnswerBytes);
      while (sent < 1000 && Send(s.server->GetLink(1), record) == 1) ++sent;
      ASSERT_LT(sent, 1000);
    }
    // The peer reads only now, quickly: the cut link gives it a short while to take the rest.
    EXPECT_TRUE(peer.ReadUntil(all, 10000));
    if (sent) cStreamCipher(1, kSeed, answer.data() + 5).Apply(all.data(), all.size());
    const auto records = RecordFrames(all);
    for (size_t i = 0; i + 1 < records.size(); ++i) ASSERT_EQ(records[i], record);
    EXPECT_EQ(LastReason(all), int(sent ? NetReason_SendQueueFull : NetReason_Encode));
    ASSERT_TRUE(srec.WaitCount(ServerEvent(NetEvent_Disconnected, 1)));
    EXPECT_EQ(srec.DisconnectReason(1), int(sent ? NetReason_SendQueueFull : NetReason_Encode));
    EXPECT_EQ(srec.Count(RecordOf()), 0u);
  }
}

}  // namespace
