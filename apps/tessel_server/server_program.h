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

  // Exit code of a program that ended after a fault it caught (a crash report was written and
  // the exception end ran), so that whoever started it can tell a crash from a requested stop.
  static constexpr int kExitAfterFault = 3;

  // Runs the program to its end; the process's exit code: 0 after a requested stop, 1 when it
  // could not start, kExitAfterFault after a caught fault.
  int Run();

 private:
  void MakeLinks();

  const cLaunchParams& m_params;
  std::unique_ptr<cEasyServer> m_server;
  std::vector<std::unique_ptr<cEasyClient>> m_clients;
};
