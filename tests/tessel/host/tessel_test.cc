#include "tessel/host/tessel.h"

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <thread>

#include "tessel/console/groups/cmd_os.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/game_time.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/timer.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/flight_ring.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/worker_thread.h"
#include "tessel/host/end_watch.h"
#include "tessel/link/net_help.h"
#include "testkit/logged_in_fixture.h"
#include "testkit/logger_lines.h"
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

// End hooks of a server or client that refuses to end `refusals` times, logging each hook.
template <class Base>
struct cRefusing : Base {
  cRefusing(int refusals, const char* name) : refusals(refusals), name(name) {}
  const char* GetName() override { return name; }
  void BeforeEnd() override { log += "B"; }
  void StartEnd() override { log += "S"; }
  bool CanEnd(std::string& reason) override {
    log += "C";
    reason = refusal;
    return refusals-- <= 0;
  }
  void ExceptionEnd() override { log += "E"; }
  void ExceptionWait() override { log += "W"; }
  std::atomic<int> refusals;
  const char* name;
  const char* refusal = "busy";
  std::string log;
};
struct cServer : cRefusing<cEasyServer> {
  using cRefusing::cRefusing;
  void GetInfo(stServerInfo&) override {}
};
struct cClient : cRefusing<cEasyClient> {
  using cRefusing::cRefusing;
  void GetInfo(stClientInfo&) override {}
};

using testkit::WaitUntil;

// Whether the console loop, run on a thread of its own, returned within `ms`.
bool Returns(std::future<void>& main, int ms) {
  return main.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

}  // namespace

// The start-up script reaches the system's functions. Without a worker nothing runs between
// driven cycles; "run" 0 pauses the timers while the game clock goes on, and a paused timer
// waits rather than being lost.
TEST_F(HostTest, StartScriptDrivenCyclesAndRunZero) {
  // Status() before the service watch starts (from the start-up script) tells the process's
  // uptime, not the machine's.
  const std::string status = m_host->StatusLine();
  double machine = 0;
  std::ifstream("/proc/uptime") >> machine;
  EXPECT_LT(std::stol(status.substr(status.find("uptime_s=") + 9)) + 5, machine) << status;
  // A name beyond ASCII shows as it is; a blank, a control or a byte of no UTF-8 as '?'.
  cTesselValues& values = cTesselValues::Instance();
  const std::string date = values.GetBuildDate(), time = values.GetBuildTime(),
                    program = values.GetProgram(), version = values.GetVersion();
  values.SetProgram(date.c_str(), time.c_str(), version.c_str(), "游戏 1\x01\xff");
  EXPECT_NE(m_host->StatusLine().find("name=游戏?1?? program=游戏?1?? "), std::string::npos);
  values.SetProgram(date.c_str(), time.c_str(), version.c_str(), program.c_str());
  GetConfigStore().SetStringValue("init_ran", 0);
  GetConfigStore().SetStringValue("lua_time_limit", 1);  // an init that runs on is stopped
  m_dir->write("exe/init_" + cTesselValues::Instance().GetExeName() + ".lua",
               "function init() SetConfigValue('init_ran', 7) local t = os.clock()\n"
               "  repeat until os.clock() - t > 3 SetConfigValue('init_ran', 8) end\n");
  m_host->Init();
  ASSERT_TRUE(m_host->Start(false));
  EXPECT_EQ(GetConfigValue("init_ran", 0), 7);
  GetConfigStore().SetStringValue("lua_time_limit", 10);
  EXPECT_FALSE(m_host->Start(false)) << "a second start would start every link again";
  cTick tick;
  tick.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(tick.fired, 0);
  Cycles(5);
  EXPECT_GE(tick.fired.exchange(0), 3);
  const std::string gameTime = cGameTime::Instance().GetGameTime().ToString();
  GetConfigStore().SetStringValue("run", 0);
  for (int i = 0; i < 3; ++i) {
    m_clock.ms += 10;
    m_host->Run(60000);
  }
  EXPECT_EQ(tick.fired, 0);
  EXPECT_NE(cGameTime::Instance().GetGameTime().ToString(), gameTime);
  GetConfigStore().SetStringValue("run", 1);
  Cycles(1);
  EXPECT_EQ(tick.fired, 1) << "the timer waited, it was not lost";
  {
    ScopedEnv zone("TZ", "AAA-1");  // an hour east of UTC, as a change to summer time makes it
    tzset();
    Cycles(1, 1000);
    char text[32];
    cFixedLine(text, sizeof text).Time(0);
    EXPECT_STREQ(text, "01_01 01:00:00.000") << "the crash report's times follow the zone";
  }
  tzset();
  Cycles(1, 1000);
}

