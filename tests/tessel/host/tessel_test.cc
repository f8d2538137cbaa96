#include "tessel/host/tessel.h"

#include <future>
#include <thread>

#include "tessel/contracts/game_time.h"
#include "tessel/contracts/timer.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "testkit/host_fixture.h"
#include "testkit/stdout_capture.h"

namespace {

// A timer that counts its firings; with `stuck` its cycle does not return until released.
struct cTick : iTimerObjEx {
  unsigned long OnTimer(unsigned long) override {
    ++fired;
    for (int i = 0; i < 2000 && stuck && !release; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 1;
  }
  std::atomic<int> fired{0};
  bool stuck = false;
  std::atomic<bool> release{false};
};

struct cMinutes : iGameTimeCallback {
  cMinutes() { cGameTime::Instance().RegistCallback(GameTime_Min, this); }
  ~cMinutes() { cGameTime::Instance().UnregistCallback(GameTime_Min, this); }
  void OnGameTime(GameTimeEnum, unsigned long) override { ++changes; }
  int changes = 0;
};

// End hooks of a server or client that refuses to end `refusals` times, logging each hook.
template <class Base>
struct cRefusing : Base {
  cRefusing(int refusals, const char* name) : refusals(refusals), name(name) {}
  const char* GetName() override { return name; }
  bool CreateTessel() override { return true; }
  void Trace(std::ostream&) override {}
  void BeforeEnd() override { log += "B"; }
  void StartEnd() override { log += "S"; }
  bool CanEnd(std::string& reason) override {
    log += "C";
    reason = "busy";
    return refusals-- <= 0;
  }
  void ExceptionEnd() override { log += "E"; }
  void ExceptionWait() override { log += "W"; }
  int refusals;
  const char* name;
  std::string log;
};
struct cServer : cRefusing<cEasyServer> {
  using cRefusing::cRefusing;
  void GetInfo(stServerInfo&) override {}
  void OnClientException(unsigned int) override {}
};
struct cClient : cRefusing<cEasyClient> {
  using cRefusing::cRefusing;
  void GetInfo(stClientInfo&) override {}
  bool Start() override { return true; }
  void OnServerException() override {}
};

// Runs the console loop on a thread of its own; whether it returned within `ms`.
struct cMain {
  explicit cMain(cTessel& host) : done(std::async(std::launch::async, [&host] { host.Main(); })) {}
  bool Returns(int ms) {
    return done.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
  }
  std::future<void> done;
};

}  // namespace

// Without a worker nothing runs between driven cycles; "run" 0 pauses the timers while the
// game clock goes on, and a paused timer waits rather than being lost.
TEST_F(HostTest, DrivenCyclesAndRunZero) {
  m_host->Init();
  ASSERT_TRUE(m_host->Start(false));
  EXPECT_FALSE(m_host->HasThread());
  cTick tick;
  cMinutes minutes;
  tick.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(tick.fired, 0);
  Cycles(5);
  EXPECT_GE(tick.fired, 3);
  tick.fired = 0;
  GetConfigStore().SetStringValue("run", 0);
  for (int i = 0; i < 3; ++i) {
    m_clock.ms += 10;
    m_host->Run(60000);
  }
  EXPECT_EQ(tick.fired, 0);
  EXPECT_GE(minutes.changes, 3);
  GetConfigStore().SetStringValue("run", 1);
  m_clock.ms += 10;
  m_host->Run(10);
  EXPECT_EQ(tick.fired, 1) << "the timer waited, it was not lost";
}

// End runs once and writes its times to the registry; an Exit after it does not quit the
// console, a typed q does.
TEST_F(HostTest, EndRunsOnceAndExitAfterEndTypesNothing) {
  m_host->Init();
  ASSERT_TRUE(m_host->Start(true));
  m_host->End();
  EXPECT_TRUE(m_host->IsEnded());
  EXPECT_FALSE(m_host->HasThread());
  const std::string registry =
      m_dir->file("registry/Software/" + cTesselValues::Instance().GetExeName() + ".ini");
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(registry), {"endtime = ", "exittime = "}));
  std::remove(registry.c_str());
  m_host->End();
  EXPECT_FALSE(testkit::FileExists(registry)) << "the second End did nothing";
  m_host->Exit(false);
  cMain main(*m_host);
  EXPECT_FALSE(main.Returns(100)) << "Exit after End must not quit the console";
  Type("q");
  EXPECT_TRUE(main.Returns(5000));
}

// A scheduled restart quits the console loop at the first cycle past its time, an immediate
// one at once.
TEST_F(HostTest, RestartsQuitTheConsoleLoop) {
  m_host->Init();
  ASSERT_TRUE(m_host->Start(false));
  cMain main(*m_host);
  m_host->Restart(m_clock.seconds + 5, false);
  Cycles(3);
  EXPECT_FALSE(main.Returns(30)) << "not yet";
  m_clock.seconds += 5;
  Cycles(1);
  ASSERT_TRUE(main.Returns(5000));
  EXPECT_FALSE(m_host->GetRestartFlag());
  EXPECT_EQ(m_host->GetRestartTime(), 0);
  cMain again(*m_host);
  m_host->Restart(0, true);
  ASSERT_TRUE(again.Returns(5000));
  EXPECT_TRUE(m_host->GetRestartFlag());
}

// The graceful end asks the servers until they agree, only then the clients; the exception end
// ends every link, then waits in rounds.
TEST_F(HostTest, GracefulAndExceptionEnds) {
  cServer server(2, "zone");
  cClient client(1, "global");
  m_host->SetTesselServer(&server);
  m_host->SetTesselClient(&client);
  testkit::cStdoutCapture capture;
  m_host->Wait();
  EXPECT_EQ(server.log + "|" + client.log, "BSCCCC|BSCC");
  EXPECT_TRUE(testkit::InOrder(capture.Text(), {"can not end for server: zone busy",
                                                "can not end for client: global busy"}));
  EXPECT_EQ(capture.Text().find("wait outof time"), std::string::npos) << "20 ms < 10 s";
  server.log = client.log = "";
  m_host->Exception();
  EXPECT_EQ(server.log + "|" + client.log, "EWWW|EWWW");
}

// A worker that does not stop in time is abandoned; back from its cycle it leaves by itself.
TEST_F(HostTest, AWorkerThatDoesNotStopInTimeIsAbandonedAndTheEndGoesOn) {
  m_host->Init();
  cTick stuck;
  stuck.stuck = true;
  stuck.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1);
  ASSERT_TRUE(m_host->Start(true));
  m_clock.ms += 10;
  for (int i = 0; i < 1000 && !stuck.fired; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(stuck.fired);
  m_host->EndThread(20);
  EXPECT_FALSE(m_host->HasThread()) << "the host no longer holds the worker";
  EXPECT_FALSE(m_host->IsStopped()) << "the abandoned worker is still in its cycle";
  stuck.release = true;
  for (int i = 0; i < 2500 && !m_host->IsStopped(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(m_host->IsStopped());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}
