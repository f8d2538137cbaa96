#include "tessel/util/ping.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(IcmpChecksum, MatchesTheRfc1071Example) {
  // The example of RFC 1071 section 3: words 0001 f203 f4f5 f6f7 sum to ddf2 (byte-swapped in
  // memory order on a little-endian machine); the checksum is its complement.
  const uint8_t data[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(IcmpChecksum(data, sizeof(data)), static_cast<uint16_t>(~0xf2ddu & 0xFFFF));
}

TEST(IcmpChecksum, ARequestWithItsChecksumSumsToZeroAndAnOddLastByteCountsAsAWord) {
  uint8_t request[kEchoRequestSize];
  BuildEchoRequest(request, 0x1234, 7, 0xdeadbeef);
  EXPECT_EQ(IcmpChecksum(request, sizeof(request)), 0);
  EXPECT_EQ(request[0], 8);
  EXPECT_EQ(request[12], 0x45);
  EXPECT_EQ(request[43], 0x45);
  const uint8_t odd[] = {0x01, 0x02, 0x03};
  const uint8_t even[] = {0x01, 0x02, 0x03, 0x00};
  EXPECT_EQ(IcmpChecksum(odd, 3), IcmpChecksum(even, 4));
}

// An echo reply as a raw socket receives it: a 20-byte IP header, then the ICMP message.
std::vector<uint8_t> RawReply(uint8_t type, uint16_t id, uint16_t seq, uint32_t stamp) {
  std::vector<uint8_t> reply(20 + kEchoRequestSize, 0);
  reply[0] = 0x45;
  BuildEchoRequest(reply.data() + 20, id, seq, stamp);
  reply[20] = type;
  return reply;
}

TEST(DecodeEchoReply, CountsOurEchoReplyWithItsRoundTrip) {
  auto reply = RawReply(0, 77, 2, 1000);
  uint32_t rtt = 0;
  uint16_t seq = 0;
  EXPECT_TRUE(DecodeEchoReply(reply.data(), reply.size(), true, "127.0.0.1", 77, 1012, rtt, seq));
  EXPECT_EQ(rtt, 12u);
  EXPECT_EQ(seq, 2);
}

TEST(DecodeEchoReply, RefusesAnotherProcesssEchoAndOtherTypes) {
  uint32_t rtt = 99;
  uint16_t seq = 0;
  auto foreign = RawReply(0, 78, 0, 1000);
  EXPECT_FALSE(DecodeEchoReply(foreign.data(), foreign.size(), true, "a", 77, 1010, rtt, seq));
  auto request = RawReply(8, 77, 0, 1000);
  EXPECT_FALSE(DecodeEchoReply(request.data(), request.size(), true, "a", 77, 1010, rtt, seq));
  EXPECT_EQ(rtt, 99u);
}

TEST(DecodeEchoReply, NeverReadsPastAShortReply) {
  auto reply = RawReply(0, 77, 0, 1000);
  uint32_t rtt = 0;
  uint16_t seq = 0;
  // Cut inside the ICMP fields; an IP header length claiming 60 bytes with 30 present.
  EXPECT_FALSE(DecodeEchoReply(reply.data(), 25, true, "a", 77, 1000, rtt, seq));
  reply[0] = 0x4F;
  EXPECT_FALSE(DecodeEchoReply(reply.data(), 30, true, "a", 77, 1000, rtt, seq));
  EXPECT_FALSE(DecodeEchoReply(reply.data(), 0, true, "a", 77, 1000, rtt, seq));
}

TEST(DecodeEchoReply, DatagramRepliesCarryNoIpHeader) {
  uint8_t reply[kEchoRequestSize];
  BuildEchoRequest(reply, 5, 1, 400);
  reply[0] = 0;
  uint32_t rtt = 0;
  uint16_t seq = 0;
  EXPECT_TRUE(DecodeEchoReply(reply, sizeof(reply), false, "a", 5, 403, rtt, seq));
  EXPECT_EQ(rtt, 3u);
}

TEST(Ping, LoopbackAnswersWithASmallRoundTrip) {
  unsigned long rtt = Ping("127.0.0.1", 3);
  ASSERT_NE(rtt, kPingFailed) << "no ICMP socket could be opened on this machine";
  // Every reply came: a time-out would have added 2000 ms to the mean's total.
  EXPECT_LT(rtt, 667u);
}

TEST(Ping, AnUnresolvableNameOrACountOfZeroFailsWithoutSending) {
  testing::internal::CaptureStdout();
  unsigned long result = Ping("no-such-host.invalid", 3);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, kPingFailed);
  EXPECT_EQ(out.find("Pinging"), std::string::npos);
  EXPECT_EQ(Ping("127.0.0.1", 0), kPingFailed);
}

}  // namespace