// "allocsize.ini" names the allocation log, made empty, and gives the watched pair: the pair
// that the OS group's SetAlloc sets. A pipe as "allocbreak.ini" is not waited on.
TEST_F(HostTest, TheAllocationSizeFileGivesTheOsGroupsPair) {
  m_dir->write("allocsize.ini", "alloc.log 64 128\n");
  ASSERT_EQ(::mkfifo(m_dir->file("allocbreak.ini").c_str(), 0600), 0);
  m_dir->write("alloc.log", "old");
  cTessel host;
  EXPECT_EQ(testkit::ReadFile(m_dir->file("alloc.log")), "");
  EXPECT_EQ(cCmdOS::GetAllocFirst(), 64);
  EXPECT_EQ(cCmdOS::GetAllocSecond(), 128);
}

// A scheduled restart quits the console loop at the first cycle past its time, an immediate one
// at once. End runs once and writes its times to the registry; an Exit after it does not quit
// the console, a typed q does.
TEST_F(HostTest, RestartsAndTheEnd) {
  m_host->Init();
  ASSERT_TRUE(m_host->Start(false));
  auto main = std::async(std::launch::async, [&] { m_host->Main(); });
  m_host->Restart(m_clock.seconds + 5, false);
  Cycles(3);
  EXPECT_FALSE(Returns(main, 30)) << "not yet";
  m_clock.seconds += 5;
  Cycles(1);
  ASSERT_TRUE(Returns(main, 5000));
  EXPECT_FALSE(m_host->GetRestartFlag());
  main = std::async(std::launch::async, [&] { m_host->Main(); });
  m_host->Restart(0, true);
  ASSERT_TRUE(Returns(main, 5000));
  EXPECT_TRUE(m_host->GetRestartFlag());
  // Called on the worker, End only makes the console loop quit.
  main = std::async(std::launch::async, [&] { m_host->Main(); });
  std::thread([&] { MarkWorkerThread(true), m_host->End(), MarkWorkerThread(false); }).join();
  if (!Returns(main, 1000)) ADD_FAILURE() << "the console loop did not quit", Type("q");
  EXPECT_FALSE(m_host->IsEnded());
  m_host->End();
  const std::filesystem::path registry = m_dir->path() / "Software";
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFolder(registry), {"endtime = ", "exittime = "}));
  std::filesystem::remove_all(registry);
  m_host->End();
  EXPECT_EQ(testkit::ReadFolder(registry), "") << "the second End did nothing";
  m_host->Exit(false);
  main = std::async(std::launch::async, [&] { m_host->Main(); });
  EXPECT_FALSE(Returns(main, 100)) << "Exit after End must not quit the console";
  Type("q");
  EXPECT_TRUE(Returns(main, 5000));
}

// The graceful end asks the servers until they agree, only then the clients; the exception end
// ends every link, then waits in rounds.
TEST_F(HostTest, GracefulAndExceptionEnds) {
  cServer server(2, "zone");
  cClient client(1, "global");
  m_host->SetTesselServer(&server);
  m_host->SetTesselClient(&client);
  testkit::cStdoutCapture quiet;
  m_host->Wait();
  EXPECT_EQ(server.log, "BSCCCC");
  EXPECT_EQ(client.log, "BSCC");
  server.log = client.log = "";
  m_host->Exception();
  EXPECT_EQ(server.log, "EWWW");
  EXPECT_EQ(client.log, "EWWW");
}

// A second signal while a link will not let the graceful phase end cuts that wait short; the
// rest of the end still runs to its last step.
TEST_F(HostTest, ASecondSignalCutsTheGracefulWaitShort) {
  cServer server(1 << 30, "zone");
  m_host->SetTesselServer(&server);
  m_host->SetEndPacing({1, 5, 3, 1, 2000, 1});
  m_host->Init();
  testkit::cStdoutCapture quiet;
  auto end = std::async(std::launch::async, [&] { m_host->End(); });
  ASSERT_TRUE(WaitUntil([&] { return server.refusals < (1 << 30) - 3; }));
  ::kill(::getpid(), SIGTERM);
  const bool ended = Returns(end, 10000);
  server.refusals = 0;  // lets an end that ignored the signal finish
  EXPECT_TRUE(ended);
  end.wait();
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFolder(m_dir->path() / "Software"),
                               {"endtime = ", "exittime = "}));
}

// An end held past end_time_limit by unsent data a peer never reads says on standard error what
// held it and ends the process with its own code, instead of holding it for ever; a program's
// own refusal (players still being saved) is waited for past the limit, which counts from it.
TEST_F(HostTest, AnEndHeldPastItsLimitSaysWhatHeldItAndEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testkit::cStdoutCapture quiet;
  SetConfigValue("end_time_limit", 2);
  cServer saving(4, "zone");
  m_host->SetTesselServer(&saving);
  m_host->SetEndPacing({1, 600, 3, 1, 2000, 1});
  m_host->Init();
  EXPECT_EXIT((m_host->End(), std::_Exit(0)), testing::ExitedWithCode(0), "");
  cServer unsent(1 << 30, "zone");
  unsent.refusal = cEasyClient::kUnsentReason;
  m_host->SetTesselServer(&unsent);
  EXPECT_EXIT(m_host->End(), testing::ExitedWithCode(cEndWatch::kExitEndHeld),
              "end time limit of 2 s reached .*still held at: the graceful end: can not end for "
              "server: zone Send Buffer not empty!");
}

