#include "netlib/net_frame.h"

#include <gtest/gtest.h>

#include "netlib/net_send_queue.h"

namespace netlib {
namespace {

// The length word decides: a record is whole once its body is there, a length over the largest
// record is refused before any body arrives, an internal frame holds 1 to 64 bytes.
TEST(NetFrame, TheLengthWordDecidesWhatAFrameIs) {
  struct stCase {
    uint32_t word;
    size_t have;  // bytes available, header included
    eFrame kind;
    bool haveHeader;
  } cases[] = {
      {3, 3, eFrame::Partial, false},
      {3, 6, eFrame::Partial, true},
      {3, 7, eFrame::Record, true},
      {0, 4, eFrame::Record, true},
      {100, 4, eFrame::Partial, true},
      {101, 4, eFrame::TooBig, true},
      {0x7fffffff, 4, eFrame::TooBig, true},
      {5 | kFrameInternalBit, 9, eFrame::Internal, true},
      {kFrameInternalBit, 4, eFrame::Malformed, true},
      {65 | kFrameInternalBit, 4, eFrame::Malformed, true},
  };
  for (const auto& c : cases) {
    char bytes[4 + 64] = {};
    PutLe32(bytes, c.word);
    stFrame f = PeekFrame(bytes, c.have, 100);
    EXPECT_EQ(f.kind, c.kind) << std::hex << c.word << " with " << c.have;
    EXPECT_EQ(f.haveHeader, c.haveHeader) << std::hex << c.word << " with " << c.have;
  }
}

TEST(SendQueue, RecordsQueuedDuringAWriteLeaveTogetherInTheNextBatch) {
  cSendQueue q;
  q.Append("ab", 2, false);
  ASSERT_TRUE(q.TakeBatch());
  EXPECT_EQ(q.BatchRecords(), 1u);
  for (int i = 0; i < 100; ++i) q.Append("xyz", 3, false);
  q.Append("\x01", 1, true);
  EXPECT_EQ(q.Unsent(), 6u + 100 * 7 + 5);
  q.BatchDone();
  ASSERT_TRUE(q.TakeBatch());
  EXPECT_EQ(q.BatchRecords(), 101u);
  const char* b = q.Batch().data();
  EXPECT_EQ(ReadLe32(b), 3u);
  EXPECT_EQ(std::string(b + 4, 3), "xyz");
  EXPECT_EQ(ReadLe32(b + 700), 1u | kFrameInternalBit);
  // Dropping the filling part (a cut link) keeps the batch in flight.
  q.Append("lost", 4, false);
  q.DropFilling();
  EXPECT_EQ(q.Unsent(), 705u);
  q.BatchDone();
  EXPECT_FALSE(q.TakeBatch());
  EXPECT_EQ(q.Unsent(), 0u);
}

TEST(SendQueue, BuffersGrownByABurstAreGivenBackOnlyOnceEmpty) {
  cSendQueue q;
  std::string big(200000, 'b');
  q.Append(big.data(), static_cast<uint32_t>(big.size()), false);
  ASSERT_TRUE(q.TakeBatch());
  q.Trim(1000);
  EXPECT_GE(q.Batch().capacity(), big.size());
  q.BatchDone();
  q.Trim(big.size() * 2);
  EXPECT_GE(q.Batch().capacity(), big.size());  // kept for the next batch of a busy link
  q.Trim(1000);
  EXPECT_EQ(q.Batch().capacity(), 0u);
}

}  // namespace
}  // namespace netlib
