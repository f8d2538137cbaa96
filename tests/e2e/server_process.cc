#include "e2e/server_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "testkit/tls_files.h"

extern char** environ;

namespace e2e {
namespace {

// A test that writes to a process that has already ended must not end itself.
const bool kIgnorePipe = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Polls `ready` every 20 ms until it holds or kWaitMs have passed.
template <typename Pred>
bool PollUntil(Pred ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (; !ready(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

}  // namespace

std::string RegistryValue(const cHome& home, const std::string& name) {
  for (const std::string& line : testkit::ReadLines(home / "registry/Software/tessel_server.ini"))
    if (line.rfind(name + " = ", 0) == 0) return line.substr(name.size() + 3);
  return "";
}

std::string TrailOf(const cHome& home) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(home / "log/audit", ec))
    if (entry.is_directory()) return entry.path().string();
  return {};
}

int CountLines(const std::string& trail, const std::vector<std::string>& parts) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(trail))
    for (const std::string& line : testkit::ReadLines(entry.path())) {
      bool all = true;
      for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
      count += all;
    }
  return count;
}

void AddAccount(const cHome& home, const std::string& account, const std::string& password,
                int level, bool process) {
  home.account(account, password, level, process ? "process = 1\n" : "");
}

void WriteLogin(const cHome& home, const std::string& upstream, const std::string& account,
                const std::string& password) {
  home.login(upstream, account, password);
}

