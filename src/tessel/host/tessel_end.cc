// The end of the host: the orderly end with its graceful or exception phase, stopping the worker
// and clearing the network objects.
#include <chrono>
#include <iostream>
#include <thread>

#include "tessel/core/config_stores.h"
#include "tessel/core/loggers.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/trace.h"
#include "tessel/core/worker_thread.h"
#include "tessel/host/crash_guard.h"
#include "tessel/host/end_watch.h"
#include "tessel/host/host_audit.h"
#include "tessel/host/tessel.h"
#include "tessel/host/tessel_status.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/replay/net_replay.h"

namespace {

void SleepMs(unsigned long ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

void cTessel::End() {
  // The worker cannot wait for its own end: called there (a program's timer or handler), End
  // makes the console loop quit, and the end runs when the main thread calls it after Main.
  if (IsWorkerThread()) {
    std::cout << "cTessel::End on the worker: the console loop quits, the end follows" << std::endl;
    Exit(false);
    return;
  }
  // Another thread's end in progress finishes first: this caller must not leave the process
  // under it.
  const auto turn = TakeLifeTurn();
  if (m_bEnded.exchange(true)) return;
  // One stuck piece (a link that never agrees, a flush that never returns) must not hold the
  // process for ever: past the limit the watch says what held it and ends the process.
  cEndWatch::Arm(cEndWatch::LimitSeconds(), "the end's start");
  struct cDisarm {
    ~cDisarm() { cEndWatch::Disarm(); }
  } disarm;
  m_service.Stopping();
  TESSEL_TRACE();
  TesselRegistryTime("endtime");
  SleepMs(m_pacing.pauseMs);
  if (m_nWaitTime.load() != 0)
    Wait();
  else
    Exception();
  TESSEL_LOG(tessel_info(), "cTessel end ... ");
  cEndWatch::Step("the worker's stop (a command or a step of its cycle still running)");
  EndThread(m_pacing.threadEndMs);
  TESSEL_LOG(tessel_info(), "cTessel thread end ... ");
  // A replay hands records to the links: it stops before they are ended and released.
  cEndWatch::Step("the replay's stop");
  cNetReplay::StopInstance();
  if (HasAbandonedWorker()) {
    // The worker is still inside a step of its cycle, perhaps inside a link: releasing the links
    // under it would pull them from under its feet. They go with the process.
    TESSEL_LOG(tessel_info(), "cTessel keeps the links: the abandoned worker is in its cycle");
    // The end's last line is written on this way too: it tells a reader of the log the end is over.
    TESSEL_LOG(tessel_info(), "cTessel thread ended ... ");
    cEndWatch::Step("the audit trail's close (its last lines written)");
    CloseHostAudit();
    TesselRegistryTime("exittime");
    return;
  }
  cEndWatch::Step("the links' end");
  for (cEasyServer* server : Servers()) server->End();
  for (cEasyClient* client : Clients()) client->End();
  SleepMs(m_pacing.settleMs);
  TESSEL_LOG(tessel_info(), "cTessel clear net... ");
  cEndWatch::Step("the release of the links' network objects");
  ClearNet();
  TESSEL_LOG(tessel_info(), "cTessel thread ended ... ");
  cEndWatch::Step("the audit trail's close (its last lines written)");
  CloseHostAudit();
  TesselRegistryTime("exittime");
  cEndWatch::Step("the last notice to the service manager");
  m_service.Stop();
}

std::unique_lock<std::recursive_mutex> cTessel::TakeLifeTurn() {
  std::unique_lock turn(m_lifeTurn, std::defer_lock);
  for (int waited = 0; !turn.try_lock() && waited < kLifeTurnMs; waited += 10) SleepMs(10);
  return turn;
}

namespace {

// Names a refusal of the graceful end as the step the end is held at. A program's own refusal
// (a game server still saving its players) is waited for as long as it lasts: the end's limit
// counts again from it. A link's unsent data is not: a peer that reads nothing would hold the
// end for ever.
void WatchRefusal(const char* kind, const char* name, const std::string& reason) {
  const std::string step =
      std::string("the graceful end: can not end for ") + kind + name + " " + reason;
  if (reason == cEasyClient::kUnsentReason)
    cEndWatch::Step(step);
  else
    cEndWatch::Arm(cEndWatch::LimitSeconds(), step);
}

}  // namespace

void cTessel::Wait() {
  TESSEL_TRACE();
  cEndWatch::Step("the graceful end of the links");
  TESSEL_LOG(tessel_info(), "cTessel before end ... ");
  for (cEasyServer* server : Servers()) server->BeforeEnd();
  for (cEasyClient* client : Clients()) client->BeforeEnd();
  TESSEL_LOG(tessel_info(), "cTessel start end ... ");
  for (cEasyServer* server : Servers()) server->StartEnd();
  for (cEasyClient* client : Clients()) client->StartEnd();
  TESSEL_LOG(tessel_info(), "cTessel wait ... ");
  long waited = 0;
  // Polls until every server and then every client agrees; the exception path ends the wait by
  // setting the wait time to 0.
  while (m_nWaitTime.load() > 0 && !m_bHurry.load()) {
    std::string reason;
    bool refused = false;
    for (cEasyServer* server : Servers()) {
      if (!server->CanEnd(reason)) {
        std::cout << "can not end for server: " << server->GetName() << " " << reason << std::endl;
        WatchRefusal("server: ", server->GetName(), reason);
        refused = true;
        break;
      }
    }
    for (cEasyClient* client : refused ? std::vector<cEasyClient*>() : Clients()) {
      if (!client->CanEnd(reason)) {
        std::cout << "can not end for client: " << client->GetName() << " " << reason << std::endl;
        WatchRefusal("client: ", client->GetName(), reason);
        refused = true;
        break;
      }
    }
    SleepMs(m_pacing.pollMs);
    waited += static_cast<long>(m_pacing.pollMs);
    if (!refused) break;
  }
  // The rest of the end has the whole limit of its own.
  cEndWatch::Arm(cEndWatch::LimitSeconds(), "the end after its graceful phase");
  if (waited >= m_nWaitTime.load()) std::cout << "cTessel wait outof time ... " << std::endl;
  if (m_bHurry.load()) std::cout << "cTessel wait cut short by a second signal ... " << std::endl;
}

void cTessel::Exception() {
  TESSEL_TRACE();
  cEndWatch::Step("the exception end of the links");
  for (cEasyServer* server : Servers()) server->ExceptionEnd();
  for (cEasyClient* client : Clients()) client->ExceptionEnd();
  for (unsigned long round = 1; round <= m_pacing.exceptionRounds; ++round) {
    for (cEasyServer* server : Servers()) server->ExceptionWait();
    for (cEasyClient* client : Clients()) client->ExceptionWait();
    SleepMs(m_pacing.exceptionStepMs);
    std::cout << "Exception wait " << round * m_pacing.exceptionStepMs << std::endl;
  }
}

void cTessel::EndThread(unsigned long ms) {
  TESSEL_TRACE();
  cThread* thread = m_pThread.load();
  // A command whose Lua runs on and on would keep the worker from its stop: it gives way.
  if (thread != nullptr) StopLuaCommands(true);
  if (thread != nullptr && !thread->End(ms)) {
    // A thread cannot be stopped from outside safely: it is left to run on by itself (it ends at
    // its next wake-up, seeing it is no longer the host's worker) and the end goes on.
    TESSEL_LOG(tessel_info(), "can not EndThread in " << ms / 1000 << " second");
    TESSEL_LOG(tessel_info(), "terminate thread ... ");
    TESSEL_LOG(tessel_info(),
               "cTessel::EndThread the worker is abandoned: it ends by itself at "
               "its next wake-up");
    m_bAbandoned = true;
    thread->Abandon();
    m_pThread = nullptr;
    SleepMs(1000);
  }
  m_pThread = nullptr;
  delete thread;
}

void cTessel::EndThread() {
  cThread* thread = m_pThread.exchange(nullptr);
  if (thread == nullptr) return;
  thread->End();
  delete thread;
}

void cTessel::ClearNet() {
  const std::string params = GetExeParamText();
  const std::string exeName = cTesselValues::Instance().GetExeName();
  auto body = [](void* host) {
    auto* self = static_cast<cTessel*>(host);
    for (cEasyServer* server : self->Servers()) server->ClearNet();
    for (cEasyClient* client : self->Clients()) client->ClearNet();
  };
  if (cCrashGuard::Run(body, this, exeName.c_str(), params.c_str()) == 1)
    std::cout << "clear net exception " << std::endl;
}
