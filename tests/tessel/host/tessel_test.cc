#include "tessel/host/tessel.h"

#include <chrono>
#include <future>
#include <thread>

#include "platform/registry.h"
#include "tessel/contracts/game_time.h"
#include "tessel/contracts/timer.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "testkit/host_fixture.h"
#include "testkit/stdout_capture.h"

namespace {

// Counts the firings of a repeating millisecond timer.
class cTick : public iTimerObjEx {
 public:
  unsigned long OnTimer(unsigned long) override {
    ++fired;
    return 1;
  }
  int fired = 0;
};

// A timer whose cycle does not return until released (or 10 s have passed).
class cStuckTimer : public iTimerObjEx {
 public:
  unsigned long OnTimer(unsigned long) override {
    entered = true;
    for (int i = 0; i < 2000 && !release; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 0;
  }
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
};

// Counts minute changes of the game clock.
class cMinutes : public iGameTimeCallback {
 public:
  cMinutes() { cGameTime::Instance().RegistCallback(GameTime_Min, this); }
  ~cMinutes() { cGameTime::Instance().UnregistCallback(GameTime_Min, this); }
  void OnGameTime(GameTimeEnum, unsigned long) override { ++changes; }
  int changes = 0;
};

// End hooks of a server or client that refuses to end a given number of times; the log keeps
// the order of the hooks called.
template <class Base>
class cRefusing : public Base {
 public:
  cRefusing(const char* name, int refusals, const char* reason)
      : m_name(name), m_reason(reason), refusals(refusals) {}
  bool CreateTessel() override { return true; }
  const char* GetName() override { return m_name; }
  void Trace(std::ostream&) override {}
  void BeforeEnd() override { log += "B"; }
  void StartEnd() override { log += "S"; }
  bool CanEnd(std::string& reason) override {
    log += "C";
    if (refusals <= 0) return true;
    --refusals;
    reason = m_reason;
    return false;
  }
  void ExceptionEnd() override { log += "E"; }
  void ExceptionWait() override { log += "W"; }
  const char* m_name;
  const char* m_reason;
  int refusals;
  std::string log;
};

class cRefusingServer : public cRefusing<cEasyServer> {
 public:
  cRefusingServer(const char* name, int refusals) : cRefusing(name, refusals, "busy") {}
  void GetInfo(stServerInfo&) override {}
  void OnClientException(unsigned int) override {}
};

class cRefusingClient : public cRefusing<cEasyClient> {
 public:
  cRefusingClient(const char* name, int refusals)
      : cRefusing(name, refusals, "Send Buffer not empty!") {}
  void GetInfo(stClientInfo&) override {}
  bool Start() override { return true; }
  void OnServerException() override {}
};

// Runs the console loop on a thread of its own.
std::future<void> RunMain(cTessel& host) {
  return std::async(std::launch::async, [&host] { host.Main(); });
}

bool Returns(std::future<void>& main, int ms) {
  return main.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

std::string RegistryValue(const char* name) {
  platform::RegistryKey key;
  if (!key.Open("Software/" + cTesselValues::Instance().GetExeName())) return "";
  return key.Get(name).value_or("");
}

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

TEST_F(HostTest, EndRunsOnceAndExitAfterEndTypesNothing) {
  m_host->Init();
  ASSERT_TRUE(m_host->Start(true));
  EXPECT_TRUE(m_host->HasThread());
  m_host->End();
  EXPECT_TRUE(m_host->IsEnded());
  EXPECT_FALSE(m_host->HasThread());
  EXPECT_FALSE(RegistryValue("endtime").empty());
  const std::string exitTime = RegistryValue("exittime");
  EXPECT_FALSE(exitTime.empty());
  std::remove(
      platform::RegistryKeyFile("Software/" + cTesselValues::Instance().GetExeName()).c_str());
  m_host->End();
  EXPECT_EQ(RegistryValue("exittime"), "") << "the second End did nothing";
  m_host->Exit(false);
  auto main = RunMain(*m_host);
  EXPECT_FALSE(Returns(main, 100)) << "Exit after End must not quit the console";
  Type("q");
  EXPECT_TRUE(Returns(main, 5000)) << "a typed q still quits";
}

// A scheduled restart quits the console loop at the first cycle past its time; an immediate
// one at once.
TEST_F(HostTest, RestartsQuitTheConsoleLoop) {
  m_host->Init();
  ASSERT_TRUE(m_host->Start(false));
  auto main = RunMain(*m_host);
  m_host->Restart(m_clock.seconds + 5, false);
  Cycles(3);
  EXPECT_FALSE(Returns(main, 30)) << "not yet";
  m_clock.seconds += 5;
  Cycles(1);
  ASSERT_TRUE(Returns(main, 5000));
  EXPECT_FALSE(m_host->GetRestartFlag());
  EXPECT_EQ(m_host->GetRestartTime(), 0);
  main = RunMain(*m_host);
  m_host->Restart(0, true);
  ASSERT_TRUE(Returns(main, 5000));
  EXPECT_TRUE(m_host->GetRestartFlag());
}

TEST_F(HostTest, GracefulEndPollsServersThenClientsUntilAllAgree) {
  cRefusingServer server("zone", 2);
  cRefusingClient client("global", 1);
  m_host->SetTesselServer(&server);
  m_host->SetTesselClient(&client);
  testkit::cStdoutCapture capture;
  m_host->Wait();
  const std::string out = capture.Text();
  // Two refusals by the server (clients not asked), one by the client, then all agree.
  EXPECT_EQ(server.log, "BSCCCC");
  EXPECT_EQ(client.log, "BSCC");
  EXPECT_NE(out.find("can not end for server: zone busy"), std::string::npos);
  EXPECT_NE(out.find("can not end for client: global Send Buffer not empty!"), std::string::npos);
  EXPECT_EQ(out.find("cTessel wait outof time ... "), std::string::npos) << "20 ms < 10 s";
  // The exception end ends every link, then waits in rounds.
  server.log = client.log = "";
  m_host->Exception();
  EXPECT_EQ(server.log + client.log, "EWWWEWWW");
}

TEST_F(HostTest, AWorkerThatDoesNotStopInTimeIsAbandonedAndTheEndGoesOn) {
  m_host->Init();
  cStuckTimer stuck;
  stuck.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1);
  ASSERT_TRUE(m_host->Start(true));
  m_clock.ms += 10;
  for (int i = 0; i < 1000 && !stuck.entered; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(stuck.entered);
  m_host->EndThread(20);
  EXPECT_FALSE(m_host->HasThread()) << "the host no longer holds the worker";
  EXPECT_FALSE(m_host->IsStopped()) << "the abandoned worker is still in its cycle";
  stuck.release = true;
  // Back from its cycle, the worker sees it is no longer the host's and leaves.
  for (int i = 0; i < 2500 && !m_host->IsStopped(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(m_host->IsStopped());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}
