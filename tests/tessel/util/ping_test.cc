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

// Only our own echo reply counts, with its round trip; a reply is never read past its end; a
// datagram socket's reply carries no IP header.
TEST(DecodeEchoReply, OnlyOurWholeEchoReplyCounts) {
  auto ours = RawReply(0, 77, 2, 1000);
  auto longHeader = ours;
  longHeader[0] = 0x4F;  // an IP header length claiming 60 bytes
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t size;
    bool raw;
    bool counts;
  } cases[] = {
      {"ours", ours, ours.size(), true, true},
      {"another process's", RawReply(0, 78, 2, 1000), ours.size(), true, false},
      {"a request", RawReply(8, 77, 2, 1000), ours.size(), true, false},
      {"cut inside the ICMP fields", ours, 25, true, false},
      {"IP header longer than the reply", longHeader, 30, true, false},
      {"empty", ours, 0, true, false},
      {"datagram", std::vector<uint8_t>(ours.begin() + 20, ours.end()), kEchoRequestSize, false,
       true},
  };
  for (const auto& c : cases) {
    uint32_t rtt = 99;
    uint16_t seq = 0;
    EXPECT_EQ(DecodeEchoReply(c.bytes.data(), c.size, c.raw, "a", 77, 1012, rtt, seq), c.counts)
        << c.name;
    EXPECT_EQ(rtt, c.counts ? 12u : 99u) << c.name;
    EXPECT_EQ(seq, c.counts ? 2 : 0) << c.name;
  }
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
