#include "netlib/net_frame.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace netlib
