#include "netlib/net_send_queue.h"

#include <sys/uio.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "netlib/net_frame.h"
#include "netlib/net_limits.h"

namespace netlib {

void cByteBuffer::Grow(size_t need) {
  size_t cap = m_cap ? m_cap * 2 : 256;
  while (cap < need) cap *= 2;
  std::unique_ptr<char[]> grown(new char[cap]);
  if (m_size) std::memcpy(grown.get(), m_data.get(), m_size);
  m_data = std::move(grown);
  m_cap = cap;
}

void cByteBuffer::Release() {
  m_data.reset();
  m_size = m_cap = 0;
}

void cByteBuffer::swap(cByteBuffer& other) noexcept {
  m_data.swap(other.m_data);
  std::swap(m_size, other.m_size);
  std::swap(m_cap, other.m_cap);
}

namespace {

// The first block of an idle queue is small, as most links send little; a queue that grows
// takes blocks of a size that keeps a write's bookkeeping small.
constexpr uint32_t kFirstBlockBytes = 4096;
constexpr uint32_t kBlockBytes = 64 * 1024;

}  // namespace

int stWriteBatch::Pieces(iovec* parts, int most) const {
  if (!wire.empty()) {
    parts[0] = {const_cast<char*>(wire.data()) + sent, wire.size() - sent};
    return 1;
  }
  int n = 0;
  size_t skip = sent;
  for (const stSendBlock& b : blocks) {
    if (skip >= b.size) {
      skip -= b.size;
      continue;
    }
    if (n == most) break;
    parts[n++] = {b.bytes.get() + skip, b.size - skip};
    skip = 0;
  }
  return n;
}

void stWriteBatch::Trim(size_t keep, stFreed& freed) {
  if (wire.empty() && wire.capacity() > keep) wire.swap(freed.bytes);
}

stSendBlock& cSendQueue::NewBlock() {
  // Slots of blocks already taken are reused once they are half of the table.
  if (m_head && m_head * 2 >= m_blocks.size()) {
    m_blocks.erase(m_blocks.begin(), m_blocks.begin() + static_cast<std::ptrdiff_t>(m_head));
    m_head = 0;
  }
  if (!m_spare.empty()) {
    m_blocks.push_back(std::move(m_spare.back()));
    m_spare.pop_back();
  } else {
    stSendBlock b;
    b.capacity = HasBlocks() ? kBlockBytes : kFirstBlockBytes;
    b.bytes.reset(new char[b.capacity]);
    m_blocks.push_back(std::move(b));
  }
  return m_blocks.back();
}

void cSendQueue::Put(const void* data, size_t size, bool starts) {
  const char* from = static_cast<const char*>(data);
  m_queued += size;
  if (starts) {
    stSendBlock* b = !HasBlocks() || m_blocks.back().size == m_blocks.back().capacity
                         ? &NewBlock()
                         : &m_blocks.back();
    ++b->records;
  }
  while (size) {
    stSendBlock* b = HasBlocks() ? &m_blocks.back() : &NewBlock();
    if (b->size == b->capacity) b = &NewBlock();
    const size_t n = std::min<size_t>(size, b->capacity - b->size);
    std::memcpy(b->bytes.get() + b->size, from, n);
    b->size += static_cast<uint32_t>(n);
    from += n;
    size -= n;
  }
}

bool cSendQueue::TakeInto(stWriteBatch& batch, size_t most) {
  assert(batch.empty());
  size_t taken = 0;
  while (HasBlocks() && (taken == 0 || taken < most)) {
    stSendBlock& b = m_blocks[m_head++];
    taken += b.size;
    batch.records += b.records;
    batch.blocks.push_back(std::move(b));
  }
  if (!HasBlocks()) {
    m_blocks.clear();
    m_head = 0;
  }
  m_queued -= taken;
  batch.bytes = taken;
  batch.sent = 0;
  return taken != 0;
}

void cSendQueue::Recycle(stWriteBatch& batch) {
  for (stSendBlock& b : batch.blocks) {
    b.size = 0;
    b.records = 0;
    m_spare.push_back(std::move(b));
  }
  batch.blocks.clear();
  batch.wire.clear();
  batch.bytes = batch.sent = 0;
  batch.records = 0;
  batch.sealed = false;
}

void cSendQueue::Trim(size_t keep, stFreed& freed) {
  size_t kept = 0;
  for (size_t i = 0; i < m_spare.size(); ++i) {
    kept += m_spare[i].capacity;
    if (kept > keep) {
      for (size_t j = i; j < m_spare.size(); ++j) freed.blocks.push_back(std::move(m_spare[j]));
      m_spare.resize(i);
      break;
    }
  }
}

size_t cSendQueue::DropQueued(stFreed& freed) {
  const size_t dropped = m_queued;
  for (; m_head < m_blocks.size(); ++m_head) {
    stSendBlock& b = m_blocks[m_head];
    b.size = b.records = 0;
    m_spare.push_back(std::move(b));
  }
  m_blocks.clear();
  m_head = 0;
  m_queued = 0;
  Trim(kSendKeepBytes, freed);
  return dropped;
}

void cSendQueue::Clear(stFreed& freed) {
  for (; m_head < m_blocks.size(); ++m_head) freed.blocks.push_back(std::move(m_blocks[m_head]));
  for (stSendBlock& b : m_spare) freed.blocks.push_back(std::move(b));
  m_blocks.clear();
  m_head = 0;
  m_spare.clear();
  m_queued = 0;
  Trim(0, freed);
}

void TailInto(stWriteBatch& batch, const char* header, const void* body, uint32_t size,
              size_t skip) {
  assert(batch.empty());
  char* at = batch.wire.Extend(kFrameHeader + size - skip);
  if (skip < kFrameHeader) {
    std::memcpy(at, header + skip, kFrameHeader - skip);
    std::memcpy(at + kFrameHeader - skip, body, size);
  } else {
    std::memcpy(at, static_cast<const char*>(body) + (skip - kFrameHeader),
                kFrameHeader + size - skip);
  }
  batch.bytes = batch.wire.size();
  batch.sent = 0;
  batch.records = 1;
}

}  // namespace netlib
