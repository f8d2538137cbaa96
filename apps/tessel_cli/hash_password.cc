#include "tessel_cli/hash_password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tessel/link/password_hash.h"
#include "tessel_cli/cli_terminal.h"

namespace {

constexpr int kUsageError = 64;

int Fail(const char* reason) {
  std::fprintf(stderr, "tessel_cli: %s\n", reason);
  return 1;
}

// One line of the terminal on standard input, not echoed.
bool ReadHidden(const char* prompt, std::string& line) {
  std::fputs(prompt, stderr);
  termios saved{};
  const bool hide = ::tcgetattr(0, &saved) == 0;
  if (hide) {
    HoldTerminalModes(0, saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSAFLUSH, &quiet);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (hide) {
    ::tcsetattr(0, TCSAFLUSH, &saved);
    ReleaseTerminalModes();
  }
  std::fputs("\n", stderr);
  return read;
}

}  // namespace

int RunHashPassword(int argc, char**) {
  if (argc > 1) {
    Fail("--hash-password takes no further words");
    return kUsageError;
  }
  std::string password, again;
  if (::isatty(0) != 0) {
    if (!ReadHidden("password: ", password) || !ReadHidden("again: ", again))
      return Fail("no password read");
    if (password != again) return Fail("the two passwords differ");
  } else if (!std::getline(std::cin, password)) {
    return Fail("no password on standard input");
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) return Fail("an empty password is not hashed");
  const std::string hash = HashPassword(password);
  if (hash.empty()) return Fail("the password could not be hashed");
  std::printf("%s\n", hash.c_str());
  return 0;
}
