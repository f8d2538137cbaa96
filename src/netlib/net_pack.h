// Compression of single records with zstd: each record is packed on its own, with no dictionary
// or state shared between records, so the size of one never depends on the bytes of another.
// Pure functions over per-thread scratch buffers; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netlib {

// Packs `size` bytes; true with `packed` pointing at `packedSize` bytes (valid until the next
// call on this thread) when the record is worth packing and came out smaller.
bool PackRecord(const void* data, uint32_t size, const char*& packed, uint32_t& packedSize);

// Unpacks a packed frame body (u32 little-endian plain size, then the packed bytes) into this
// thread's buffer. 0 with `plain`/`plainSize` set; otherwise the disconnect reason: 7 when the
// declared size passes `maxRecord` (checked before anything is unpacked), 8 when the bytes do not
// unpack to exactly the declared size.
uint32_t UnpackRecord(const char* body, uint32_t size, uint32_t maxRecord, const char*& plain,
                      uint32_t& plainSize);

}  // namespace netlib
