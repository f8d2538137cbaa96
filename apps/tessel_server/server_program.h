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

  // Runs the program to its end; the process's exit code.
  int Run();

 private:
  void MakeLinks();

  const cLaunchParams& m_params;
  std::unique_ptr<cEasyServer> m_server;
  std::vector<std::unique_ptr<cEasyClient>> m_clients;
};
