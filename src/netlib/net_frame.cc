#include "netlib/net_frame.h"

#include "netlib/net_limits.h"
#include "netlib/net_pack.h"
#include "tessel/contracts/net_records.h"

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

stCutFrame CutOddFrame(const char* p, size_t n, uint32_t maxRecord) {
  using eKind = stCutFrame::eKind;
  stCutFrame cut;
  const stFrame f = PeekFrame(p, n, maxRecord);
  cut.packed = f.packed;
  cut.declared = f.body;
  switch (f.kind) {
    case eFrame::Partial:
      return cut;
    case eFrame::TooBig:
      cut.kind = eKind::Refused;
      cut.reason = NetReason_TooBig;
      return cut;
    case eFrame::Malformed:
      cut.kind = eKind::Refused;
      cut.reason = NetReason_RecvUnpack;
      return cut;
    case eFrame::Internal:
      cut.kind = eKind::Internal;
      break;
    case eFrame::Record:
      cut.kind = eKind::Record;
      break;
  }
  cut.body = p + kFrameHeader;
  cut.size = f.body;
  cut.length = static_cast<uint32_t>(kFrameHeader + f.body);
  if (cut.packed) {
    cut.reason = UnpackRecord(p + kFrameHeader, f.body, maxRecord, cut.body, cut.size);
    if (cut.reason) cut.kind = eKind::Refused;
  }
  return cut;
}

}  // namespace netlib
