#include "tessel/util/shell.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace {

int ExitStatus(int status) {
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
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
  std::fflush(nullptr);
  return ExitStatus(std::system(line.c_str()));
}

int RunShellOutput(const std::string& line, std::string& out, std::size_t maxBytes,
                   bool* truncated) {
  out.clear();
  if (truncated != nullptr) *truncated = false;
  std::fflush(nullptr);
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    const std::size_t room = maxBytes > out.size() ? maxBytes - out.size() : 0;
    out.append(buffer, n < room ? n : room);
    if (n > room && truncated != nullptr) *truncated = true;
  }
  return ExitStatus(::pclose(pipe));
}

bool StartShellDetached(const std::string& line) {
  return RunShell("(" + line + ") </dev/null >/dev/null 2>&1 &") == 0;
}
