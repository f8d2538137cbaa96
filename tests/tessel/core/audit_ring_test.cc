#include "tessel/core/audit_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

// A pusher, the writer and a crash-report reader at once: every line arrives once, in order,
// and the reader only ever sees whole lines.
TEST(AuditRing, LinesPassInOrderWhileAReaderLooksAtTheQueue) {
  cAuditRing ring(8);
  constexpr int kLines = 20000;
  std::atomic<bool> done{false};
  std::thread pusher([&] {
    for (int i = 0; i < kLines; ++i)
      while (!ring.Push("line " + std::to_string(i))) std::this_thread::yield();
  });
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      ring.ReadQueued(
          [](const char* text, size_t size, void* arg) {
            if (size < 6 || std::string(text, 5) != "line ") ++*static_cast<std::atomic<int>*>(arg);
          },
          &torn);
    }
  });
  int next = 0;
  int disorder = 0;
  std::string line;
  while (next < kLines) {
    if (!ring.Pop(line)) continue;
    disorder += line != "line " + std::to_string(next);
    ++next;
  }
  done = true;
  pusher.join();
  reader.join();
  EXPECT_EQ(disorder, 0);
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
