#include "tessel/link/page_pool.h"

#include <new>
#include <string>

#include "platform/stdout_line.h"

cPagePool& cPagePool::Instance() {
  static cPagePool pool;
  return pool;
}

cPagePool::cPagePool(unsigned pageSize, unsigned pagesPerChunk, unsigned maxChunks)
    : m_nPageSize(pageSize), m_nPagesPerChunk(pagesPerChunk), m_nMaxChunks(maxChunks) {
  std::lock_guard lock(m_lock);
  DoubleLocked();
}

char* cPagePool::Alloc() {
  std::lock_guard lock(m_lock);
  if (m_withFree.empty() && !DoubleLocked()) return nullptr;
  stChunk& chunk = m_chunks.at(*m_withFree.begin());
  char* page = chunk.free.back();
  chunk.free.pop_back();
  if (chunk.free.empty()) m_withFree.erase(m_withFree.begin());
  --m_nFree;
  return page;
}

void cPagePool::Free(char* page) {
  if (page == nullptr) return;
  std::lock_guard lock(m_lock);
  auto it = std::prev(m_chunks.upper_bound(page));
  it->second.free.push_back(page);
  if (it->second.free.size() == 1) m_withFree.insert(it->first);
  ++m_nFree;
}

bool cPagePool::Double() {
  std::lock_guard lock(m_lock);
  return DoubleLocked();
}

bool cPagePool::DoubleLocked() {
  if (m_nMaxChunks != 0 && m_chunks.size() >= m_nMaxChunks) return false;
  const size_t bytes = static_cast<size_t>(m_nPageSize) * m_nPagesPerChunk;
  stChunk chunk;
  chunk.bytes.reset(new (std::nothrow) char[bytes]);
  if (!chunk.bytes) return false;
  // Pages are handed out from the back of the list: the block's first page first.
  for (size_t page = m_nPagesPerChunk; page-- > 0;)
    chunk.free.push_back(chunk.bytes.get() + page * m_nPageSize);
  const char* first = chunk.bytes.get();
  m_chunks.emplace(first, std::move(chunk));
  m_withFree.insert(first);
  m_nFree += m_nPagesPerChunk;
  // Network threads take pages: the line goes out in one write of its own.
  platform::PrintLine("cPagePool::Double alloc size " +
                      std::to_string((bytes * m_chunks.size()) / 1024));
  return true;
}

size_t cPagePool::Trim() {
  std::lock_guard lock(m_lock);
  size_t freed = 0;
  for (auto it = m_chunks.begin(); it != m_chunks.end() && m_chunks.size() > 1;) {
    if (it->second.free.size() == m_nPagesPerChunk) {
      m_withFree.erase(it->first);
      m_nFree -= m_nPagesPerChunk;
      it = m_chunks.erase(it);
      ++freed;
    } else {
      ++it;
    }
  }
  return freed;
}

size_t cPagePool::GetFreeCount() const {
  std::lock_guard lock(m_lock);
  return m_nFree;
}

size_t cPagePool::GetChunkCount() const {
  std::lock_guard lock(m_lock);
  return m_chunks.size();
}
