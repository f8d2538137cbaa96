// Fixed-size pages for small deliveries of the network callbacks: pages are recycled through a
// locked free list and the pool only grows, one block of pages at a time. Any thread.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class cPagePool {
 public:
  static constexpr unsigned kPageSize = 1024;
  static constexpr unsigned kPagesPerChunk = 1024;

  // The process-wide pool of 1024-byte pages.
  static cPagePool& Instance();

  // Allocates the first block at once. With `maxChunks` above 0 the pool never holds more blocks
  // than that (Double then fails), which bounds its memory.
  explicit cPagePool(unsigned pageSize = kPageSize, unsigned pagesPerChunk = kPagesPerChunk,
                     unsigned maxChunks = 0);
  cPagePool(const cPagePool&) = delete;
  cPagePool& operator=(const cPagePool&) = delete;

  // A free page, growing the pool once when none is left; null when the pool cannot grow.
  char* Alloc();
  // Gives a page taken with Alloc back.
  void Free(char* page);
  // Adds one block of pages; false when it cannot be allocated (or the block bound is reached).
  bool Double();

  unsigned GetPageSize() const { return m_nPageSize; }
  size_t GetFreeCount() const;
  size_t GetChunkCount() const;

 private:
  bool DoubleLocked();

  const unsigned m_nPageSize;
  const unsigned m_nPagesPerChunk;
  const unsigned m_nMaxChunks;
  mutable std::mutex m_lock;
  std::vector<std::unique_ptr<char[]>> m_vChunks;
  std::deque<char*> m_dqFree;
};
