#include "tessel_cli/cli_options.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tessel/core/login_text.h"

namespace {

// Digits only: strtol also takes leading blanks and a sign, so "HOST: 7000" or "HOST:+7000"
// connected to a port the operator had not written as one.
bool ParseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= low && value <= high;
}

// Where the password begins in a word that glues one to its option ("-pSECRET",
// "--password=SECRET"); 0 for any other word.
size_t GluedPassword(const std::string& word) {
  for (const std::string_view option : {"--password=", "-p"})
    if (word.size() > option.size() && word.starts_with(option)) return option.size();
  return 0;
}

// What is wrong with the host of HOST:PORT, "" when nothing is. The links connect over IPv4:
// "[::1]" went to the resolver as a host name, and the operator read of a host that cannot be
// reached. A colon in anything else is a mistake of the address ("127.0.0.1:7000:1"), which was
// called an IPv6 address too.
std::string HostMistake(const std::string& address, const std::string& host) {
  if (host.front() != '[' && host.find(':') == std::string::npos) return "";
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  if (in6_addr ip{}; ::inet_pton(AF_INET6, bare.c_str(), &ip) == 1)
    return address + ": " + host + " is an IPv6 address, and the client connects over IPv4 only" +
           " (give an IPv4 address or a host name)";
  return address + " is not HOST:PORT: the host " + host + " holds a '" +
         (host.front() == '[' ? '[' : ':') + "', which only an IPv6 address may";
}

}  // namespace

const char* stCliOptions::Usage() {
  return "usage: tessel_cli [-u ACCOUNT] [-p PASSWORD] [--to NAME] [--wait SECONDS] [-v]\n"
         "                  [--tls [--ca FILE] [--cert FILE --key FILE] [--server-name NAME]]\n"
         "                  [-c LINE]... HOST:PORT\n"
         "       tessel_cli status [--json] [-u ACCOUNT] [-p PASSWORD] [--wait SECONDS] [--tls "
         "...]\n"
         "                  HOST:PORT\n"
         "       tessel_cli --help | --version | --hash-password\n"
         "Logs in to the server at HOST:PORT with a console account and runs console lines there\n"
         "(with --to, in the process of that name): the -c lines, else the lines of standard\n"
         "input, else lines typed on the terminal. Exit codes: 0 every line answered, 1 a line\n"
         "not answered or stopped (a function the account may not run, a Lua error), 2 the\n"
         "login or a line refused for the account, 3 the server not reached or the link lost,\n"
         "4 a TLS failure, 64 a wrong command line.\n"
         "status shows every process of the cluster as a tree (--json: the same as JSON);\n"
         "exit code 1 when one did not answer.\n";
}

bool stCliOptions::TakesValue(const std::string& word) {
  for (const char* option :
       {"-u", "-p", "--to", "--ca", "--cert", "--key", "--server-name", "-c", "--wait"})
    if (word == option) return true;
  return false;
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
    // The options that take a value; an empty one is no value.
    auto value = [&](std::string& into) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        error = arg + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      help = true;
      return true;
    } else if (arg == "--version") {
      version = true;
      return true;
    } else if (arg == "-u") {
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
    } else if (arg == "--cert") {
      if (!value(cert)) return false;
    } else if (arg == "--key") {
      if (!value(key)) return false;
    } else if (arg == "--server-name") {
      if (!value(serverName)) return false;
    } else if (arg == "-c") {
      if (!value(text)) return false;
      lines.push_back(text);
      // A line that carries a password (a login, SetConnect) leaves the process list, as -p's.
      if (MaskCmdText(text) != text) std::memset(argv[i], '*', text.size());
    } else if (arg == "--wait") {
      long seconds = 0;
      if (!value(text)) return false;
      if (!ParseNumber(text, 1, 3600, seconds)) {
        error = "--wait " + text + ": give a number of seconds from 1 to 3600";
        return false;
      }
      waitSeconds = static_cast<int>(seconds);
    } else if (arg == "-v") {
      verbose = true;
    } else if (const size_t glued = GluedPassword(arg); glued != 0) {
      // Neither the message nor the process list shows a password glued to its option.
      error = "unknown option " + arg.substr(0, glued) + MaskPassword(argv[i] + glued) +
              " (give -p PASSWORD as two words)";
      std::memset(argv[i] + glued, '*', arg.size() - glued);
      return false;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (address.empty()) {
      address = arg;
    } else {
      error = "a second HOST:PORT " + arg + " (one server only)";
      return false;
    }
  }
  const size_t colon = address.rfind(':');
  long number = 0;
  if (address.empty()) {
    error = "no HOST:PORT given";
    return false;
  }
  if (colon == std::string::npos || colon == 0 ||
      !ParseNumber(address.substr(colon + 1), 1, 65535, number)) {
    error = address + " is not HOST:PORT with a port from 1 to 65535";
    return false;
  }
  host = address.substr(0, colon);
  port = static_cast<unsigned short>(number);
  if (error = HostMistake(address, host); !error.empty()) return false;
  for (const auto& [word, given] : {std::pair{"--ca", !ca.empty()},
                                    {"--cert", !cert.empty()},
                                    {"--key", !key.empty()},
                                    {"--server-name", !serverName.empty()}})
    if (given && !tls) {
      error = std::string(word) + " goes with --tls";
      return false;
    }
  if (cert.empty() != key.empty()) {
    error = cert.empty() ? "--key goes with --cert" : "--cert goes with --key";
    return false;
  }
  if (account.empty()) {
    error = "no account: give -u ACCOUNT";
    return false;
  }
  return true;
}
