#include "tessel/core/worker_thread.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "tessel/console/alias.h"
#include "tessel/console/groups/cmd_tessel.h"
#include "tessel/core/cmd.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/bridge_double.h"

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

// The entry points of worker-only functions on every floor check it: the command builders and
// output, sending, the accounts, the aliases, the standard groups.
TEST(WorkerThreadDeathTest, WorkerOnlyEntryPointsOfEveryFloorAssertIt) {
#ifdef NDEBUG
  GTEST_SKIP() << "asserts are compiled out";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, std::function<void()> > calls[] = {
      {"builder",
       [] {
         unsigned long size = 0;
         Msg_GetCmd(1, "x", size);
       }},
      {"output", [] { get_gout() << "x"; }},
      {"send", [] { SendCmd(nullptr, 1, "x"); }},
      {"accounts", [] { cAccountManagerHelpServer().Login(1, "a", "b"); }},
      {"aliases",
       [] {
         std::string line = "x";
         cAlias::Instance().Alias(line);
       }},
      {"groups", [] { cCmdTessel::DoCmd(0, "x = 1"); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    EXPECT_DEATH(
        {
          std::thread([] { MarkWorkerThread(true); }).join();
          call();
        },
        "OnWorkerThread");
  }
#endif
}

#ifdef NDEBUG
// Without asserts, a send off the worker builds its own record: the worker's goes out intact.
TEST(WorkerThread, ASendFromAnotherThreadLeavesTheWorkersRecordAlone) {
  struct cInterrupted : testkit::cRecordingLink {
    int Send(const stMsg* msg, unsigned long size) override {
      std::thread([this] { SendCmd(&other, 2, "other"); }).join();
      return cRecordingLink::Send(msg, size);
    }
    cRecordingLink other;
  } link;
  std::thread([&] {
    MarkWorkerThread(true), SendCmd(&link, 1, "A"), MarkWorkerThread(false);
  }).join();
  EXPECT_EQ(link.SentText(link.m_sent.at(0)) + link.SentText(link.other.m_sent.at(0)), "Aother");
}
#endif