// A worker that does not stop in time is abandoned and the end goes on, but the links stay while
// the worker is inside its cycle; back from its step, it takes no other (a due stop stays due).
TEST_F(LoggedInTest, AWorkerThatDoesNotStopInTimeIsAbandonedAndKeepsItsLinks) {
  static testing_support::logger_lines info("tessel.info");
  StartLinks();
  m_host->SetEndPacing({1, 5, 3, 1, 20, 1});
  cTick stuck;
  stuck.stuck = true;
  stuck.AddTimer(TimeRange_MS, TimerEnum_Once, 5, 1);
  ASSERT_EQ(m_host->RunThread(), 1);
  EXPECT_EQ(m_host->RunThread(), 0) << "a second worker would run the cycle beside the first";
  m_clock.ms += 10;
  ASSERT_TRUE(WaitUntil([&] { return stuck.fired > 0; }));
  m_host->Restart(m_clock.seconds, false);
  {
    testkit::cStdoutCapture quiet;
    m_host->End();
  }
  EXPECT_FALSE(m_host->HasThread()) << "the host no longer holds the worker";
  std::string said;
  for (const std::string& line : info.take()) said += line;
  for (const char* text : {"EndThread in 0 second", "terminate thread ... ", "thread ended ... "})
    EXPECT_NE(said.find(text), said.npos) << text;
  EXPECT_FALSE(m_host->IsStopped()) << "the abandoned worker is still in its cycle";
  EXPECT_NE(m_server->GetNetServer(), nullptr) << "the links were released under the worker";
  stuck.release = true;
  EXPECT_TRUE(WaitUntil([&] { return m_host->IsStopped(); }));
  EXPECT_EQ(m_host->GetRestartTime(), m_clock.seconds.load()) << "a step after the stuck one ran";
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker's last steps
}

// The worker between its periodic cycles: a command that arrives, and a console line handed
// over, are taken at once, while the next periodic cycle is an hour away; a slow line is
// reported as a slow cycle is.
TEST_F(LoggedInTest, WhatArrivesBetweenPeriodicCyclesIsHandledAtOnce) {
  static testing_support::logger_lines slow("tessel.timererror");
  StartLinks();
  luareg::def(cCmdTest::Instance().GetLua(), "Nap",
              [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); });
  const auto outputs = [&] { return m_client->record.FirstArgs("Output").size(); };
  testkit::cStdoutCapture quiet;
  m_host->SetCycleInterval(3600 * 1000);
  ASSERT_EQ(m_host->RunThread(), 1);
  SendFromTest(m_client->GetNetClient(), 1, "Accounts()");
  EXPECT_TRUE(WaitUntil([&] { return outputs() == 1; }));
  cTesselCmd::Instance().SetCmd("/11/SendName('global',1,'Accounts()')");
  EXPECT_TRUE(WaitUntil([&] { return outputs() == 2; }));
  slow.take();
  cTesselCmd::Instance().SetCmd("/6/Nap()");
  std::string lines;
  EXPECT_TRUE(WaitUntil([&] {
    for (const std::string& line : slow.take()) lines += line;
    return lines.find("cTessel::RunOnce 【costtime】 ") != std::string::npos;
  }));
  EXPECT_EQ(m_host->GetPeriodicCycles(), 0u);
  m_host->EndThread();
}

// Under a flood of commands the periodic cycle still runs, no more often than the clock says: a
// 10 ms timer keeps firing on its schedule while the server's queue never runs dry.
TEST_F(LoggedInTest, UnderAFloodThePeriodicCycleKeepsTheClocksSchedule) {
  StartLinks();
  iClient* net = m_client->GetNetClient();
  cTimerManager::Instance().SetClock(nullptr);
  cTick tick;
  tick.AddTimer(TimeRange_MS, TimerEnum_Repeat, 10, 1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(m_host->RunThread(), 1);
  while (tick.fired < 10 && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    if (m_server->GetMsgNum() < 64 && net->GetUnsentBytes() < 65536)
      SendFromTest(net, 1, "for i = 1, 5000 do end");
  }
  const uint64_t cycles = m_host->GetPeriodicCycles();
  const int fired = tick.fired;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_GE(fired, 10);
  EXPECT_LE(cycles, static_cast<uint64_t>(ms / 10 + 1));
  EXPECT_LE(fired, ms / 10 + 1);
  EXPECT_GT(m_server->GetBridgeServer()->GetNetHelp()->GetPeerTotal(), 100);
  m_host->EndThread();
}
