#include "tessel/util/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

// How often a running line is looked at while it writes nothing.
constexpr int kPollSliceMs = 50;

int ExitStatus(int status) {
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Starts "/bin/sh -c line". Standard input is `in` when it is >= 0, else /dev/null: a line that
// reads it ends at once instead of holding the caller. With `out` >= 0 standard output and
// standard error go to it.
// Every other descriptor is closed in the child, so a job left in the background holds no
// socket or log file of this process (a port stays free for the next start). The child gets
// an empty signal mask and default dispositions (this process blocks the console signals in
// every thread). -1 when it could not be started.
pid_t Spawn(const std::string& line, int out, bool ownGroup, int in = -1) {
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&files) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&files);
    return -1;
  }
  if (in >= 0) {
    posix_spawn_file_actions_adddup2(&files, in, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (out >= 0) {
    posix_spawn_file_actions_adddup2(&files, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&files, out, STDERR_FILENO);
  }
  posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (ownGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);
  char sh[] = "sh", dashC[] = "-c";
  std::string text = line;
  char* argv[] = {sh, dashC, text.data(), nullptr};
  std::fflush(nullptr);
  pid_t pid = -1;
  if (const int error = posix_spawn(&pid, "/bin/sh", &files, &attr, argv, environ)) {
    pid = -1;
    errno = error;
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return ExitStatus(status);
}

// Reads what is there; false at the end of the pipe.
bool ReadSome(int fd, stShellRun& run, std::size_t maxBytes) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return false;
  if (n < 0) return true;
  const std::size_t got = static_cast<std::size_t>(n);
  const std::size_t room = maxBytes > run.out.size() ? maxBytes - run.out.size() : 0;
  run.out.append(buffer, got < room ? got : room);
  if (got > room) run.truncated = true;
  return true;
}

// A line that could not be started (no descriptor left for its pipe, no process) ran nothing:
// its run says why, after errno, so that no caller takes the empty output for the line's.
stShellRun& NotRun(stShellRun& run) {
  run.error = std::string("cannot start /bin/sh: ") + std::strerror(errno);
  return run;
}

}  // namespace

std::string ShellQuote(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

int RunShell(const std::string& line) {
  const pid_t pid = Spawn(line, -1, false);
  return pid < 0 ? -1 : WaitFor(pid);
}

stShellRun RunShellLimited(const std::string& line, std::size_t maxBytes, unsigned limitMs,
                           const std::atomic<bool>* stop) {
  return RunShellLimited(line, maxBytes, limitMs,
                         [stop] { return stop == nullptr || !stop->load(); });
}

stShellRun RunShellLimited(const std::string& line, std::size_t maxBytes, unsigned limitMs,
                           const std::function<bool()>& keepWaiting) {
  stShellRun run;
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return NotRun(run);
  const pid_t pid = Spawn(line, pipe[1], true);
  ::close(pipe[1]);
  if (pid < 0) {
    NotRun(run);
    ::close(pipe[0]);
    return run;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  bool open = true, ended = false;
  int status = 0, idleMs = 1;
  while (!ended) {
    pollfd in{pipe[0], POLLIN, 0};
    if (open && ::poll(&in, 1, kPollSliceMs) > 0) open = ReadSome(pipe[0], run, maxBytes);
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
    // The output is closed: the shell's end is looked for again after 1 ms, then less often (a
    // line read on the worker, io.popen, should not wait a whole slice for a quick end).
    if (!open && !ended) {
      ::poll(nullptr, 0, idleMs);
      idleMs = std::min(idleMs * 2, kPollSliceMs);
    }
    const bool stopped = !ended && !keepWaiting();
    if (!ended && (stopped || (limitMs > 0 && Clock::now() >= deadline))) {
      ::kill(-pid, SIGKILL);
      run.timedOut = !stopped;
      status = 0;
      ::waitpid(pid, &status, 0);
      ended = true;
    }
  }
  // The shell has ended: what it wrote before is in the pipe. A job it left in the background
  // may hold the pipe open and go on writing, so only a bounded amount of what is there now is
  // read.
  ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
  std::size_t reads = maxBytes / 4096 + 16;
  for (pollfd in{pipe[0], POLLIN, 0}; open && reads > 0 && ::poll(&in, 1, 0) > 0; --reads)
    open = ReadSome(pipe[0], run, maxBytes);
  ::close(pipe[0]);
  run.status = ExitStatus(status);
  return run;
}

stShellWait RunShellWhile(const std::string& line, const std::function<bool()>& keepWaiting,
                          int input) {
  stShellWait wait;
  const pid_t pid = Spawn(line, -1, true, input);
  if (pid < 0) return wait;
  // A quick line is looked at again after a millisecond, a slow one every kPollSliceMs.
  for (int sliceMs = 1;; sliceMs = sliceMs * 2 < kPollSliceMs ? sliceMs * 2 : kPollSliceMs) {
    const pid_t got = ::waitpid(pid, &wait.waitStatus, WNOHANG);
    if (got == pid) return wait;
    if (got < 0 && errno != EINTR) {
      wait.waitStatus = -1;
      return wait;
    }
    if (!keepWaiting()) break;
    ::poll(nullptr, 0, sliceMs);
  }
  ::kill(-pid, SIGKILL);
  wait.killed = true;
  while (::waitpid(pid, &wait.waitStatus, 0) < 0 && errno == EINTR) {
  }
  return wait;
}

bool StartShellDetached(const std::string& line) {
  return RunShell("(" + line + ") </dev/null >/dev/null 2>&1 &") == 0;
}
