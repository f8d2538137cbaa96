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
  f.body = word;
  if (word > maxRecord) {
    f.kind = eFrame::TooBig;
    return f;
  }
  f.kind = n - kFrameHeader >= f.body ? eFrame::Record : eFrame::Partial;
  return f;
}

}  // namespace netlib
