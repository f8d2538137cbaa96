// The send queue of one connection: frames appended by Send into a chain of blocks that never
// move; the connection's writer takes blocks from the front as its batch, so that small records
// leave in few writes, a large queue leaves in batches of bounded size, and the writer reads the
// blocks it took while senders go on filling others. Not locked itself: its owner guards the
// queue with the link's lock, and a batch belongs to the connection's writer.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

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

// A block of queued frames; its bytes never move.
struct stSendBlock {
  std::unique_ptr<char[]> bytes;
  uint32_t capacity = 0;
  uint32_t size = 0;
  uint32_t records = 0;  // frames that start in it
};

// Memory given back under the link's lock, freed by its holder once the lock is let go: freeing
// may call the system.
struct stFreed {
  std::vector<stSendBlock> blocks;
  cByteBuffer bytes;
};

// The batch the connection's writer is writing and how far the socket took it: the blocks
// taken from the queue, or bytes of its own (their sealed form on a TLS link, or the part of a
// record written from the caller's bytes that the socket did not take).
struct stWriteBatch {
  std::vector<stSendBlock> blocks;
  cByteBuffer wire;      // when not empty, what goes to the socket in place of the blocks
  size_t bytes = 0;      // bytes that go to the socket
  size_t sent = 0;       // of them, written
  uint32_t records = 0;  // records in it
  bool sealed = false;   // TLS: `wire` holds the blocks' sealed form
  bool empty() const { return bytes == 0; }
  // Fills `parts` (at most `most`) with what is left to write; their count.
  int Pieces(iovec* parts, int most) const;
  // Gives back the bytes of its own whose capacity passes `keep` (all of them: 0).
  void Trim(size_t keep, stFreed& freed);
};

class cSendQueue {
 public:
  // Bytes queued and not yet taken.
  size_t Queued() const { return m_queued; }
  // Appends one frame; a small one mostly fits the last block.
  void Append(const void* body, uint32_t size, bool internal) {
    if (HasBlocks()) {
      stSendBlock& b = m_blocks.back();
      if (b.capacity - b.size >= kFrameHeader + size) {
        char* at = b.bytes.get() + b.size;
        PutFrameHeader(at, size, internal);
        if (size) std::memcpy(at + kFrameHeader, body, size);
        b.size += static_cast<uint32_t>(kFrameHeader + size);
        ++b.records;
        m_queued += kFrameHeader + size;
        // The lines of the next frame, fetched for writing now: a sender of many links comes
        // back to this one after they left the caches, and its stores would miss.
        __builtin_prefetch(b.bytes.get() + b.size, 1);
        __builtin_prefetch(b.bytes.get() + b.size + 64, 1);
        return;
      }
    }
    char header[kFrameHeader];
    PutFrameHeader(header, size, internal);
    Put(header, kFrameHeader, true);
    Put(body, size, false);
  }
  // Appends one packed record: its plain size, then `packedSize` packed bytes.
  void AppendPacked(uint32_t plainSize, const void* packed, uint32_t packedSize) {
    char head[kFrameHeader + kPackedPrefix];
    PutLe32(head, (kPackedPrefix + packedSize) | kFramePackedBit);
    PutLe32(head + kFrameHeader, plainSize);
    Put(head, sizeof head, true);
    Put(packed, packedSize, false);
  }
  // Moves blocks from the front into the empty `batch`: at least one, and no more once they
  // hold `most` bytes; false when nothing is queued.
  bool TakeInto(stWriteBatch& batch, size_t most);
  // Takes back the blocks of a written batch, to fill again, and empties the batch.
  void Recycle(stWriteBatch& batch);
  // Gives back blocks kept for reuse beyond `keep` bytes.
  void Trim(size_t keep, stFreed& freed);
  // Drops what was not yet taken (keeping a block or so for reuse); the bytes dropped.
  size_t DropQueued(stFreed& freed);
  // Gives back every block.
  void Clear(stFreed& freed);

 private:
  void Put(const void* data, size_t size, bool starts);
  stSendBlock& NewBlock();
  bool HasBlocks() const { return m_head < m_blocks.size(); }

  std::vector<stSendBlock> m_blocks;  // from m_head on, the queued ones, oldest first
  size_t m_head = 0;
  std::vector<stSendBlock> m_spare;  // emptied blocks, to fill again
  size_t m_queued = 0;
};

// The unsent tail of one frame whose first `skip` bytes a write from the caller's bytes already
// wrote, into the empty `batch`.
void TailInto(stWriteBatch& batch, const char* header, const void* body, uint32_t size,
              size_t skip);

}  // namespace netlib
