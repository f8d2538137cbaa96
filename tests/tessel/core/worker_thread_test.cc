#include "tessel/core/worker_thread.h"

#include <gtest/gtest.h>

#include <thread>

#include "tessel/core/cmd.h"

namespace {

class cProbeCmd : public cCmd {
 public:
  void bind_cln(lua_State*) override {}
  const char* GetName() override { return "cCmd_Probe"; }
};

}  // namespace

// While a worker runs, a worker-only function called from another thread stops the process in
// the builds that keep their asserts; before and after, any one thread may drive the system.
TEST(WorkerThreadDeathTest, AWorkerOnlyCallFromAnotherThreadAssertsWhileTheWorkerRuns) {
#ifdef NDEBUG
  GTEST_SKIP() << "asserts are compiled out";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(OnWorkerThread());
  EXPECT_DEATH(
      {
        std::thread([] { MarkWorkerThread(true); }).join();
        cProbeCmd group;
        group.Create();
        group.Do("x = 1");
      },
      "OnWorkerThread");
  std::thread([] {
    MarkWorkerThread(true);
    EXPECT_TRUE(OnWorkerThread());
    MarkWorkerThread(false);
  }).join();
  EXPECT_TRUE(OnWorkerThread());
#endif
}
