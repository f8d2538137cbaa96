// The send queue of one connection: frames appended by Send into a filling buffer; the one
// write in flight takes the whole filling buffer as its batch, so small records leave in few
// writes. Not locked itself: its owner guards it with the link's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "netlib/net_frame.h"

namespace netlib {

// A growable byte array whose new bytes are not zero-filled.
class cByteBuffer {
 public:
  size_t size() const { return m_size; }
  size_t capacity() const { return m_cap; }
  bool empty() const { return m_size == 0; }
  char* data() { return m_data.get(); }
  const char* data() const { return m_data.get(); }
  // Grows by n bytes and returns where they start.
  char* Extend(size_t n) {
    if (m_size + n > m_cap) Grow(m_size + n);
    char* at = m_data.get() + m_size;
    m_size += n;
    return at;
  }
  void clear() { m_size = 0; }
  // Shortens to n bytes (n <= size()).
  void Truncate(size_t n) { m_size = n; }
  void Release();
  void swap(cByteBuffer& other) noexcept;

 private:
  void Grow(size_t need);

  std::unique_ptr<char[]> m_data;
  size_t m_size = 0;
  size_t m_cap = 0;
};

class cSendQueue {
 public:
  // Bytes appended and not yet confirmed written.
  size_t Unsent() const { return m_fill.size() + m_out.size(); }
  size_t Filling() const { return m_fill.size(); }
  uint32_t BatchRecords() const { return m_outRecords; }
  // Appends one frame and returns where it starts (valid until the next change).
  char* Append(const void* body, uint32_t size, bool internal) {
    char* at = m_fill.Extend(kFrameHeader + size);
    PutFrameHeader(at, size, internal);
    if (size) std::memcpy(at + kFrameHeader, body, size);
    ++m_fillRecords;
    return at;
  }
  // Appends the unsent tail of one frame whose first `skip` bytes a direct send already wrote.
  void AppendTail(const char* header, const void* body, uint32_t size, size_t skip) {
    char* at = m_fill.Extend(kFrameHeader + size - skip);
    if (skip < kFrameHeader) {
      std::memcpy(at, header + skip, kFrameHeader - skip);
      std::memcpy(at + kFrameHeader - skip, body, size);
    } else {
      std::memcpy(at, static_cast<const char*>(body) + (skip - kFrameHeader),
                  kFrameHeader + size - skip);
    }
    ++m_fillRecords;
  }
  // Appends one packed record: its plain size, then `packedSize` packed bytes.
  void AppendPacked(uint32_t plainSize, const void* packed, uint32_t packedSize) {
    char* at = m_fill.Extend(kFrameHeader + kPackedPrefix + packedSize);
    PutLe32(at, (kPackedPrefix + packedSize) | kFramePackedBit);
    PutLe32(at + kFrameHeader, plainSize);
    std::memcpy(at + kFrameHeader + kPackedPrefix, packed, packedSize);
    ++m_fillRecords;
  }
  // Moves the filling buffer into the outgoing batch; false when there is nothing to write.
  // Requires the previous batch to be done.
  bool TakeBatch();
  const cByteBuffer& Batch() const { return m_out; }
  // The batch, to be replaced by its encrypted form before any of it is written.
  cByteBuffer& MutableBatch() { return m_out; }
  // The batch was written: clears it, keeping its capacity for the next one.
  void BatchDone();
  // Gives back empty buffers whose capacity passes `keep` bytes.
  void Trim(size_t keep);
  // Drops what was not yet handed to a write; the number of bytes dropped.
  size_t DropFilling();
  void Clear();

 private:
  cByteBuffer m_fill;
  cByteBuffer m_out;
  uint32_t m_fillRecords = 0;
  uint32_t m_outRecords = 0;
};

}  // namespace netlib
