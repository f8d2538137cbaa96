#include "netlib/net_frame.h"
#include "netlib/net_send_queue.h"

#include <gtest/gtest.h>

namespace netlib {
namespace {

// The length word decides: a record is whole once its body is there, a length over the largest
// record is refused before any body arrives, an internal frame holds 1 to 64 bytes.
TEST(NetFrame, TheLengthWordDecidesWhatAFrameIs) {
  using enum eFrame;
  const uint32_t I = kFrameInternalBit;  // the length word, the bytes there, the kind of frame
  const std::tuple<uint32_t, size_t, eFrame> cases[] = {
      {3, 3, Partial},   {3, 6, Partial},       {3, 7, Record},          {0, 4, Record},
      {100, 4, Partial}, {101, 4, TooBig},      {0x7fffffff, 4, TooBig}, {I + 5, 9, Internal},
      {I, 4, Malformed}, {I + 65, 4, Malformed}};
  for (const auto& [word, have, kind] : cases) {
    char bytes[4 + 64] = {};
    PutLe32(bytes, word);
    stFrame f = PeekFrame(bytes, have, 100);
    EXPECT_EQ(f.kind, kind) << std::hex << word << " " << have;
    EXPECT_EQ(f.haveHeader, have >= 4) << std::hex << word << " " << have;
  }
}

// A frame the socket took only in part: the queue holds exactly the bytes after the part taken,
// whether the cut fell in the length word or in the body.
TEST(NetFrame, TheQueuedTailOfAPartlyWrittenFrameIsItsRestByteForByte) {
  const std::string body = "0123456789";
  char header[kFrameHeader];
  PutFrameHeader(header, static_cast<uint32_t>(body.size()), false);
  const std::string frame = std::string(header, kFrameHeader) + body;
  for (size_t skip = 0; skip < frame.size(); ++skip) {
    cSendQueue queue;
    queue.AppendTail(header, body.data(), static_cast<uint32_t>(body.size()), skip);
    ASSERT_TRUE(queue.TakeBatch());
    EXPECT_EQ(std::string(queue.Batch().data(), queue.Batch().size()), frame.substr(skip));
    EXPECT_EQ(queue.BatchRecords(), 1u);
  }
}

}  // namespace
}  // namespace netlib
