#include "netlib/net_send_queue.h"

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

bool cSendQueue::TakeBatch() {
  assert(m_out.empty());
  if (m_fill.empty()) return false;
  m_out.swap(m_fill);
  m_outRecords = m_fillRecords;
  m_fillRecords = 0;
  return true;
}

void cSendQueue::BatchDone() {
  m_out.clear();
  m_outRecords = 0;
}

void cSendQueue::Trim(size_t keep) {
  if (m_fill.empty() && m_fill.capacity() > keep) m_fill.Release();
  if (m_out.empty() && m_out.capacity() > keep) m_out.Release();
}

size_t cSendQueue::DropFilling() {
  size_t dropped = m_fill.size();
  m_fill.clear();
  m_fillRecords = 0;
  if (m_fill.capacity() > kSendKeepBytes) m_fill.Release();
  return dropped;
}

void cSendQueue::Clear() {
  m_fill.Release();
  m_out.Release();
  m_fillRecords = m_outRecords = 0;
}

}  // namespace netlib
