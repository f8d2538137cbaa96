#include "netlib/net_frame.h"

#include "netlib/net_limits.h"

namespace netlib {

uint32_t ReadLe32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}

void PutLe32(char* out, uint32_t v) {
  out[0] = static_cast<char>(v);
  out[1] = static_cast<char>(v >> 8);
  out[2] = static_cast<char>(v >> 16);
  out[3] = static_cast<char>(v >> 24);
}

void PutFrameHeader(char* out, uint32_t body, bool internal) {
  PutLe32(out, internal ? (body | kFrameInternalBit) : body);
}

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
