#include "tessel/link/page_pool.h"

#include <iostream>
#include <new>

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
  if (m_dqFree.empty() && !DoubleLocked()) return nullptr;
  char* page = m_dqFree.front();
  m_dqFree.pop_front();
  return page;
}

void cPagePool::Free(char* page) {
  if (page == nullptr) return;
  std::lock_guard lock(m_lock);
  m_dqFree.push_back(page);
}

bool cPagePool::Double() {
  std::lock_guard lock(m_lock);
  return DoubleLocked();
}

bool cPagePool::DoubleLocked() {
  if (m_nMaxChunks != 0 && m_vChunks.size() >= m_nMaxChunks) return false;
  const size_t bytes = static_cast<size_t>(m_nPageSize) * m_nPagesPerChunk;
  std::unique_ptr<char[]> chunk(new (std::nothrow) char[bytes]);
  if (!chunk) return false;
  for (size_t page = 0; page < m_nPagesPerChunk; ++page)
    m_dqFree.push_back(chunk.get() + page * m_nPageSize);
  m_vChunks.push_back(std::move(chunk));
  std::cout << "cPagePool::Double"
            << " alloc size " << (bytes * m_vChunks.size()) / 1024 << std::endl;
  return true;
}

size_t cPagePool::GetFreeCount() const {
  std::lock_guard lock(m_lock);
  return m_dqFree.size();
}

size_t cPagePool::GetChunkCount() const {
  std::lock_guard lock(m_lock);
  return m_vChunks.size();
}
