#include "netlib/net_frame.h"

#include "netlib/net_limits.h"

namespace netlib {

stFrame PeekFrame(const char* p, size_t n, uint32_t maxRecord) {
  stFrame f;
  if (n < kFrameHeader) return f;
  uint32_t word = ReadLe32(p);
  f.haveHeader = true;
  if (word & kFrameInternalBit) {
    f.body = word & ~kFrameInternalBit;
    if (f.body == 0 || f.body > kMaxInternalFrame) {
      f.kind = eFrame::Malformed;
      return f;
    }
    f.kind = n - kFrameHeader >= f.body ? eFrame::Internal : eFrame::Partial;
    return f;
  }
  f.body = RecordBody(word, f.packed);
  if (f.packed && f.body < kPackedPrefix) {
    f.kind = eFrame::Malformed;
    return f;
  }
  // A packed body holds at most the largest record and its size word (it is sent only smaller).
  if (f.body > maxRecord + (f.packed ? kPackedPrefix : 0)) {
    f.kind = eFrame::TooBig;
    return f;
  }
  f.kind = n - kFrameHeader >= f.body ? eFrame::Record : eFrame::Partial;
  return f;
}

}  // namespace netlib
