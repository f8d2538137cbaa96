#include "tessel/core/thread.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

// A body that runs cycles on its event until it is signalled, as the host's worker does.
class cCycles : public cThreadCallback {
 public:
  unsigned int Thread() override {
    auto event = cThread::Current();
    if (!event) return 1;
    while (cThread::Wait(*event, 5) == cThread::kTimeout) ++cycles;
    return 0;
  }
  std::atomic<int> cycles{0};
};

// A body that ignores its event until released.
class cStuck : public cThreadCallback {
 public:
  unsigned int Thread() override {
    for (int i = 0; i < 1000 && !release; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = true;
    return 0;
  }
  std::atomic<bool> release{false};
  std::atomic<bool> done{false};
};

bool WaitFor(const std::function<bool()>& ok) {
  for (int i = 0; i < 500; ++i) {
    if (ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ok();
}

}  // namespace

TEST(Thread, RunsTheBodyUntilEndSignalsItAndCanStartAgain) {
  cThread thread;
  cCycles body;
  EXPECT_EQ(cThread::Current(), nullptr) << "outside a worker";
  EXPECT_EQ(thread.Wait(1), cThread::kNoEvent);
  ASSERT_EQ(thread.Start(&body), 1);
  EXPECT_EQ(thread.Start(&body), 0) << "a second start while running fails";
  EXPECT_TRUE(WaitFor([&] { return body.cycles > 2; }));
  EXPECT_TRUE(thread.End(5000));
  EXPECT_FALSE(thread.HasEvent());
  const int after = body.cycles;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(body.cycles, after) << "no cycle after End returned";
  EXPECT_TRUE(thread.End(10)) << "nothing to end";
  ASSERT_EQ(thread.Start(&body), 1);
  thread.End();
}

TEST(Thread, EndTimesOutOnAStuckBodyAndKeepsTheThread) {
  cThread thread;
  cStuck body;
  ASSERT_EQ(thread.Start(&body), 1);
  EXPECT_FALSE(thread.End(20));
  EXPECT_TRUE(thread.HasEvent());
  EXPECT_TRUE(thread.StopRequested());
  body.release = true;
  EXPECT_TRUE(thread.End(5000));
  EXPECT_TRUE(body.done);
}

TEST(Thread, AnAbandonedThreadOutlivesItsOwnerSafely) {
  cStuck body;
  {
    auto thread = std::make_unique<cThread>();
    ASSERT_EQ(thread->Start(&body), 1);
    EXPECT_FALSE(thread->End(10));
    thread->Abandon();
  }
  body.release = true;
  EXPECT_TRUE(WaitFor([&] { return body.done.load(); }));
  // Give the detached thread time to leave its entry function before the test ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(Thread, ANullCallbackEndsAtOnce) {
  cThread thread;
  ASSERT_EQ(thread.Start(nullptr), 1);
  EXPECT_TRUE(thread.End(5000));
}
