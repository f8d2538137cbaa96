// A Tessel console on a terminal (a pseudo-terminal opened by the test): Tab completes a
// function name of the current group, Up + Enter runs the previous line again, the editing keys
// inside a line never reach Lua, the lines are kept in the history file of the home, and the
// close of the console rings the bell.
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

TEST(TerminalE2e, TabCompletesUpRepeatsAndEditingKeysNeverReachLua) {
  cHome home;
  std::vector<std::string> words{TESSEL_SERVER_EXE, "program", "=", "game", "quickend", "=", "1"},
      vars{"TESSEL_HOME=" + home.path().string(), "TESSEL_REGISTRY=" + home / "registry",
           "TESSEL_COLOR=0", "HOME=" + home.path().string(), "TERM=xterm"};
  words.insert(words.end(), {"connect", "=", "up:1"});  // a client link to clone
  std::vector<char*> argv, envp;
  for (auto& w : words) argv.push_back(w.data());
  for (auto& v : vars) envp.push_back(v.data());
  argv.push_back(nullptr), envp.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) ::_exit(::execve(argv[0], argv.data(), envp.data()));
  ASSERT_GT(pid, 0);
  std::string screen;
  // Reads the terminal until what it showed after `from` holds `text` `count` times.
  auto shows = [&](const std::string& text, size_t from, int count = 1) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      if (testkit::CountOf(std::string_view(screen).substr(std::min(from, screen.size())), text) >=
          size_t(count))
        return true;
      pollfd fd{terminal, POLLIN, 0};
      char chunk[4096];
      ssize_t n = 0;
      if (std::chrono::steady_clock::now() > end ||
          (::poll(&fd, 1, 100) > 0 && (n = ::read(terminal, chunk, sizeof chunk)) <= 0))
        return false;
      screen.append(chunk, static_cast<size_t>(n));
    }
  };
  auto type = [&](const std::string& keys) { (void)!::write(terminal, keys.data(), keys.size()); };
  EXPECT_TRUE(shows("!>", 0)) << screen;
  type("/6\r");
  EXPECT_TRUE(shows("cmd switch", 0)) << screen;
  const size_t mark = screen.size();
  // "Hell" completes to Hello, the test group's own; Left and Right move inside the line.
  type("Hell\t(\x1b[D\x1b[C)\r");
  EXPECT_TRUE(shows("Hello World!", mark)) << screen;
  type("\x1b[A\r");
  EXPECT_TRUE(shows("Hello World!", mark, 2)) << screen;
  type("/11\rCloneClient('up',1,'up2')\r/6\rHello()\r");
  EXPECT_TRUE(shows("Hello World!", mark, 3)) << screen;  // a failed clone took no key
  // A line that an alias makes a login keeps its password out of the history file.
  type("/3/AddAlias('lg',\"/2/Login('%1%','%2%')\")\rlg ops Sekret7\r");
  EXPECT_TRUE(shows("can not solve local cmd", mark)) << screen;
  // The close of the console: the bell rings on the terminal behind the event's line.
  ::kill(pid, SIGTERM);
  EXPECT_TRUE(shows("CTRL_CLOSE_EVENT invoke", mark)) << screen;
  EXPECT_TRUE(shows("\a", screen.find("CTRL_CLOSE_EVENT invoke"))) << screen;
  EXPECT_EQ(WaitPid(pid), 0) << screen;
  ::close(terminal);
  EXPECT_EQ(screen.find("error cmd"), std::string::npos) << screen;
  const std::string history = testkit::ReadFile(home / "console_history");
  EXPECT_NE(history.find("Hello()"), std::string::npos);
  EXPECT_EQ(history.find("Sekret7"), std::string::npos) << history;
}

// Ctrl+C, Ctrl+\ at a password question give the echo back; a crash there leaves no core file.
TEST(TerminalE2e, CtrlCAtAPasswordQuestionGivesTheTerminalItsEchoBack) {
  cHome home;
  std::string exe = TESSEL_CLI_EXE, homeVar = "HOME=" + home.path().string(), user = "USER=ops";
  const rlimit cores{RLIM_INFINITY, RLIM_INFINITY};
  for (const auto& [key, code] : {std::pair{"\x03", 130}, {"\x1c", 131}, {"", 128 + SIGSEGV}})
    for (std::string question : {"127.0.0.1:1", "--hash-password"}) {
      char* argv[] = {exe.data(), question.data(), nullptr};
      // A sanitizer's handler would end the crash with its own exit code.
      std::string segv = "ASAN_OPTIONS=handle_segv=0";
      char* envp[] = {homeVar.data(), user.data(), segv.data(), nullptr};
      int terminal = -1;
      const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
      if (pid == 0)
        ::_exit(::chdir(home.path().c_str()) || ::setrlimit(RLIMIT_CORE, &cores) ||
                ::execve(argv[0], argv, envp));
      termios modes{};
      for (int i = 0; i < 1000 && ::tcgetattr(terminal, &modes) == 0 && (modes.c_lflag & ECHO); ++i)
        ::usleep(10000);
      EXPECT_EQ(modes.c_lflag & ECHO, 0u) << question;  // the question is asked
      *key ? (void)!::write(terminal, key, 1) : (void)::kill(pid, SIGSEGV);
      EXPECT_EQ(WaitPid(pid), code);
      EXPECT_TRUE(!*key || (::tcgetattr(terminal, &modes) == 0 && (modes.c_lflag & ECHO)));
      ::close(terminal);
    }
  EXPECT_FALSE(std::filesystem::exists(home / "core"));
}

}  // namespace
}  // namespace e2e
