// The command line of tessel_cli: account, password, destination, TLS, the lines to run and
// the server's address. Pure parsing; main thread.
#pragma once

#include <string>
#include <vector>

struct stCliOptions {
  std::string account;   // -u; default $USER
  std::string password;  // -p, else TESSEL_PASSWORD, else asked on the terminal
  bool hasPassword = false;
  std::string to;                  // --to NAME: every line goes to that process along the routes
  bool tls = false;                // --tls
  std::string ca;                  // --ca FILE (with --tls)
  std::string cert, key;           // --cert FILE --key FILE: the client's certificate (with --tls)
  std::string serverName;          // --server-name NAME: what the server's certificate names
  std::vector<std::string> lines;  // -c LINE..., run in order, then the program ends
  int waitSeconds = 5;             // --wait SECONDS: how long a line's answer is waited for
  bool verbose = false;            // -v: the library's own messages go to standard error
  bool help = false;               // --help, -h
  bool version = false;            // --version
  std::string host;
  unsigned short port = 0;

  // Fills the options from argv (the environment gives the defaults); false with `error` set,
  // naming the word, when the line cannot be used. With --help or --version nothing else is
  // checked.
  bool Parse(int argc, char** argv, std::string& error);
  // The name the server's certificate must carry: --server-name, else the host as given.
  std::string ServerName() const { return serverName.empty() ? host : serverName; }
  static const char* Usage();
  // Whether option `word` takes the next argument as its value (-p PASSWORD, -c LINE, ...).
  static bool TakesValue(const std::string& word);
};
