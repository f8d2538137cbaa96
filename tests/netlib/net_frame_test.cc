#include "netlib/net_frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "netlib/net_send_queue.h"

namespace netlib {
namespace {

TEST(NetFrame, ARecordFrameIsWholeOnlyWhenItsBodyHasArrived) {
  char bytes[4 + 3] = {};
  PutFrameHeader(bytes, 3, false);
  EXPECT_EQ(PeekFrame(bytes, 3, 100).kind, eFrame::Partial);
  EXPECT_FALSE(PeekFrame(bytes, 3, 100).haveHeader);
  stFrame partial = PeekFrame(bytes, 6, 100);
  EXPECT_EQ(partial.kind, eFrame::Partial);
  EXPECT_EQ(partial.body, 3u);
  EXPECT_EQ(PeekFrame(bytes, 7, 100).kind, eFrame::Record);
  PutFrameHeader(bytes, 0, false);
  EXPECT_EQ(PeekFrame(bytes, 4, 100).kind, eFrame::Record);
}

TEST(NetFrame, ALengthOverTheLargestRecordIsRefusedBeforeAnyBodyArrives) {
  char bytes[4];
  PutFrameHeader(bytes, 101, false);
  EXPECT_EQ(PeekFrame(bytes, 4, 100).kind, eFrame::TooBig);
  PutFrameHeader(bytes, 100, false);
  EXPECT_EQ(PeekFrame(bytes, 4, 100).kind, eFrame::Partial);
  PutLe32(bytes, 0x7fffffff);
  EXPECT_EQ(PeekFrame(bytes, 4, 100).kind, eFrame::TooBig);
}

TEST(NetFrame, InternalFramesHaveTheTopBitAndOneToSixtyFourBytes) {
  char bytes[4 + 64] = {};
  PutFrameHeader(bytes, 5, true);
  EXPECT_EQ(PeekFrame(bytes, 9, 1).kind, eFrame::Internal);
  PutFrameHeader(bytes, 0, true);
  EXPECT_EQ(PeekFrame(bytes, 4, 100).kind, eFrame::Malformed);
  PutFrameHeader(bytes, 65, true);
  EXPECT_EQ(PeekFrame(bytes, 4, 100).kind, eFrame::Malformed);
  EXPECT_EQ(ReadLe32(bytes), 65u | kFrameInternalBit);
}

TEST(SendQueue, RecordsQueuedDuringAWriteLeaveTogetherInTheNextBatch) {
  cSendQueue q;
  q.Append("ab", 2, false);
  ASSERT_TRUE(q.TakeBatch());
  EXPECT_EQ(q.Batch().size(), 6u);
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
  q.BatchDone();
  EXPECT_FALSE(q.TakeBatch());
  EXPECT_EQ(q.Unsent(), 0u);
}

TEST(SendQueue, DroppingTheFillingPartKeepsTheBatchInFlight) {
  cSendQueue q;
  q.Append("12345", 5, false);
  ASSERT_TRUE(q.TakeBatch());
  q.Append("678", 3, false);
  q.DropFilling();
  EXPECT_EQ(q.Unsent(), 9u);
  EXPECT_EQ(std::string(q.Batch().data() + 4, 5), "12345");
}

TEST(SendQueue, BuffersGrownByABurstAreGivenBackOnlyOnceEmpty) {
  cSendQueue q;
  std::string big(200000, 'b');
  q.Append(big.data(), static_cast<uint32_t>(big.size()), false);
  ASSERT_TRUE(q.TakeBatch());
  q.Trim(1000);
  EXPECT_GE(q.Batch().capacity(), big.size());
  q.BatchDone();
  EXPECT_GE(q.Batch().capacity(), big.size());  // kept for the next batch of a busy link
  q.Trim(big.size() * 2);
  EXPECT_GE(q.Batch().capacity(), big.size());
  q.Trim(1000);
  EXPECT_EQ(q.Batch().capacity(), 0u);
}

}  // namespace
}  // namespace netlib
