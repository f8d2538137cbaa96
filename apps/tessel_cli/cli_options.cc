#include "tessel_cli/cli_options.h"

#include <cstdlib>
#include <cstring>

namespace {

bool ParsePort(const std::string& text, unsigned short& port) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value <= 0 || value > 65535) return false;
  port = static_cast<unsigned short>(value);
  return true;
}

}  // namespace

const char* stCliOptions::Usage() {
  return "usage: tessel_cli [-u ACCOUNT] [-p PASSWORD] [--to NAME] [--tls [--ca FILE]]\n"
         "                  [--wait SECONDS] [-v] [-c LINE]... HOST:PORT\n";
}

bool stCliOptions::Parse(int argc, char** argv, std::string& error) {
  if (const char* user = std::getenv("USER")) account = user;
  if (const char* secret = std::getenv("TESSEL_PASSWORD")) {
    password = secret;
    hasPassword = true;
  }
  std::string address;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // The options that take a value.
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "-u") {
      if (!value(account)) return false;
    } else if (arg == "-p") {
      if (!value(password)) return false;
      hasPassword = true;
      // The process list shows the arguments to every user of the machine.
      std::memset(argv[i], '*', std::strlen(argv[i]));
    } else if (arg == "--to") {
      if (!value(to)) return false;
    } else if (arg == "--tls") {
      tls = true;
    } else if (arg == "--ca") {
      if (!value(ca)) return false;
    } else if (arg == "-c") {
      if (!value(text)) return false;
      lines.push_back(text);
    } else if (arg == "--wait") {
      if (!value(text)) return false;
      char* end = nullptr;
      const long seconds = std::strtol(text.c_str(), &end, 10);
      if (*end != '\0' || seconds <= 0 || seconds > 3600) {
        error = "--wait takes a number of seconds from 1 to 3600";
        return false;
      }
      waitSeconds = static_cast<int>(seconds);
    } else if (arg == "-v") {
      verbose = true;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (address.empty()) {
      address = arg;
    } else {
      error = "one HOST:PORT only";
      return false;
    }
  }
  const size_t colon = address.rfind(':');
  if (address.empty() || colon == std::string::npos || colon == 0 ||
      !ParsePort(address.substr(colon + 1), port)) {
    error = "HOST:PORT is missing or has no valid port";
    return false;
  }
  host = address.substr(0, colon);
  if (!ca.empty() && !tls) {
    error = "--ca goes with --tls";
    return false;
  }
  if (account.empty()) {
    error = "no account: give -u ACCOUNT";
    return false;
  }
  return true;
}
