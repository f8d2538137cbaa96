// The sample server program: names itself to the host, makes its listening side and its
// client links from the launch parameters, hands them to the host, runs the console loop and
// ends in order. Main thread only.
#pragma once

#include <memory>
#include <vector>

#include "tessel_server/launch_params.h"

class cEasyServer;
class cEasyClient;

class cServerProgram {
 public:
  explicit cServerProgram(const cLaunchParams& params);
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

  // Runs the program to its end; the process's exit code: 0 after a requested stop, 1 when it
  // could not start, kExitAfterFault after a crash report. With an abandoned worker it does not
  // return: the process ends with kExitWorkerAbandoned (or kExitAfterFault).
  int Run();

 private:
  void MakeLinks();

  const cLaunchParams& m_params;
  std::unique_ptr<cEasyServer> m_server;
  std::vector<std::unique_ptr<cEasyClient>> m_clients;
};
