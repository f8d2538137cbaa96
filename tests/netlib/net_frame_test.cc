#include "netlib/net_frame.h"

#include <gtest/gtest.h>

#include "netlib/net_send_queue.h"

namespace netlib {
namespace {

// The length word decides: a record is whole once its body is there, a length over the largest
// record is refused before any body arrives, an internal frame holds 1 to 64 bytes.
TEST(NetFrame, TheLengthWordDecidesWhatAFrameIs) {
  const std::tuple<uint32_t, size_t, eFrame> cases[] = {
      // word, bytes there, kind
      {3, 3, eFrame::Partial},
      {3, 6, eFrame::Partial},
      {3, 7, eFrame::Record},
      {0, 4, eFrame::Record},
      {100, 4, eFrame::Partial},
      {101, 4, eFrame::TooBig},
      {0x7fffffff, 4, eFrame::TooBig},
      {5 | kFrameInternalBit, 9, eFrame::Internal},
      {kFrameInternalBit, 4, eFrame::Malformed},
      {65 | kFrameInternalBit, 4, eFrame::Malformed}};
  for (const auto& [word, have, kind] : cases) {
    char bytes[4 + 64] = {};
    PutLe32(bytes, word);
    stFrame f = PeekFrame(bytes, have, 100);
    EXPECT_EQ(f.kind, kind) << std::hex << word << " with " << have;
    EXPECT_EQ(f.haveHeader, have >= 4) << std::hex << word << " with " << have;
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

}  // namespace
}  // namespace netlib