long RssKb(pid_t pid) {
  for (const std::string& line : testkit::ReadLines("/proc/" + std::to_string(pid) + "/status"))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

std::vector<std::string> Words(const std::string& program, std::vector<std::string> extra) {
  extra.insert(extra.begin(),
               {"program", "=", program, "quickend", "=", "1", "reconnect", "=", "0"});
  return extra;
}

std::string InstallWithReportTool(const cHome& home) {
  std::filesystem::create_directories(home / "bin");
  std::filesystem::copy_file(TESSEL_SERVER_EXE, home / "bin/tessel_server");
  home.write("bin/XCrashReport",
             "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$3\" > \"$(dirname \"$0\")/args.tmp\"\n"
             "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/xcrash_args.txt\"\n");
  ::chmod((home / "bin/XCrashReport").c_str(), 0755);
  return home / "bin/tessel_server";
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int in,
            const std::string& outPath, const std::string& errPath) {
  // The given variables come first: a name found twice reads as its first value.
  std::vector<std::string> vars = env;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("TESSEL_", 0) != 0) vars.push_back(*e);
  std::vector<std::string> words = args;
  std::vector<char*> envp, argv;
  for (auto& kv : vars) envp.push_back(kv.data());
  for (auto& arg : words) argv.push_back(arg.data());
  envp.push_back(nullptr);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0)
    posix_spawn_file_actions_adddup2(&actions, in, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), flags, 0644);
  if (errPath.empty())
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), flags, 0644);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitPid(pid_t pid) {
  int status = 0;
  const bool ended = pid > 0 && PollUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended && pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

stCliRun RunCli(const cHome& home, const std::vector<std::string>& args,
                const std::string& password, const std::string& input) {
  std::vector<std::string> env{"HOME=" + home.path().string(), "XDG_STATE_HOME=" + home / "state"};
  if (!password.empty()) env.push_back("TESSEL_PASSWORD=" + password);
  std::vector<std::string> words{TESSEL_CLI_EXE};
  words.insert(words.end(), args.begin(), args.end());
  home.write("cli_in.txt", input);
  const int in = ::open((home / "cli_in.txt").c_str(), O_RDONLY | O_CLOEXEC);
  stCliRun run;
  run.code = WaitPid(Spawn(words, env, in, home / "cli_out.txt", home / "cli_err.txt"));
  ::close(in);
  run.out = testkit::ReadFile(home / "cli_out.txt");
  run.err = testkit::ReadFile(home / "cli_err.txt");
  return run;
}

cServerProcess::cServerProcess(const cHome& home, const std::vector<std::string>& words,
                               const std::string& exe, const std::vector<std::string>& env)
    : m_home(home), m_outPath(home / "console.txt") {
  std::vector<std::string> args{exe};
  args.insert(args.end(), words.begin(), words.end());
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> vars{"TESSEL_HOME=" + home.path().string(),
                                "TESSEL_REGISTRY=" + home / "registry", "TESSEL_COLOR=0"};
  vars.insert(vars.end(), env.begin(), env.end());
  m_pid = Spawn(args, vars, fds[0], m_outPath);
  ::close(fds[0]);
  if (m_pid < 0)
    ::close(fds[1]);
  else
    m_input = fds[1];
}

cServerProcess::~cServerProcess() {
  CloseInput();
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
}

bool cServerProcess::WaitOutput(const std::string& text, size_t from) const {
  return PollUntil([&] { return Output().find(text, from) != std::string::npos; });
}

bool cServerProcess::Ask(const std::string& line, const std::vector<std::string>& expected) {
  const size_t mark = Output().size();
  Type(line);
  for (const std::string& text : expected) {
    if (WaitOutput(text, mark)) continue;
    ADD_FAILURE() << line << ": " << text << "\n" << Output().substr(mark);
    return false;
  }
  const testing::AssertionResult inOrder = testkit::InOrder(Output().substr(mark), expected);
  EXPECT_TRUE(inOrder) << line;
  return inOrder;
}

int cServerProcess::WaitPort(const std::string& server, size_t from) const {
  // The infos line holds "...,NAME_port=PORT,...".
  int port = 0;
  PollUntil([&] {
    const std::string out = Output();
    size_t at = out.find("," + server + "_port=", from);
    if (at == std::string::npos) at = out.find("\n" + server + "_port=", from);
    return (port = at == std::string::npos ? 0 : std::atoi(&out[at + server.size() + 7])) > 0;
  });
  return port;
}

int cServerProcess::WaitExit() {
  const int code = WaitPid(m_pid);
  m_pid = -1;
  CloseInput();
  return code;
}

void cServerProcess::QuitInOrder() {
  Type("quit");
  EXPECT_EQ(WaitExit(), 0) << Output();
  EXPECT_FALSE(RegistryValue(m_home, "exittime").empty());
}

cCluster::cCluster(bool tls) {
  std::vector<std::string> extra;
  if (tls) {
    // Each home holds the CA and its own certificates: a listening side's for server use, a
    // client link's for client use; game, which does both, holds one of each.
    const std::string dir = globalHome / "certs";
    if (!testkit::MakeTlsFiles(dir, {"global", "game"}, {"client"})) return;
    const std::pair<const cHome*, std::vector<std::string>> files[] = {
        {&globalHome, {"global"}}, {&gameHome, {"game", "client"}}, {&mapHome, {"client"}}};
    for (const auto& [home, names] : files) {
      std::filesystem::create_directories(*home / "config/tls");
      std::filesystem::copy_file(dir + "/ca.crt", *home / "config/tls/ca.crt");
      for (const std::string& name : names)
        for (const char* ext : {".crt", ".key"})
          std::filesystem::copy_file(dir + "/" + name + ext, *home / ("config/tls/" + name + ext));
    }
    extra = {"tls", "=", "1", "compress", "=", "1"};
  }
  auto with = [&](std::vector<std::string> words) {
    words.insert(words.end(), extra.begin(), extra.end());
    return words;
  };
  AddAccount(globalHome, "game", "game123", 16, true);
  AddAccount(gameHome, "map", "map123", 16, true);
  WriteLogin(gameHome, "global", "game", "game123");
  WriteLogin(mapHome, "game", "map", "map123");
  global = std::make_unique<cServerProcess>(globalHome, Words("global", with(Listen())),
                                            InstallWithReportTool(globalHome));
  const int globalPort = global->WaitPort("global");
  if (globalPort <= 0) return;
  std::vector<std::string> words = Listen();
  for (const std::string& word : ConnectTo("global", globalPort)) words.push_back(word);
  game = std::make_unique<cServerProcess>(gameHome, Words("game", with(words)));
  const int gamePort = game->WaitPort("game");
  if (gamePort <= 0 || !game->WaitOutput("logined 1 global")) return;
  map = std::make_unique<cServerProcess>(mapHome, Words("map", with(ConnectTo("game", gamePort))));
  ready = map->WaitOutput("logined 1 game");
}

}  // namespace e2e
