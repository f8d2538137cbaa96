// The sample server program of the cluster: "tessel_server key = value ..." (program, listen,
// server, connect, serverip, account, password, initcmd, quickend, reconnect,
// settime, tls, compress, and the host's own metrics and console).
#include <csignal>
#include <iostream>

#include "tessel/core/config_stores.h"
#include "tessel_server/launch_params.h"
#include "tessel_server/server_program.h"

int main(int argc, char** argv) {
  // A peer that goes away must not end the process through a write to its link.
  std::signal(SIGPIPE, SIG_IGN);
  AddExeParamStream(cLaunchParams::JoinWords(argc, argv).c_str());
  cLaunchParams params;
  if (!params.Load()) {
    std::cerr << "tessel_server: " << params.Error() << std::endl;
    return 2;
  }
  cServerProgram program(params);
  return program.Run();
}
