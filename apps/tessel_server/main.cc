// The sample server program of the cluster: "tessel_server key = value ...". The words are
// checked against the launch-word table (tessel_server --help lists it) before anything starts.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>

#include "platform/paths.h"

#include "tessel/core/config_stores.h"
#include "tessel/core/launch_words.h"
#include "tessel_server/launch_params.h"
#include "tessel_server/self_restart.h"
#include "tessel_server/server_program.h"

namespace {

// Exit code of a command line that names an unknown word or a malformed value.
constexpr int kLaunchRefused = 2;
// Exit code of a process that cannot start.
constexpr int kStartFailed = 1;

// Whether the home folder is one the process can work in, made when missing. Else the process
// would run in whatever folder it was started from: its accounts, values and keys read from
// there, its logs and audit trail written there.
bool HomeUsable(std::string& error) {
  const std::string home = platform::HomeFolder();
  // A missing home is made as the host makes it: not writable by every local user.
  ::umask(::umask(0) | S_IWOTH);
  std::error_code made, ec;
  std::filesystem::create_directories(home, made);
  if (!home.empty() && std::filesystem::is_directory(home, ec) && ::access(home.c_str(), X_OK) == 0)
    return true;
  error =
      "cannot work in the home folder '" + home + "'" + (made ? " (" + made.message() + ")" : "");
  return false;
}

void PrintUsage() {
  std::cout << "usage: tessel_server [KEY = VALUE]...\n"
               "       tessel_server --help | --version\n"
               "Starts a server process of the cluster in $TESSEL_HOME (else the program's own\n"
               "folder) with its console on standard input. Launch words, blanks around '=':\n";
  cLaunchWords::PrintTable(std::cout);
  std::cout << "The client links' password may also come from $TESSEL_LINK_PASSWORD.\n";
}

}  // namespace

int main(int argc, char** argv) {
  const cSelfRestart restart(argc, argv);
  const std::vector<std::string> words = cLaunchParams::Words(argc, argv);
  if (!words.empty() && (words[0] == "--help" || words[0] == "-h")) {
    PrintUsage();
    return 0;
  }
  if (!words.empty() && words[0] == "--version") {
    std::cout << "tessel_server " << cServerProgram::kVersion << " (Tessel " << TESSEL_VERSION
              << ", built " << __DATE__ << " " << __TIME__ << ")\n";
    return 0;
  }
  std::string error;
  if (!cLaunchWords::Check(words, error)) {
    std::cerr << "tessel_server: " << error << "\n"
              << "usage: tessel_server [KEY = VALUE]... (--help lists the launch words)\n";
    return kLaunchRefused;
  }
  cLaunchParams::HidePassword(argc, argv);
  // A peer that goes away must not end the process through a write to its link.
  std::signal(SIGPIPE, SIG_IGN);
  AddExeParamStream(cLaunchParams::Join(words).c_str());
  cLaunchParams params;
  if (!params.Load()) {
    std::cerr << "tessel_server: " << params.Error() << std::endl;
    return kLaunchRefused;
  }
  if (!HomeUsable(error)) {
    std::cerr << "tessel_server: " << error << std::endl;
    return kStartFailed;
  }
  cServerProgram program(params, restart);
  return program.Run();
}
