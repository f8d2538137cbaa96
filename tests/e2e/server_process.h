// Runs tessel_server processes for the end-to-end tests: each in its own home folder, its
// standard input written by the test, its standard output collected in a file the test reads,
// and its end waited for (or forced, by pid) within a time bound. One test thread.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/temp_dir.h"

namespace e2e {

using cHome = testkit::cTempDir;

// The bound of every wait for a process's output or end.
inline constexpr int kWaitMs = 20000;

// The audit trail folder of the process that ran in `home` (log/audit/<exe name>), and the
// count of its lines that hold every one of `parts`.
std::string TrailOf(const cHome& home);
int CountLines(const std::string& trail, const std::vector<std::string>& parts);

// A value of the registry store of a process that ran in `home` (empty when missing).
std::string RegistryValue(const cHome& home, const std::string& name);
// Writes a console account (password, command level) and the login file a downstream uses for
// its upstream `upstream`.
// A process account (`process`) may carry the origin of commands it sends on.
void AddAccount(const cHome& home, const std::string& account, const std::string& password,
                int level, bool process = false);
void WriteLogin(const cHome& home, const std::string& upstream, const std::string& account,
                const std::string& password);
// Launch words "program = KIND quickend = 1 reconnect = 0" plus `extra`; "listen = 0" and
// "connect = NAME:PORT" words.
std::vector<std::string> Words(const std::string& program, std::vector<std::string> extra = {});
inline std::vector<std::string> Listen() {
  return {"listen", "=", "0"};
}
inline std::vector<std::string> ConnectTo(const std::string& server, int port) {
  return {"connect", "=", server + ":" + std::to_string(port)};
}
// Copies tessel_server into home/bin beside a report tool "XCrashReport" that writes the three
// arguments it was started with to home/bin/xcrash_args.txt; returns the copy's path.
std::string InstallWithReportTool(const cHome& home);

// Starts `args` with the variables `env` before those of this process not named TESSEL_*;
// standard input from `in` (/dev/null when -1), standard output to `outPath`
// and standard error to `errPath` (to the same file when empty). The pid, or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int in,
            const std::string& outPath, const std::string& errPath = "");
// The exit code of `pid` (128 + signal), -1 when it did not end in time (it is then killed).
int WaitPid(pid_t pid);

// One run of tessel_cli with `args`, HOME and XDG_STATE_HOME in `home`, the password (when not
// empty) in TESSEL_PASSWORD, `input` on standard input.
struct stCliRun {
  int code = -1;
  std::string out, err;
};
stCliRun RunCli(const cHome& home, const std::vector<std::string>& args,
                const std::string& password, const std::string& input = "");

// The resident memory of a process in KiB, -1 when it cannot be read.
long RssKb(pid_t pid);

class cServerProcess {
 public:
  // Starts tessel_server (or the copy at `exe`) with the launch words, working in `home`, with
  // the variables `env` besides the home's.
  cServerProcess(const cHome& home, const std::vector<std::string>& words,
                 const std::string& exe = TESSEL_SERVER_EXE,
                 const std::vector<std::string>& env = {});
  // Kills the process (by its pid) if it still runs.
  ~cServerProcess();
  cServerProcess(const cServerProcess&) = delete;
  cServerProcess& operator=(const cServerProcess&) = delete;

  // Writes one console line; Send writes the text as it is.
  void Type(const std::string& line) { Send(line + "\n"); }
  void Send(const std::string& text) {
    if (m_input >= 0 && ::write(m_input, text.data(), text.size()) < 0) CloseInput();
  }
  void CloseInput() {
    if (m_input >= 0) ::close(m_input);
    m_input = -1;
  }
  void Signal(int signo) {
    if (m_pid > 0) ::kill(m_pid, signo);
  }
  pid_t Pid() const { return m_pid; }
  // Whether the process still runs (an ended one is reaped).
  bool Alive() {
    int status = 0;
    if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) m_pid = -1;
    return m_pid > 0;
  }
  // Everything the process wrote to standard output and error so far.
  std::string Output() const { return testkit::ReadFile(m_outPath); }
  // Waits until the output from byte `from` on holds `text`; false when the time ran out.
  bool WaitOutput(const std::string& text, size_t from = 0) const;
  // Types `line` and waits until what the process prints after it holds `expected` in order.
  bool Ask(const std::string& line, const std::vector<std::string>& expected);
  // Waits for the info value NAME_port of a listening side in the output from byte `from` on; 0
  // when it did not appear.
  int WaitPort(const std::string& server, size_t from = 0) const;
  // Waits for the end: the exit code, 128 + signal when a signal ended it, -1 when the time ran
  // out (the process is then killed).
  int WaitExit();
  // Types quit and expects the orderly end: exit code 0 and the exit time in the registry.
  void QuitInOrder();

 private:
  const cHome& m_home;
  std::string m_outPath;
  pid_t m_pid = -1;
  int m_input = -1;
};

// The three-process cluster: global (top server) <- game (listens and connects to global) <-
// map (connects to game), each in a home of its own, logged in with account files of command
// level 16; global runs beside the report tool. `ready` tells whether both links were logged in
// in time. With `tls`, every link is TLS and packs its records, on certificates of one
// development CA made for the test in globalHome/certs. The destructor kills whatever still runs.
struct cCluster {
  explicit cCluster(bool tls = false);
  cHome globalHome, gameHome, mapHome;
  std::unique_ptr<cServerProcess> global, game, map;
  bool ready = false;
};

}  // namespace e2e
