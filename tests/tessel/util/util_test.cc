#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "platform/text_clean.h"
#include "tessel/util/ping.h"
#include "tessel/util/process_finder.h"
#include "tessel/util/shell.h"
#include "tessel/util/text_file_util.h"
#include "testkit/child_process.h"
#include "testkit/file_text.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"
#include "testkit/wait.h"

namespace {

// Text and well-formed characters stay; controls of every kind and broken UTF-8 become escapes.
TEST(EscapeControls, KeepsCharactersAndEscapesControlsAndBrokenBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"尚未登陆 ok ~", "尚未登陆 ok ~"},
      {"a\nb\r\t\x7f", "a\\x0Ab\\x0D\\x09\\x7F"},
      {"\x1b[2J\x9b", "\\x1B[2J\\x9B"},
      {"\xc2\x9b\xc2\xa0", "\\xC2\\x9B\xc2\xa0"},    // C1 CSI encoded; no-break space stays
      {"\xc0\xaf\xe4\xb8", "\\xC0\\xAF\\xE4\\xB8"},  // overlong, cut short
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(EscapeControls(text), shown);
}

// Only our own echo reply counts, with its round trip; a reply is never read past its end; a
// datagram socket's reply carries no IP header.
TEST(DecodeEchoReply, OnlyOurWholeEchoReplyCounts) {
  auto reply = [](uint8_t type, uint16_t id) {
    std::vector<uint8_t> r(20 + kEchoRequestSize, 0);
    r[0] = 0x45;
    BuildEchoRequest(r.data() + 20, id, 2, 1000);
    r[20] = type;
    return r;
  };
  auto ours = reply(0, 77), longHeader = ours;
  longHeader[0] = 0x4F;  // an IP header length claiming 60 bytes
  const std::tuple<const char*, std::vector<uint8_t>, size_t, bool, bool> cases[] = {
      {"ours", ours, ours.size(), true, true},
      {"another process's", reply(0, 78), ours.size(), true, false},
      {"a request", reply(8, 77), ours.size(), true, false},
      {"cut inside the ICMP fields", ours, 25, true, false},
      {"IP header longer than the reply", longHeader, 30, true, false},
      {"empty", ours, 0, true, false},
      {"datagram", {ours.begin() + 20, ours.end()}, kEchoRequestSize, false, true}};
  for (const auto& [name, bytes, size, raw, counts] : cases) {
    uint32_t rtt = 99;
    uint16_t seq = 0;  // a counted reply gives rtt 12 and seq 2
    EXPECT_EQ(DecodeEchoReply(bytes.data(), size, raw, "a", 77, 1012, rtt, seq), counts) << name;
    EXPECT_EQ(rtt, counts ? 12u : 99u) << name;
    EXPECT_EQ(seq, counts ? 2u : 0u) << name;
  }
}

// A resolver that answers only when the test lets it (within 30 s).
std::atomic<bool> g_letResolverAnswer{false}, g_resolverAnswered{false};
int StuckResolver(const char*, const char*, const addrinfo*, addrinfo**) {
  for (int i = 0; i < 600 && !g_letResolverAnswer; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return g_resolverAnswered = true, EAI_AGAIN;
}

// Every reply from loopback comes (a time-out, as for a wrong checksum, would add 2000 ms to the
// mean's total); an unresolvable name or a count of zero fails without sending, as does a name
// whose resolver does not answer, once its bound has passed (its lookup holds a thread of its own).
TEST(Ping, LoopbackAnswersAndAnUnresolvableNameFailsWithoutSending) {
  unsigned long rtt = Ping("127.0.0.1", 3);
  ASSERT_NE(rtt, kPingFailed) << "no ICMP socket could be opened on this machine";
  EXPECT_LT(rtt, 667u);
  testkit::cStdoutCapture out;
  EXPECT_EQ(Ping("no-such-host.invalid", 3) & Ping("127.0.0.1", 0), kPingFailed);
  EXPECT_EQ(out.Text().find("Pinging"), std::string::npos);
  SetPingResolver(&StuckResolver);
  EXPECT_EQ(Ping("stuck.invalid", 3), kPingFailed);
  EXPECT_FALSE(g_resolverAnswered);
  g_letResolverAnswer = true;
  SetPingResolver(nullptr);
}

// Without the rights for raw sockets: in a network namespace of its own (loopback up, ping
// sockets allowed for its group there), the child pings 127.0.0.1 through the datagram socket.
TESSEL_CHILD_SCENARIO(ping_datagram) {
  if (::unshare(CLONE_NEWNET) != 0) return 2;
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (::ioctl(fd, SIOCGIFFLAGS, &lo) != 0) return 2;
  lo.ifr_flags |= IFF_UP;
  if (::ioctl(fd, SIOCSIFFLAGS, &lo) != 0) return 2;
  ::close(fd);
  testkit::WriteFile("/proc/sys/net/ipv4/ping_group_range", "0 0");
  SetPingDatagramOnly(true);
  return Ping("127.0.0.1", 3) < 2000 ? 0 : 3;
}

TEST(Ping, TheDatagramSocketCountsItsReplies) {
  testkit::cTempDir dir;
  const stChildResult r = RunChildScenario(dir.path(), "ping_datagram", false);
  if (r.code == 2) GTEST_SKIP() << "no network namespace of our own here";
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(r.out, {"Received = 3, Lost = 0"}));
}

