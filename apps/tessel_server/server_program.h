// The sample server program: names itself to the host, makes its listening side and its
// client links from the launch parameters, hands them to the host, runs the console loop and
// ends in order. Main thread only.
#pragma once

#include <memory>
#include <vector>

#include "tessel_server/launch_params.h"

class cEasyServer;
class cEasyClient;
class cSelfRestart;
class cStdinRelay;

class cServerProgram {
 public:
  // `restart` starts the program again when an orderly end asked for a restart.
  cServerProgram(const cLaunchParams& params, const cSelfRestart& restart);
  ~cServerProgram();
  cServerProgram(const cServerProgram&) = delete;
  cServerProgram& operator=(const cServerProgram&) = delete;

  // The version the program reports (Ver(), --version).
  static constexpr const char* kVersion = "1.0.0";
  // Exit code of a program that wrote a crash report (a fault it caught, the console's dump),
  // so that whoever started it can tell a crash from a requested stop.
  static constexpr int kExitAfterFault = 3;
  // Exit code of a program whose worker did not stop within the end's time: it leaves without
  // releasing the links or running the process's own clean-up, which would pull the command
  // groups' states from under the worker.
  static constexpr int kExitWorkerAbandoned = 4;
  // Exit code of a program that ended in order to be restarted (Restart(), RestartTime) and
  // leaves the new start to its service manager, or could not start itself again.
  static constexpr int kExitRestart = 5;

  // Runs the program to its end; the process's exit code: 0 after a requested stop, 1 when it
  // could not start, kExitAfterFault after a crash report. With an abandoned worker it does not
  // return: the process ends with kExitWorkerAbandoned (or kExitAfterFault). After an orderly
  // end that asked for a restart it returns kExitRestart under a service manager; otherwise it
  // does not return but starts the program again in this process. An end, or the exit after
  // it, still held at end_time_limit ends the process with cEndWatch::kExitEndHeld (6).
  int Run();

 private:
  void MakeLinks();
  // After an orderly end that asked for a restart: the new start, or kExitRestart.
  int Restart(cStdinRelay& relay);

  const cLaunchParams& m_params;
  const cSelfRestart& m_restart;
  std::unique_ptr<cEasyServer> m_server;
  std::vector<std::unique_ptr<cEasyClient>> m_clients;
};
