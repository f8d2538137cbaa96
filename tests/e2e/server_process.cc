#include "e2e/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace e2e {

namespace {

// A test that writes to a process that has already ended must not end itself.
const bool kIgnorePipe = (::signal(SIGPIPE, SIG_IGN), true);

// Polls `ready` every 20 ms until it holds or timeoutMs has passed.
template <typename Pred>
bool PollUntil(Pred ready, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

std::string RegistryValue(const cHome& home, const std::string& name) {
  const std::string prefix = name + " = ";
  for (const std::string& line : testkit::ReadLines(home / "registry/Software/tessel_server.ini"))
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  return "";
}

void AddAccount(const cHome& home, const std::string& account, const std::string& password,
                int level) {
  home.write("db/accounts/" + account + ".ini",
             "password = " + password + "\ncmd = " + std::to_string(level) + "\n");
}

void WriteLogin(const cHome& home, const std::string& upstream, const std::string& account,
                const std::string& password) {
  home.write("config/login_" + upstream + ".ini",
             "serverip = 127.0.0.1\naccount = " + account + "\npassword = " + password + "\n");
}

cServerProcess::cServerProcess(const cHome& home, const std::vector<std::string>& words,
                               const std::string& exe)
    : m_home(home), m_outPath(home / "console.txt") {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("TESSEL_", 0) != 0) env.push_back(*e);
  env.push_back("TESSEL_HOME=" + home.path().string());
  env.push_back("TESSEL_REGISTRY=" + home / "registry");
  env.push_back("TESSEL_COLOR=0");
  std::vector<char*> envp;
  for (auto& kv : env) envp.push_back(kv.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{exe};
  args.insert(args.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  if (rc != 0) {
    ::close(fds[1]);
    return;
  }
  m_pid = pid;
  m_input = fds[1];
}

cServerProcess::~cServerProcess() {
  CloseInput();
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
}

void cServerProcess::Send(const std::string& text) {
  if (m_input >= 0) [[maybe_unused]]
    ssize_t n = ::write(m_input, text.data(), text.size());
}

void cServerProcess::CloseInput() {
  if (m_input >= 0) ::close(m_input);
  m_input = -1;
}

void cServerProcess::Signal(int signo) {
  if (m_pid > 0) ::kill(m_pid, signo);
}

bool cServerProcess::WaitOutput(const std::string& text, size_t from, int timeoutMs) const {
  return PollUntil(
      [&] {
        const std::string out = Output();
        return out.size() > from && out.find(text, from) != std::string::npos;
      },
      timeoutMs);
}

bool cServerProcess::Ask(const std::string& line, const std::string& expected) {
  const size_t mark = Output().size();
  Type(line);
  const bool said = WaitOutput(expected, mark);
  EXPECT_TRUE(said) << line << "\n" << Output().substr(mark);
  return said;
}

int cServerProcess::WaitPort(const std::string& server) const {
  // The infos line holds "...,NAME_port=PORT,...".
  const std::string key = server + "_port=";
  int port = 0;
  PollUntil(
      [&] {
        const std::string out = Output();
        for (const char* before : {",", "\n"}) {
          const size_t at = out.find(before + key);
          if (at != std::string::npos) port = std::atoi(out.c_str() + at + 1 + key.size());
        }
        return port > 0;
      },
      kWaitMs);
  return port;
}

int cServerProcess::WaitExit(int timeoutMs) {
  if (m_pid <= 0) return -1;
  int status = 0;
  const bool ended =
      PollUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeoutMs);
  if (!ended) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  m_pid = -1;
  CloseInput();
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void cServerProcess::QuitInOrder() {
  Type("quit");
  EXPECT_EQ(WaitExit(), 0) << Output();
  EXPECT_FALSE(RegistryValue(m_home, "exittime").empty());
}

std::vector<std::string> Words(const std::string& program, const std::vector<std::string>& extra) {
  std::vector<std::string> words{"program", "=",         program, "quickend", "=",
                                 "1",       "reconnect", "=",     "0"};
  words.insert(words.end(), extra.begin(), extra.end());
  return words;
}

static std::vector<std::string> ConnectTo(const std::string& server, int port) {
  return {"connect", "=", server + ":" + std::to_string(port)};
}

cCluster::cCluster() {
  AddAccount(m_globalHome, "game", "game123", 16);
  AddAccount(m_gameHome, "map", "map123", 16);
  WriteLogin(m_gameHome, "global", "game", "game123");
  WriteLogin(m_mapHome, "game", "map", "map123");

  m_global = std::make_unique<cServerProcess>(m_globalHome, Words("global", {"listen", "=", "0"}));
  const int globalPort = m_global->WaitPort("global");
  if (globalPort <= 0) return;

  std::vector<std::string> gameWords{"listen", "=", "0"};
  for (const std::string& word : ConnectTo("global", globalPort)) gameWords.push_back(word);
  m_game = std::make_unique<cServerProcess>(m_gameHome, Words("game", gameWords));
  const int gamePort = m_game->WaitPort("game");
  if (gamePort <= 0 || !m_game->WaitOutput("logined 1 global")) return;

  m_map = std::make_unique<cServerProcess>(m_mapHome, Words("map", ConnectTo("game", gamePort)));
  m_ready = m_map->WaitOutput("logined 1 game");
}

bool cCluster::QuitAll() {
  bool inOrder = true;
  for (cServerProcess* process : {m_map.get(), m_game.get(), m_global.get()}) {
    if (process == nullptr || !process->Running()) continue;
    process->Type("quit");
    inOrder = process->WaitExit() == 0 && inOrder;
  }
  return inOrder;
}

}  // namespace e2e
