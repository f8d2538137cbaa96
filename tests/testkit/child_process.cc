#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace {

std::map<std::string, std::function<int()>>& Scenarios() {
  static std::map<std::string, std::function<int()>> all;
  return all;
}

// In a child, plays the scenario named by TESSEL_TEST_CHILD once every scenario is registered,
// and ends the process with its result instead of running the tests.
class cChildEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* name = std::getenv("TESSEL_TEST_CHILD");
    if (name == nullptr) return;
    auto it = Scenarios().find(name);
    int code = 99;
    if (it != Scenarios().end()) {
      if (const char* home = std::getenv("TESSEL_HOME"); home && ::chdir(home) != 0) std::_Exit(98);
      code = it->second();
    }
    std::fflush(nullptr);
    std::_Exit(code);
  }
};

const bool kEnvironment = ::testing::AddGlobalTestEnvironment(new cChildEnvironment) != nullptr;

}  // namespace

bool RegisterChildScenario(const std::string& name, std::function<int()> body) {
  Scenarios()[name] = std::move(body);
  return kEnvironment;
}

stChildResult RunChildScenario(const std::string& dir, const std::string& scenario, bool withTool,
                               int timeoutMs) {
  namespace fs = std::filesystem;
  const std::string exe = dir + "/tessel_child";
  fs::copy_file("/proc/self/exe", exe, fs::copy_options::overwrite_existing);
  ::chmod(exe.c_str(), 0755);
  if (withTool) {
    testkit::WriteFile(dir + "/XCrashReport",
                       "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$3\" > "
                       "\"$(dirname \"$0\")/xcrash_args.txt\"\n");
    ::chmod((dir + "/XCrashReport").c_str(), 0755);
  }
  fs::create_directories(dir + "/registry");
  std::vector<std::string> env;
  // The crash path runs the host's pre-report callback (registry and logger writes) inside the
  // fatal-signal handler by design; ThreadSanitizer is told not to report those calls.
  std::string tsan = "TSAN_OPTIONS=report_signal_unsafe=0";
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.rfind("TSAN_OPTIONS=", 0) == 0)
      tsan = kv + ":report_signal_unsafe=0";
    else if (kv.rfind("TESSEL_", 0) != 0 && kv.rfind("GTEST_", 0) != 0)
      env.push_back(kv);
  }
  env.insert(env.end(), {tsan, "TESSEL_TEST_CHILD=" + scenario, "TESSEL_HOME=" + dir,
                         "TESSEL_REGISTRY=" + dir + "/registry", "TESSEL_COLOR=0"});
  std::vector<char*> envp;
  for (auto& kv : env) envp.push_back(kv.data());
  envp.push_back(nullptr);

  const std::string outPath = dir + "/child_out.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
  pid_t pid = -1;
  stChildResult result;
  const int rc = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.exited = WIFEXITED(status);
  result.code = result.exited ? WEXITSTATUS(status) : -1;
  result.signo = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.out = testkit::ReadFile(outPath);
  return result;
}
