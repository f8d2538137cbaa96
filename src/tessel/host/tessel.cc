#include "tessel/host/tessel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <thread>

#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/console_key.h"
#include "platform/paths.h"
#include "platform/stdout_line.h"
#include "platform/text_clean.h"
#include "tessel/console/alias.h"
#include "tessel/console/groups/cmd_script.h"
#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/game_time.h"
#include "tessel/contracts/loglib.h"
#include "tessel/contracts/netlib.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/core/cmd.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/console_bound.h"
#include "tessel/core/flight_recorder.h"
#include "tessel/core/host.h"
#include "tessel/core/launch_words.h"
#include "tessel/core/log_routing.h"
#include "tessel/core/loggers.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/trace.h"
#include "tessel/core/worker_thread.h"
#include "tessel/host/alloc_watch.h"
#include "tessel/host/cmd_watch.h"
#include "tessel/host/console_signals.h"
#include "tessel/host/crash_guard.h"
#include "tessel/host/crash_report.h"
#include "tessel/host/end_watch.h"
#include "tessel/host/host_audit.h"
#include "tessel/host/tessel_status.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/link/net_help.h"
#include "tessel/link/origin_desk.h"

namespace {

constexpr uint32_t kSlowCycleMs = 100;
// Most records each link queue's pump takes in one pass of the worker: a flood waits for the
// next pass rather than holding off the periodic cycle. Above the endpoint's busy-pump warning,
// so a pump that reaches it is still reported.
constexpr unsigned int kPassRecords = 512;
// Of the running command's text, what "cur cmd is" shows at each typed line.
constexpr size_t kShownCurCmdBytes = 256;

void SleepMs(unsigned long ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A write past the file-size limit (a long log line, a value file, a transfer) fails with EFBIG,
// which its writer reports, instead of ending the process; a handler of the program's own stays.
void KeepWritesPastTheSizeLimitFromEndingTheProcess() {
  struct sigaction before {};
  if (::sigaction(SIGXFSZ, nullptr, &before) == 0 && before.sa_handler == SIG_DFL &&
      (before.sa_flags & SA_SIGINFO) == 0)
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

bool cTessel::OpenStandardFds() {
  bool all = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) {
      all = false;
      continue;
    }
    if (opened != fd) {
      all = ::dup2(opened, fd) == fd && all;
      ::close(opened);
    }
  }
  return all;
}

cTessel& cTessel::Instance() {
  static cTessel host;
  return host;
}

cTessel& cTessel::Current() {
  auto* installed = dynamic_cast<cTessel*>(GetInstalledHost());
  return installed != nullptr ? *installed : Instance();
}

cTessel::cTessel() {
  // Console signals go to the signal thread only: block them before any thread starts.
  cConsoleSignals::Block();
  KeepWritesPastTheSizeLimitFromEndingTheProcess();
  // The console lines of narrowed accounts' commands keep to one bound, whatever prints them.
  cConsoleBound::Install();
  InitSocket();
  platform::EnterHome();
  LoadAllocationAids();
  // The configuration is loaded before anything asks for a value.
  LoadValueStores();
}

cTessel::~cTessel() {
  RemoveHooks();
  if (m_bSignalsOwned) cConsoleSignals::ClearHandler();
  cThread* thread = m_pThread.exchange(nullptr);
  if (thread != nullptr) {
    thread->End();
    delete thread;
  }
}

void cTessel::SetProgram(const char* buildDate, const char* buildTime, const char* version,
                         const char* program) {
  cTesselValues::Instance().SetProgram(buildDate, buildTime, version, program);
  RouteProgramLoggers();
  const std::string& exeName = cTesselValues::Instance().GetExeName();
  cCrashGuard::SetNames(exeName.c_str(), GetExeParamText().c_str());
  // A crash that ended the last run left its record for the registry; this one is kept ready.
  TesselStoreRecordedCrash(exeName.c_str());
  TesselPrepareCrashRecord(exeName.c_str());
}

void cTessel::Init() {
  m_bStopped = true;
  TESSEL_TRACE();
  cCrashGuard::Install();
  m_bSignalsOwned = cConsoleSignals::Start([this](int signo) { OnConsoleSignal(signo); });
  if (!m_bSignalsOwned) {
    platform::SetColor(platform::kColorLightRed);
    std::cout << "Could not set control handler" << std::endl;
    platform::SetColor(platform::kColorLightCyan);
  }
  cAlias::Instance().Load();
  CreateDefaultScript();
  InstallHooks();
}

// The lower floors ask this host about the process's links and values from now on, until it is
// destroyed or another host runs Init.
void cTessel::InstallHooks() {
  SetHost(this);
  // The crash report shows the last commands and records; their times in local time.
  RegisterFlightRecorder();
  RefreshFlightTimeOffset();
  cCmd::SetObserver(&cCmdWatch::Instance());
}

void cTessel::RemoveHooks() {
  if (GetInstalledHost() != this) return;
  SetHost(nullptr);
  cCmd::SetObserver(nullptr);
}

std::vector<std::pair<std::string, int>> cTessel::EasyServerInfos() {
  std::vector<std::pair<std::string, int>> infos;
  for (cEasyServer* server : Servers()) {
    iServer* net = server->GetNetServer();
    infos.emplace_back(server->GetName(), net != nullptr ? net->GetLinkNum() : 0);
  }
  return infos;
}

void cTessel::CreateDefaultScript() {
  TESSEL_TRACE();
  cScriptManager& scripts = cScriptManager::Instance();
  scripts.CreateScript(GetConfigString("path_script", "").c_str());
  scripts.SetZip(GetConfigString("zip_script", "").c_str());
  // Every script the manager makes, the start-up script first, gets the system's functions.
  scripts.SetBindFunc(&BindFunc_ToScriptManager);
}

bool cTessel::Start(bool bThread) {
  const auto turn = TakeLifeTurn();
  if (m_bEnded.load()) {
    std::cout << "cTessel::Start the host is ending" << std::endl;
    return false;
  }
  if (m_bStarted.exchange(true)) {
    std::cout << "cTessel::Start the host has started already" << std::endl;
    return false;
  }
  // Until it succeeds the start counts as failed: its caller ends the host then, not a signal.
  m_bStartFailed = true;
  OpenHostAudit();
  // The process's commands tell the processes they reach whom they run for.
  cOriginDesk::Instance().SetEnabled(true);
  AddStandardGroups(cTesselCmd::Instance());
  cTesselCmd::Instance().Start();
  for (cEasyServer* server : Servers()) {
    if (!server->Start()) return false;
    iServer* net = server->GetNetServer();
    const std::string key = std::string(server->GetName()) + "_port";
    cTesselValues::Instance().SetInfoValue(key.c_str(), net ? static_cast<int>(net->GetPort()) : 0);
  }
  m_service.Start(*this);
  const std::string slashes(74, '/');
  std::cout << slashes << "\ntessel infos\n";
  cTesselValues::Instance().GetInfos(std::cout);
  std::cout << "\n" << slashes << "\n" << std::endl;
  for (cEasyClient* client : Clients())
    if (!client->Start()) return false;
  RunInit();
  m_bStartFailed = bThread && RunThread() != 1;
  return !m_bStartFailed;
}

void cTessel::RunInit() {
  TESSEL_TRACE();
  m_dwLastTick = platform::TimeGetTime();
  if (GetConfigValue("tracesendcmd", 0) == 1) TraceSendCmd(true);
  if (GetConfigValue("tracerecievecmd", 0) == 1) TraceRecieveCmd(true);
}

int cTessel::RunThread() {
  if (m_pThread.load() != nullptr) {
    std::cout << "cTessel::RunThread the worker runs already" << std::endl;
    return 0;
  }
  m_bAbandoned = false;
  StopLuaCommands(false);
  auto* thread = new cThread;
  m_pThread = thread;
  return thread->Start(this);
}

unsigned int cTessel::Thread() {
  TESSEL_TRACE();
  cCrashReport::SetPreReport(TesselRecordCrash);
  m_bWorkerBusy = true;
  m_bStopped = false;
  const unsigned int result = _Thread();
  TESSEL_LOG(tessel_info(), (result != 0 ? "Thread exception exit. " : "Thread exit. "));
  m_bWorkerBusy = false;
  // The last touch of the host: a thread waiting for it may destroy the host next.
  m_bStopped = true;
  return result;
}

unsigned int cTessel::_Thread() {
  const std::string params = GetExeParamText();
  const std::string exeName = cTesselValues::Instance().GetExeName();
  std::cout << "cTessel::_Thread " << params << std::endl;
  auto body = [](void* host) { static_cast<cTessel*>(host)->MyThread(); };
  if (cCrashGuard::Run(body, this, exeName.c_str(), params.c_str()) == 0) return 0;
  // The fault left the worker's cycle past its end: this thread is the worker no more, and the
  // end sequence of the main thread may use what was the worker's alone.
  MarkWorkerThread(false);
  std::cout << "exception catched " << std::endl;
  m_nWaitTime = 0;
  Exit(true);
  return 0xFFFFFFFF;
}

unsigned int cTessel::MyThread() {
  // Worker-only functions check that they run here while the worker runs.
  struct cWorkerMark {
    cWorkerMark() { MarkWorkerThread(true); }
    ~cWorkerMark() { MarkWorkerThread(false); }
  } mark;
  RunInit();
  const auto event = cThread::Current();
  if (!event) return 0;
  // Arrivals wake this worker from now on, until it leaves; what arrived before it started is
  // taken at once.
  struct cWakeTarget {
    cWakeTarget(cTessel& host, std::shared_ptr<cThread::Event> event) : host(host) {
      std::lock_guard lock(host.m_wakeLock);
      host.m_wakeEvent = std::move(event);
      host.m_bWakePending = false;
    }
    ~cWakeTarget() {
      std::lock_guard lock(host.m_wakeLock);
      host.m_wakeEvent.reset();
    }
    cTessel& host;
  } target(*this, event);
  WakeWorker();
  using Clock = std::chrono::steady_clock;
  const auto interval = std::chrono::milliseconds(m_dwCycleInterval);
  auto due = Clock::now() + interval;
  for (;;) {
    const bool woken = cThread::WaitUntil(*event, due) == cThread::kSignaled;
    if (woken && cThread::StopRequested(*event)) return 0;
    if (m_bAbandoned.load()) return 0;
    // Arrivals from here on wake the worker again.
    m_bWakePending = false;
    // The periodic cycle keeps the clock's schedule however many wake-ups come between; under a
    // flood it still runs, since every pass first checks whether it is due. A late cycle is not
    // made up by cycles in a row.
    if (const auto began = Clock::now(); began >= due) {
      RunOnce(kPassRecords);
      m_service.OnCycle(*this, std::chrono::nanoseconds(began - due).count(),
                        std::chrono::nanoseconds(Clock::now() - began).count());
      ++m_nPeriodicCycles;
      due += interval;
      const auto after = Clock::now();
      if (due <= after) due = after + interval;
    } else {
      RunWoken();
    }
    // A line a link's command or code left to run later printed without a flush (a '\n' of its
    // own) reaches the console now, not whenever another line flushes standard output; so does
    // the count of lines of narrowed accounts the console's bound left out.
    cConsoleBound::SayLeftOut();
    std::cout.flush();
    // A pump takes a bounded part of what its queue held, and a queue wakes the worker only for
    // its first item: what is left, and console lines behind the one just run, get the next pass.
    if (GetMsgNum() > 0 || cTesselCmd::Instance().HasInput()) WakeWorker();
    cThread* thread = m_pThread.load();
    if (thread == nullptr) {
      std::cout << "Thread address " << static_cast<const void*>(thread) << " Memory at "
                << static_cast<const void*>(&m_pThread) << std::endl;
      return 0;
    }
  }
}

void cTessel::RunWoken() {
  SetRunStage(RunStage_Msg);
  CheckServerLinks("RunOnce Start");
  HandleMsg(kPassRecords);
  // An abandoned worker leaves its pass at the next step, like its periodic cycle.
  if (m_bAbandoned.load()) return;
  CheckServerLinks("After HandleMsg");
  SetRunStage(RunStage_Cmd);
  // Timed as the periodic cycle's own part is: a slow console line is reported here as well.
  const uint32_t now = platform::TimeGetTime();
  cTesselCmd::Instance().Run();
  const uint32_t cost = platform::ElapsedMs(now, platform::TimeGetTime());
  if (cost > kSlowCycleMs) ReportSlowCycle(cost);
  SetRunStage(RunStage_Idle);
}

void cTessel::WakeWorker() {
  if (m_bWakePending.exchange(true)) return;
  std::lock_guard lock(m_wakeLock);
  if (m_wakeEvent) cThread::Wake(*m_wakeEvent);
}

void cTessel::RunOnce(unsigned int n) {
  SetRunStage(RunStage_Msg);
  CheckServerLinks("RunOnce Start");
  HandleMsg(n);
  // An abandoned worker leaves its cycle at the next step: the end releases the links.
  if (m_bAbandoned.load()) return;
  CheckServerLinks("After HandleMsg");
  SetRunStage(RunStage_Cmd);
  const uint32_t now = platform::TimeGetTime();
  Run(platform::ElapsedMs(m_dwLastTick.load(), now));
  if (m_bAbandoned.load()) return;
  m_dwLastTick = now;
  const uint32_t cost = platform::ElapsedMs(now, platform::TimeGetTime());
  if (cost > kSlowCycleMs) ReportSlowCycle(cost);
  const long restartAt = m_nRestartTime.load();
  if (restartAt != 0 && restartAt <= cTimerManager::Instance().GetSTime())
    Restart(0, m_bRestart.load());
  // A change to summer time or back shows in the crash report's times within a second.
  const uint32_t managerMs = cTimerManager::Instance().GetMSTime();
  if (platform::ElapsedMs(m_dwZoneTick, managerMs) >= 1000) {
    m_dwZoneTick = managerMs;
    RefreshFlightTimeOffset();
  }
  CheckServerLinks("After Run");
  SetRunStage(RunStage_Idle);
}

void cTessel::ReportSlowCycle(uint32_t costMs) {
  platform::SetColor(platform::kColorLightRed);
  tessel_write(tessel_timererror(), "cTessel::RunOnce 【costtime】 " + std::to_string(costMs));
  loglib::flush_all();
  platform::SetColor(platform::kColorLightCyan);
}

void cTessel::HandleMsg(unsigned int n) {
  for (cEasyServer* server : Servers()) server->HandleMsgEx(n);
  for (cEasyClient* client : Clients()) client->HandleMsgEx(n);
}

bool cTessel::Run(unsigned long elapsedMs) {
  SetRunStage(RunStage_Cmd);
  cTesselCmd::Instance().Run();
  cGameTime::Instance().Run(elapsedMs);
  // "run" = 0 pauses the world: messages and console input go on, timers and periodic work wait.
  if (GetConfigValue("run", 1) == 0) {
    cTimerManager::Instance().RefreshTime();
    return true;
  }
  SetRunStage(RunStage_Timer);
  cTimerManager::Instance().Run(elapsedMs);
  if (m_bAbandoned.load()) return true;
  for (cEasyServer* server : Servers()) server->RunEasy(elapsedMs);
  for (cEasyClient* client : Clients()) client->RunEasy(elapsedMs);
  return true;
}

// The launch word Main reads.
const cLaunchWords kInitCmdWord{
    {"initcmd", "LINE", "the first console line, one word (e.g. '/4/Ver()' or quit)"}};

void cTessel::Main() {
  TESSEL_TRACE();
  // Without a console (a service) the loop only waits to be told to quit.
  if (!cServiceWatch::HasConsole()) m_console.CloseInput();
  platform::SetColor(platform::kColorLightGreen);
  std::cout << "使用?获得当前命令的帮助,/1,/7,p(上一个),n(下一个),/tessel来切换\n"
            << "使用??获得当前命令集//select,//global来切换\n"
            << "使用???获得所有命令集" << std::endl;
  platform::SetColor(platform::kColorBrightWhite);
  // On a terminal the line editor shows the prompt and completes the current group's names.
  if (m_console.IsEditing()) {
    cTesselCmd::Instance().SetPrintPrompt(false);
    m_console.SetNames([] { return cTesselCmd::Instance().CurrentNames(); });
  } else {
    std::cout << "!>" << std::flush;
  }
  m_bInMain = true;
  struct stLeave {
    std::atomic<bool>& inMain;
    ~stLeave() { inMain = false; }
  } leave{m_bInMain};
  m_strInitCmd = GetExeParam("initcmd", "");
  std::string line = m_strInitCmd;
  for (;;) {
    if (line.empty() && !m_console.ReadLine(line)) line.clear();
    if (line == "quit" || line == "q") {
      std::cout << "program quit... " << std::endl;
      SleepMs(100);
      return;
    }
    if (line == "dump") {
      std::cout << "dump 用于程序死循环的时候导出堆栈再退出游戏!" << std::endl;
      Dump();
    } else {
      HandleConsoleLine(line);
      // The next prompt comes below the line's output, not in the middle of it.
      if (m_console.IsEditing()) WaitLineRun();
    }
    SleepMs(10);
    line.clear();
  }
}

void cTessel::HandleConsoleLine(const std::string& line) {
  const int waiting = GetMsgNum();
  if (waiting > 0)
    std::cout << "there are " << waiting << " msg in queue, you should wait a while." << std::endl;
  // The running command may be a peer's text: its controls and line ends reach no terminal, and
  // of a long one (a peer's record of megabytes, printed again at every typed line) its start.
  const std::string current = cCmd::CurCmdText();
  if (!current.empty())
    std::cout << "cur cmd is " << EscapeControls(CutWithCount(current, kShownCurCmdBytes))
              << std::endl;
  else
    std::cout << "cur is in timer" << std::endl;
  cTesselCmd::Instance().SetCmd(line.c_str());
}

void cTessel::WaitLineRun() {
  for (int waited = 0; waited < kLineRunWaitMs && cTesselCmd::Instance().HasInput(); waited += 5)
    SleepMs(5);
}

void cTessel::Dump() {
  TESSEL_LOG(tessel_info(), "Dump");
  tessel_write(tessel_fetalerror(), "Dump");
  m_bStopped = true;
  const std::string params = GetExeParamText();
  stCrashInfo info;
  info.code = kCrashBreakpoint;
  cCrashReport::Report(info, cTesselValues::Instance().GetExeName().c_str(), params.c_str());
  std::cout << "exception raised " << std::endl;
  m_nWaitTime = 0;
  Exit(true);
}

void cTessel::Exit(bool crash) {
  if (crash) TesselReportCrash();
  TESSEL_TRACE();
  if (!m_bEnded.load()) {
    m_console.Wake();
    SleepMs(10);
  }
}

void cTessel::Restart(long when, bool restart) {
  TESSEL_TRACE();
  m_bRestart = restart;
  if (when == 0) {
    m_nRestartTime = 0;
    Exit(false);
  } else {
    m_nRestartTime = when;
  }
}

// Runs on the signal thread, while the worker or the end may be printing: its own lines go out
// in one write each, beside std::cout rather than through it.
void cTessel::OnConsoleSignal(int signo) {
  // The process is asked to end: it does within the end's limit even when what follows is held
  // (a standard output nobody reads holds the line below, the worker and the console loop).
  if (!m_bEnded.load())
    cEndWatch::Arm(cEndWatch::LimitSeconds(), "the end asked for by a signal, before it began");
  const bool interrupt = signo == SIGINT;
  platform::PrintLine(interrupt ? "CTRL_C_EVENT invoke" : "CTRL_CLOSE_EVENT invoke");
  platform::ConsoleBeep();
  if (m_bEnded.load()) {
    // The end runs on another thread: it goes on to its last step (links closed, the trail
    // closed, the exit code told), only without waiting for the links any longer.
    m_bHurry = true;
    platform::PrintLine(
        "cTessel::OnConsoleSignal the end is under way; it no longer waits for the links");
    return;
  }
  // Quitting the console loop ends the process the way the program ends it (its exit code
  // included), and keeps this thread free for a second signal. A start that waits for a key
  // after a failure (a port in use) goes on to its end.
  if (!interrupt || m_bInMain.load()) {
    platform::CancelKeyWaits();
    Exit(false);
    return;
  }
  // A start in progress finishes first (its wait for a key cut short): the end then stops the
  // worker it started and releases the links it made, rather than releasing them under it.
  platform::CancelKeyWaits();
  const auto turn = TakeLifeTurn();
  // A start that failed is ended by its caller (the program exits with its own code).
  if (m_bEnded.load() || m_bStartFailed.load()) return;
  if (m_bInMain.load()) {
    Exit(false);
    return;
  }
  m_console.RestoreTerminal();
  End();
  cEndWatch::Arm(cEndWatch::LimitSeconds(), "the process's exit after the end (log flushes)");
  // Leave without running static destructors under the other threads' feet.
  loglib::flush_all();
  std::fflush(nullptr);
  ::_exit(0);
}