TEST(Shell, EveryQuotedTextComesThroughAsOneWordAndOutputIsKeptUpToTheLimit) {
  for (const std::string text :
       {"plain", "two words", "it's", "'", "$(echo no)", "a\"b\\c;d|e&f", "", "*", "new\nline"}) {
    const stShellRun run =
        RunShellLimited("printf '%s|' " + ShellQuote(text) + " " + ShellQuote(text), 4096, 0);
    EXPECT_EQ(run.status, 0) << text;
    EXPECT_EQ(run.out, text + "|" + text + "|");
  }
  EXPECT_EQ(RunShell("exit 7"), 7);
  EXPECT_EQ(RunShell("kill -9 $$"), -1);
  stShellRun run = RunShellLimited("head -c 300000 /dev/zero; exit 3", 1000, 0);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out.size(), 1000u);
  EXPECT_TRUE(run.truncated);
  run = RunShellLimited("echo hi; echo err >&2", 1000, 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "hi\nerr\n");
  EXPECT_FALSE(run.truncated);
}

// A line never reads this process's standard input (here a pipe nobody writes to), and at its
// time limit its whole process group ends, a job it started in the background included.
TEST(Shell, LinesReadNothingFromUsAndEndWithTheirGroupAtTheLimit) {
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  const int stdinBefore = ::dup(STDIN_FILENO);
  ::dup2(input[0], STDIN_FILENO);
  const stShellRun cat = RunShellLimited("cat; readlink /proc/self/fd/0", 1000, 0);
  ::dup2(stdinBefore, STDIN_FILENO);
  for (const int fd : {stdinBefore, input[0], input[1]}) ::close(fd);
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.out, "/dev/null\n");
  const stShellRun slow = RunShellLimited("sleep 30 & echo $!; wait", 1000, 300);
  EXPECT_TRUE(slow.timedOut) << slow.out;
  EXPECT_EQ(slow.status, -1);
  const std::string proc = "/proc/" + std::to_string(std::atoi(slow.out.c_str())) + "/stat";
  std::string stat;
  EXPECT_TRUE(testkit::WaitUntil([&] {
    stat = testkit::ReadFile(proc);
    return stat.empty() || stat.find(") Z ") != std::string::npos;
  })) << "still running: "
      << stat;
}

// Starts copies of the sleep program under a name no other process on the machine has, and lets
// the finder signal only those children.
struct ProcessFinderTest : testing::Test {
  void SetUp() override {
    std::filesystem::copy_file("/bin/sleep", dir_.path() / name_);
    SetProcessSignalSender([this](pid_t pid, int sig) {
      EXPECT_EQ(children_.count(pid), 1u) << "signal to a process the test did not start: " << pid;
      return children_.count(pid) ? ::kill(pid, sig) : -1;
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
      execl((dir_ / name_).c_str(), name_.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    children_.insert(pid);
    // The child shows the new program file once exec is done.
    for (int i = 0; i < 500 && std::ranges::count(ListProcessesByName(name_.c_str()), pid) == 0;
         ++i)
      usleep(2000);
    return pid;
  }

  testkit::cTempDir dir_;
  const std::string name_ = "tslvictim" + std::to_string(getpid());
  std::set<pid_t> children_;
};

// A program is found by its file name, ignoring case; a kill ends only the first of two, and
// one that ignores the close request is killed after the wait.
TEST_F(ProcessFinderTest, FindsAProgramByNameAndKillEndsTheFirstEvenIfItIgnoresClosing) {
  EXPECT_FALSE(FindProcessByName(name_.c_str()));
  EXPECT_FALSE(KillProcessByName(name_.c_str()));
  pid_t first = Start(false);
  pid_t second = Start(true);
  std::string upper = name_;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_TRUE(FindProcessByName(upper.c_str()));
  EXPECT_FALSE(FindProcessByName("tslvictim"));
  ASSERT_LT(first, second);
  EXPECT_TRUE(KillProcessByName(name_.c_str()));
  // Listed before the test reaps it, the ended first process is no longer there.
  EXPECT_EQ(ListProcessesByName(name_.c_str()), std::vector<pid_t>{second});
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), first);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(KillProcessByName(name_.c_str()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  int status = 0;
  ASSERT_EQ(waitpid(second, &status, 0), second);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

}  // namespace
