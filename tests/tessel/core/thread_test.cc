#include "tessel/core/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "testkit/wait.h"

namespace {

using std::chrono::milliseconds;

// Runs cycles on its event until signalled, as the host's worker does; `stuck`, until released.
struct cBody : cThreadCallback {
  explicit cBody(bool stuck = false) : stuck(stuck) {}
  unsigned int Thread() override {
    auto event = cThread::Current();
    while (!stuck && event && cThread::Wait(*event, 5) == cThread::kTimeout) ++cycles;
    for (int i = 0; i < 1000 && stuck && !release; ++i)
      std::this_thread::sleep_for(milliseconds(5));
    done = true;
    return 0;
  }
  bool stuck;
  std::atomic<int> cycles{0};
  std::atomic<bool> release{false}, done{false};
};

// End times out on a stuck body and keeps the thread; an abandoned thread outlives its owner.
TEST(Thread, RunsTheBodyUntilEndSignalsItAndEndTimesOutOnAStuckBody) {
  cThread thread;
  cBody body, stuck(true), abandoned(true);
  EXPECT_EQ(cThread::Current(), nullptr);
  EXPECT_EQ(thread.Wait(1), cThread::kNoEvent);
  ASSERT_EQ(thread.Start(&body), 1);
  EXPECT_EQ(thread.Start(&body), 0) << "a second start while running fails";
  EXPECT_TRUE(testkit::WaitUntil([&] { return body.cycles > 2; }));
  EXPECT_TRUE(thread.End(5000));
  EXPECT_FALSE(thread.HasEvent());
  const int after = body.cycles;
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(body.cycles, after) << "no cycle after End returned";
  EXPECT_TRUE(thread.End(10)) << "nothing to end";
  EXPECT_EQ(thread.Start(nullptr), 1) << "a null callback";
  EXPECT_TRUE(thread.End(5000)) << "a null callback";
  ASSERT_EQ(thread.Start(&stuck), 1);
  ASSERT_FALSE(thread.End(20));
  EXPECT_TRUE(thread.HasEvent());
  EXPECT_TRUE(thread.StopRequested());
  stuck.release = true;
  EXPECT_TRUE(thread.End(5000));
  EXPECT_TRUE(stuck.done);
  {
    cThread owner;
    ASSERT_EQ(owner.Start(&abandoned), 1);
    ASSERT_FALSE(owner.End(10));
    owner.Abandon();
  }
  abandoned.release = true;
  EXPECT_TRUE(testkit::WaitUntil([&] { return abandoned.done.load(); }));
  // Give the detached thread time to leave its entry function before the test ends.
  std::this_thread::sleep_for(milliseconds(20));
}

}  // namespace
