#include "tessel/core/send_hops.h"

#include "tessel/core/worker_thread.h"

namespace {

uint32_t g_hops = 0;  // worker thread only

}  // namespace

cSendHopsScope::cSendHopsScope(uint32_t hops) : m_nFormer(g_hops) {
  TESSEL_ASSERT_WORKER();
  g_hops = hops;
}

cSendHopsScope::~cSendHopsScope() {
  g_hops = m_nFormer;
}

uint32_t cSendHopsScope::Current() {
  TESSEL_ASSERT_WORKER();
  return g_hops;
}
