#include "tessel/util/process_finder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <set>

#include "testkit/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Starts copies of the sleep program under a name no other process on the machine has, and lets
// the finder signal only those children.
class ProcessFinderTest : public testing::Test {
 protected:
  void SetUp() override {
    name_ = "tslvictim" + std::to_string(getpid());
    fs::copy_file("/bin/sleep", dir_ / name_);
    SetProcessSignalSender([this](pid_t pid, int sig) {
      if (!children_.count(pid)) {
        ADD_FAILURE() << "signal to a process the test did not start: " << pid;
        return -1;
      }
      return ::kill(pid, sig);
    });
  }

  void TearDown() override {
    SetProcessSignalSender(nullptr);
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  pid_t Start(bool ignoreClose) {
    pid_t pid = fork();
    if (pid == 0) {
      // An ignored signal stays ignored across exec: this child will not close on SIGTERM.
      if (ignoreClose) signal(SIGTERM, SIG_IGN);
      std::string path = (dir_ / name_).string();
      execl(path.c_str(), name_.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    children_.insert(pid);
    // The child shows the new program file once exec is done.
    for (int i = 0; i < 500 && ListProcessesByName(name_.c_str()).empty(); ++i) usleep(2000);
    return pid;
  }

  bool Reaped(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
  }

  testkit::cTempDir scratch_;
  const fs::path dir_ = scratch_.path();
  std::string name_;
  std::set<pid_t> children_;
};

TEST_F(ProcessFinderTest, FindsARunningProgramByFileNameIgnoringCase) {
  EXPECT_FALSE(FindProcessByName(name_.c_str()));
  EXPECT_FALSE(KillProcessByName(name_.c_str()));
  Start(false);
  EXPECT_TRUE(FindProcessByName(name_.c_str()));
  std::string upper = name_;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_TRUE(FindProcessByName(upper.c_str()));
  EXPECT_FALSE(FindProcessByName("tslvictim"));
  EXPECT_FALSE(FindProcessByName(""));
}

TEST_F(ProcessFinderTest, KillEndsOnlyTheFirstOfTwoProcesses) {
  pid_t first = Start(false);
  pid_t second = Start(false);
  ASSERT_LT(first, second);
  EXPECT_TRUE(KillProcessByName(name_.c_str()));
  // Listed before the test reaps it, the ended first process is no longer there.
  EXPECT_EQ(ListProcessesByName(name_.c_str()), std::vector<pid_t>{second});
  EXPECT_TRUE(Reaped(first));
  EXPECT_FALSE(Reaped(second));
}

TEST_F(ProcessFinderTest, AProgramIgnoringTheCloseRequestIsKilledAfterTheWait) {
  pid_t pid = Start(true);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(KillProcessByName(name_.c_str()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

}  // namespace
