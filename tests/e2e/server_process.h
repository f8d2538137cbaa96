// Runs one tessel_server process for an end-to-end test: its own home folder under /tmp, its
// standard input written by the test, its standard output collected in a file the test reads,
// and its end waited for (or forced, by pid) within a time bound. One test thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

// The bound of every wait for a process's output or end.
inline constexpr int kWaitMs = 20000;

// A fresh folder under /tmp, removed with everything in it by the destructor.
class cHome {
 public:
  cHome();
  ~cHome();
  cHome(const cHome&) = delete;
  cHome& operator=(const cHome&) = delete;

  const std::string& Path() const { return m_path; }
  // Writes a file below the folder, making its folders.
  void Write(const std::string& relative, const std::string& text) const;
  std::string Read(const std::string& relative) const;
  // Every file below `folder` (relative), read whole and joined in name order.
  std::string ReadAll(const std::string& folder) const;
  // A value of the registry store of a process that ran in this home (empty when missing).
  std::string RegistryValue(const std::string& key, const std::string& name) const;
  // Writes the account file of a console account (password and command level).
  void AddAccount(const std::string& account, const std::string& password, int level) const;

 private:
  std::string m_path;
};

class cServerProcess {
 public:
  // Starts tessel_server (or the copy of it at `exe`) with the launch-parameter words, working
  // in `home`.
  cServerProcess(const cHome& home, const std::vector<std::string>& words,
                 const std::string& exe = TESSEL_SERVER_EXE);
  // Kills the process (by its pid) if it still runs.
  ~cServerProcess();
  cServerProcess(const cServerProcess&) = delete;
  cServerProcess& operator=(const cServerProcess&) = delete;

  bool Running() const { return m_pid > 0; }
  // Writes one console line; Send writes the text as it is.
  void Type(const std::string& line) { Send(line + "\n"); }
  void Send(const std::string& text);
  // Closes the process's standard input.
  void CloseInput();
  void Signal(int signo);

  // Everything the process wrote to standard output and error so far.
  std::string Output() const;
  // Waits until the output from byte `from` on holds `text`; false when the time ran out.
  bool WaitOutput(const std::string& text, size_t from = 0, int timeoutMs = kWaitMs) const;
  // Waits for the info value NAME_port of a listening side; 0 when it did not appear.
  int WaitPort(const std::string& server) const;
  // Waits for the end: the exit code, 128 + signal when a signal ended it, -1 when the time ran
  // out (the process is then killed).
  int WaitExit(int timeoutMs = kWaitMs);

 private:
  const cHome& m_home;
  std::string m_outPath;
  pid_t m_pid = -1;
  int m_input = -1;
};

// Test check: every text occurs in `out`, in this order.
void ExpectInOrder(const std::string& out, const std::vector<std::string>& texts);

// Launch words "program = KIND quickend = 1 reconnect = 0" plus the extra words.
std::vector<std::string> Words(const std::string& program, const std::vector<std::string>& extra);

}  // namespace e2e
