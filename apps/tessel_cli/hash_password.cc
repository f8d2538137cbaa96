#include "tessel_cli/hash_password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tessel/link/password_hash.h"
#include "tessel/msg/msg_records.h"
#include "tessel/util/text_file_util.h"
#include "tessel_cli/cli_terminal.h"

namespace {

constexpr int kUsageError = 64;
// A login carries its password inside one command record's text: a longer one could never be
// given, and is not read further.
constexpr size_t kMostPasswordBytes = stMsg_Cmd::kTextCapacity;

int Fail(const std::string& reason) {
  std::fprintf(stderr, "tessel_cli: %s\n", reason.c_str());
  return 1;
}

// The next line of standard input; at most one byte past kMostPasswordBytes of it is read.
bool ReadLine(std::string& line) {
  line.clear();
  for (int c; line.size() <= kMostPasswordBytes && (c = std::cin.get()) != EOF && c != '\n';)
    line += static_cast<char>(c);
  return !line.empty() || std::cin.good();
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
  const bool read = ReadLine(line);
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
  } else if (!ReadLine(password)) {
    return Fail("no password on standard input");
  }
  // Piped from a file a Windows editor saved: its CR LF line end, its byte-order mark are no
  // part of the password (kept in the hash, the password itself never matched it).
  if (!password.empty() && password.back() == '\r') password.pop_back();
  DropByteOrderMark(password);
  if (password.empty()) return Fail("an empty password is not hashed");
  // A NUL byte ends the text a login sends: such a password could never be given either.
  if (password.size() > kMostPasswordBytes || password.find('\0') != std::string::npos)
    return Fail("a password of more than " + std::to_string(kMostPasswordBytes) +
                " bytes or with a NUL byte cannot be given in a login: not hashed");
  const std::string hash = HashPassword(password);
  if (hash.empty()) return Fail("the password could not be hashed");
  std::printf("%s\n", hash.c_str());
  // A hash that did not reach its file (a full disk, a closed pipe) is no hash made: the
  // account file it was meant for would get an empty password line.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    return Fail("the hash could not be written to standard output");
  return 0;
}
