// A copy of the running benchmark program started as a child process that plays one side of a
// measure (a receiving server, idle peers): its standard input and output are pipes to the
// parent, which sends it small binary words and reads its answers. The child ends when its
// standard input closes. Parent side: one thread.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace benchkit {

class cBenchChild {
 public:
  // Starts this program with `args` (after its own path). Started() tells whether it runs.
  explicit cBenchChild(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"/proc/self/exe"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    m_to = in[1];
    m_from = out[0];
  }
  ~cBenchChild() {
    if (m_to >= 0) ::close(m_to);
    if (m_pid > 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (::waitpid(m_pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(m_pid, SIGKILL);
          ::waitpid(m_pid, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    if (m_from >= 0) ::close(m_from);
  }
  cBenchChild(const cBenchChild&) = delete;
  cBenchChild& operator=(const cBenchChild&) = delete;

  bool Started() const { return m_pid > 0; }
  template <typename T>
  bool Put(const T& value) {
    return ::write(m_to, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
  }
  // Reads one word from the child, waiting at most `seconds`.
  template <typename T>
  bool Get(T& value, int seconds = 120) {
    char* at = reinterpret_cast<char*>(&value);
    for (size_t have = 0; have < sizeof value;) {
      pollfd p{m_from, POLLIN, 0};
      if (::poll(&p, 1, seconds * 1000) != 1) return false;
      ssize_t n = ::read(m_from, at + have, sizeof value - have);
      if (n <= 0) return false;
      have += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  pid_t m_pid = -1;
  int m_to = -1;
  int m_from = -1;
};

// The child's side of the pipes: words from the parent on standard input, answers on output.
template <typename T>
bool ReadParent(T& value) {
  char* at = reinterpret_cast<char*>(&value);
  for (size_t have = 0; have < sizeof value;) {
    ssize_t n = ::read(0, at + have, sizeof value - have);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  return true;
}
template <typename T>
bool AnswerParent(const T& value) {
  return ::write(1, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

}  // namespace benchkit
