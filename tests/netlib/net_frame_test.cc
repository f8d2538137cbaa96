#include "netlib/net_frame.h"
#include "netlib/net_send_queue.h"

#include <gtest/gtest.h>

namespace netlib {
namespace {

// The length word decides: a record is whole once its body is there, a length over the largest
// record is refused before any body arrives (reason 6), an internal frame holds 1 to 64 bytes
// (else reason 9); the reader's cut of the frame says the same and takes exactly its bytes.
TEST(NetFrame, TheLengthWordDecidesWhatAFrameIs) {
  using enum eFrame;
  using Cut = stCutFrame::eKind;
  const uint32_t I = kFrameInternalBit;  // the length word, the bytes there, the kind of frame
  const std::tuple<uint32_t, size_t, eFrame, Cut, uint32_t> cases[] = {
      {3, 3, Partial, Cut::Partial, 0},         {3, 6, Partial, Cut::Partial, 0},
      {3, 7, Record, Cut::Record, 0},           {0, 4, Record, Cut::Record, 0},
      {100, 4, Partial, Cut::Partial, 0},       {101, 4, TooBig, Cut::Refused, 6},
      {0x7fffffff, 4, TooBig, Cut::Refused, 6}, {I + 5, 9, Internal, Cut::Internal, 0},
      {I, 4, Malformed, Cut::Refused, 9},       {I + 65, 4, Malformed, Cut::Refused, 9}};
  for (const auto& [word, have, kind, cutKind, reason] : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << word << " " << have);
    char bytes[4 + 64] = {};
    PutLe32(bytes, word);
    stFrame f = PeekFrame(bytes, have, 100);
    EXPECT_EQ(f.kind, kind);
    EXPECT_EQ(f.haveHeader, have >= 4);
    stCutFrame cut = CutFrame(bytes, have, 100);
    EXPECT_EQ(cut.kind, cutKind);
    EXPECT_EQ(cut.reason, reason);
    if (cutKind == Cut::Record || cutKind == Cut::Internal) {
      EXPECT_EQ(cut.length, have);
    }
  }
}

// What the writer writes: its batch's pieces, from where the socket stopped.
std::string Unwritten(const stWriteBatch& batch) {
  iovec parts[64];
  std::string out;
  for (int i = 0, n = batch.Pieces(parts, 64); i < n; ++i)
    out.append(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
  return out;
}

// Frames of sizes that straddle the queue's blocks leave in batches of bounded size, byte for
// byte and in order, with every record counted once; a batch the socket took in part goes on
// from the first byte it did not take.
TEST(NetFrame, QueuedFramesLeaveInBoundedBatchesByteForByte) {
  cSendQueue queue;
  std::string frames;
  uint32_t records = 0;
  for (uint32_t size : {0u, 10u, 4086u, 5000u, 70000u, 3u, 131072u, 1u}) {
    const std::string body(size, char('a' + records));
    queue.Append(body.data(), size, false);
    char header[kFrameHeader];
    PutFrameHeader(header, size, false);
    frames += std::string(header, kFrameHeader) + body;
    ++records;
  }
  std::string out;
  uint32_t counted = 0;
  stWriteBatch batch;
  while (queue.TakeInto(batch, 100000)) {
    EXPECT_LE(batch.bytes, 100000u + 65536u);
    batch.sent = batch.bytes / 3;
    out += frames.substr(out.size(), batch.sent) + Unwritten(batch);
    counted += batch.records;
    queue.Recycle(batch);
  }
  EXPECT_EQ(out, frames);
  EXPECT_EQ(counted, records);
  EXPECT_EQ(queue.Queued(), 0u);
}

// A frame the socket took only in part: the batch holds exactly the bytes after the part
// taken, whether the cut fell in the length word or in the body.
TEST(NetFrame, TheQueuedTailOfAPartlyWrittenFrameIsItsRestByteForByte) {
  const std::string body = "0123456789";
  char header[kFrameHeader];
  PutFrameHeader(header, static_cast<uint32_t>(body.size()), false);
  const std::string frame = std::string(header, kFrameHeader) + body;
  for (size_t skip = 0; skip < frame.size(); ++skip) {
    stWriteBatch batch;
    TailInto(batch, header, body.data(), static_cast<uint32_t>(body.size()), skip);
    EXPECT_EQ(Unwritten(batch), frame.substr(skip));
    EXPECT_EQ(batch.records, 1u);
  }
}

}  // namespace
}  // namespace netlib
