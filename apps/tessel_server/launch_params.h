// The launch parameters of the sample server program, read from the launch-parameter store
// ("key = value" groups of the command line, checked against the launch-word table first): what
// it is, where it listens, which servers it connects to. Main thread only.
#pragma once

#include <string>
#include <vector>

// One server this program connects to: the link's name and the server's port.
struct stUpstream {
  std::string name;
  int port = 0;
};

class cLaunchParams {
 public:
  // The variable that may hold the client links' password.
  static constexpr const char* kPasswordVariable = "TESSEL_LINK_PASSWORD";

  // The command-line words after the program's own name.
  static std::vector<std::string> Words(int argc, char** argv);
  // The words joined by blanks, the launch parameters' text.
  static std::string Join(const std::vector<std::string>& words);
  // Overwrites the value of a "password" word, and an initcmd whose line carries a password, in
  // the process's own arguments, which every user of the machine may read in the process list;
  // call it once the words are copied.
  static void HidePassword(int argc, char** argv);

  // Reads the launch-parameter store; the password may also come from the file named by
  // "passwordfile" or from $TESSEL_LINK_PASSWORD. False with Error() set when it cannot.
  bool Load();

  const std::string& Error() const { return m_error; }
  // Program kind and own account name ("program", default "game").
  const std::string& Program() const { return m_program; }
  // Listening port ("listen"); -1 when the program has no server side; 0 picks a free port.
  int ListenPort() const { return m_listenPort; }
  // Address of the listening side ("listenip", default 127.0.0.1), IPv4 in host byte order.
  unsigned int ListenIp() const { return m_listenIp; }
  // Name of the server side ("server", default: the program kind).
  const std::string& ServerName() const { return m_serverName; }
  // Most links the listening side keeps open at once ("maxlinks", default 100; 0 = no bound).
  unsigned int MaxLinks() const { return m_maxLinks; }
  // The servers to connect to ("connect"), the first being the default route.
  const std::vector<stUpstream>& Upstreams() const { return m_upstreams; }
  // "quickend = 1": the end sequence uses short pauses (tests, demos).
  bool QuickEnd() const { return m_quickEnd; }
  // "reconnect = SECONDS": wait after a disconnect before a client side connects again
  // (default 10).
  int ReconnectSeconds() const { return m_reconnectSeconds; }
  // "settime = 1": Time(...) may set the machine's clock; otherwise it is refused.
  bool SetsMachineClock() const { return m_setsMachineClock; }
  // "tls = 1": the listening side and every client link are TLS (files under config/tls).
  bool Tls() const { return m_tls; }
  // "compress = 1": the links send their records packed.
  bool Compress() const { return m_compress; }

 private:
  bool LoadPassword();

  std::string m_error;
  std::string m_program = "game";
  int m_listenPort = -1;
  unsigned int m_listenIp = 0x7F000001;
  std::string m_serverName;
  unsigned int m_maxLinks = 100;
  std::vector<stUpstream> m_upstreams;
  bool m_quickEnd = false;
  int m_reconnectSeconds = 10;
  bool m_setsMachineClock = false;
  bool m_tls = false;
  bool m_compress = false;
};
