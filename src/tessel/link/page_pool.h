// Fixed-size pages for small deliveries of the network callbacks: pages are recycled through
// locked free lists, one block of pages at a time is added when none is free, and after a burst
// the blocks that are wholly free again are given back. Any thread.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
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

  // A free page, growing the pool once when none is left; null when the pool cannot grow. Pages
  // of the lowest block come first, so the blocks a burst added are the first to empty again.
  char* Alloc();
  // Gives a page taken with Alloc back.
  void Free(char* page);
  // Adds one block of pages; false when it cannot be allocated (or the block bound is reached).
  bool Double();
  // Frees every block whose pages are all free, keeping one block; the number freed.
  size_t Trim();

  unsigned GetPageSize() const { return m_nPageSize; }
  size_t GetFreeCount() const;
  size_t GetChunkCount() const;

 private:
  struct stChunk {
    std::unique_ptr<char[]> bytes;
    std::vector<char*> free;  // its free pages
  };
  bool DoubleLocked();

  const unsigned m_nPageSize;
  const unsigned m_nPagesPerChunk;
  const unsigned m_nMaxChunks;
  mutable std::mutex m_lock;
  std::map<const char*, stChunk> m_chunks;  // by first byte
  std::set<const char*> m_withFree;         // first bytes of the blocks with a free page
  size_t m_nFree = 0;
};
