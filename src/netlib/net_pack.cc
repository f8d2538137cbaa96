#include "netlib/net_pack.h"

#include <zstd.h>

#include <memory>
#include <vector>

#include "netlib/net_frame.h"
#include "netlib/net_limits.h"
#include "tessel/contracts/net_records.h"

namespace netlib {

namespace {

// zstd's fastest level: links trade a little ratio for time on the sending thread.
constexpr int kPackLevel = 1;

struct stPackScratch {
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx{ZSTD_createCCtx(), ZSTD_freeCCtx};
  std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> dctx{ZSTD_createDCtx(), ZSTD_freeDCtx};
  std::vector<char> packed, plain;
};

stPackScratch& Scratch() {
  thread_local stPackScratch scratch;
  return scratch;
}

}  // namespace

bool PackRecord(const void* data, uint32_t size, const char*& packed, uint32_t& packedSize) {
  if (size < kPackMinBytes) return false;
  stPackScratch& s = Scratch();
  size_t bound = ZSTD_compressBound(size);
  if (s.packed.size() < bound) s.packed.resize(bound);
  size_t n = ZSTD_compressCCtx(s.cctx.get(), s.packed.data(), bound, data, size, kPackLevel);
  if (ZSTD_isError(n) || n + kPackedPrefix >= size) return false;
  packed = s.packed.data();
  packedSize = static_cast<uint32_t>(n);
  return true;
}

uint32_t UnpackRecord(const char* body, uint32_t size, uint32_t maxRecord, const char*& plain,
                      uint32_t& plainSize) {
  if (size < kPackedPrefix) return NetReason_RecvUnzip;
  uint32_t declared = ReadLe32(body);
  if (declared > maxRecord) return NetReason_RecvPackBig;
  stPackScratch& s = Scratch();
  if (s.plain.size() < declared + 1) s.plain.resize(declared + 1);
  size_t n = ZSTD_decompressDCtx(s.dctx.get(), s.plain.data(), declared, body + kPackedPrefix,
                                 size - kPackedPrefix);
  if (ZSTD_isError(n) || n != declared) return NetReason_RecvUnzip;
  plain = s.plain.data();
  plainSize = declared;
  return 0;
}

}  // namespace netlib
