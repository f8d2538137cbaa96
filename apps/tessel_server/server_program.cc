#include "tessel_server/server_program.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/line_editor.h"

#include "tessel/contracts/loglib.h"
#include "tessel/host/crash_report.h"
#include "tessel/host/end_watch.h"
#include "tessel/host/service_watch.h"
#include "tessel/host/tessel.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/util/os_clock.h"
#include "tessel_server/client_side.h"
#include "tessel_server/self_restart.h"
#include "tessel_server/server_side.h"
#include "tessel_server/stdin_relay.h"

namespace {

// Pauses of the end sequence for "quickend = 1": every phase still runs, only shorter.
stEndPacing QuickPacing() {
  stEndPacing pacing;
  pacing.pauseMs = 10;
  pacing.pollMs = 50;
  pacing.exceptionRounds = 2;
  pacing.exceptionStepMs = 50;
  pacing.threadEndMs = 5000;
  pacing.settleMs = 50;
  return pacing;
}

// The process's own clean-up after the end is bounded as the end was.
void WatchTheExit() {
  cEndWatch::Arm(cEndWatch::LimitSeconds(),
                 "the process's exit after the end (log flushes, the libraries' ends)");
}

}  // namespace

cServerProgram::cServerProgram(const cLaunchParams& params, const cSelfRestart& restart)
    : m_params(params), m_restart(restart) {}

cServerProgram::~cServerProgram() = default;

void cServerProgram::MakeLinks() {
  if (m_params.ListenPort() >= 0)
    m_server = std::make_unique<cServerSide>(m_params.ServerName(), m_params.ListenPort(),
                                             m_params.ListenIp(), m_params.MaxLinks(),
                                             m_params.Tls(), m_params.Compress());
  for (const stUpstream& up : m_params.Upstreams())
    m_clients.push_back(std::make_unique<cClientSide>(up.name, up.port, m_params.ReconnectSeconds(),
                                                      m_params.Tls(), m_params.Compress()));
}

int cServerProgram::Run() {
  // The host blocks the console signals as it is made; every thread started later inherits
  // the mask, the relay's too.
  cTessel& host = cTessel::Instance();
  // A terminal is read by the console's line editor itself (its Ctrl+D is the end); a pipe or a
  // file goes through the relay, which types quit at its end.
  cStdinRelay relay;
  // Without a console (under systemd, or "console = 0") nothing is read and nothing typed.
  if (cServiceWatch::HasConsole() && !platform::cLineEditor::IsTerminal(0) && !relay.Start())
    std::cout << "cServerProgram::Run standard input relay failed" << std::endl;
  host.SetProgram(__DATE__, __TIME__, kVersion, m_params.Program().c_str());
  host.Init();
  if (m_params.QuickEnd()) host.SetEndPacing(QuickPacing());
  // A console command must not move the machine's clock under every other program on it
  // unless the operator started this one for that.
  if (!m_params.SetsMachineClock())
    SetOsCalendarSetter([](std::time_t, std::string* error) {
      if (error != nullptr) *error = "the machine clock is set only with settime = 1";
      return false;
    });
  MakeLinks();
  if (m_server) host.SetTesselServer(m_server.get());
  for (auto& client : m_clients) host.SetTesselClient(client.get());
  // The first client link is the default route of commands sent up the cluster.
  if (!m_clients.empty()) host.SetDefaultRoute(m_clients.front()->GetBridgeClient());
  if (!host.Start(true)) {
    std::cout << "cServerProgram::Run start failed" << std::endl;
    host.End();
    WatchTheExit();
    return 1;
  }
  host.Main();
  host.End();
  WatchTheExit();
  // The exception paths (a caught fault, the console's dump) leave the end no time to wait; a
  // report written anywhere else (a fault while the links were cleared) counts the same.
  const int code = host.GetWaitTime() == 0 || cCrashReport::Reported() ? kExitAfterFault : 0;
  if (host.HasAbandonedWorker()) {
    std::cout
        << "cServerProgram::Run the worker did not stop; the process ends without its clean-up"
        << std::endl;
    loglib::flush_all();
    std::fflush(nullptr);
    std::_Exit(code != 0 ? code : kExitWorkerAbandoned);
  }
  if (code == 0 && host.GetRestartFlag()) return Restart(relay);
  return code;
}

int cServerProgram::Restart(cStdinRelay& relay) {
  // A service manager starts the program again on this code (the unit names it).
  if (cServiceWatch::UnderServiceManager()) return kExitRestart;
  std::cout << "cServerProgram::Run restarting: the program starts again with its launch words"
            << std::endl;
  loglib::flush_all();
  std::fflush(nullptr);
  relay.GiveBack();
  std::string why;
  m_restart.Exec(why);
  std::cout << "cServerProgram::Run the restart failed: " << why << std::endl;
  return kExitRestart;
}
