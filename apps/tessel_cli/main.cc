// The operator's console client: logs in to a server of the cluster with a console account and
// runs console lines there (or, with --to, in any process the cluster's routes reach), from -c
// arguments, a pipe or an edited terminal line.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/line_editor.h"
#include "tessel/core/login_text.h"
#include "tessel_cli/cli_link.h"
#include "tessel_cli/cli_options.h"

namespace {

constexpr int kUsageError = 64;

// Standard error as the program found it: the reasons go there, in one line each.
std::FILE* g_err = stderr;

void Say(const std::string& reason) {
  std::fprintf(g_err, "tessel_cli: %s\n", reason.c_str());
  std::fflush(g_err);
}

int Fail(int code, const std::string& reason) {
  Say(reason);
  return code;
}

// Asks for the password on the terminal without echoing it; false without a terminal.
bool AskPassword(const std::string& account, std::string& password) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return false;
  const std::string ask = "password for " + account + ": ";
  [[maybe_unused]] ssize_t n = ::write(tty, ask.data(), ask.size());
  termios saved{};
  const bool canHide = ::tcgetattr(tty, &saved) == 0;
  if (canHide) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  password.clear();
  char c;
  while (::read(tty, &c, 1) == 1 && c != '\n' && c != '\r') password += c;
  if (canHide) ::tcsetattr(tty, TCSAFLUSH, &saved);
  n = ::write(tty, "\n", 1);
  ::close(tty);
  return true;
}

// The library's own messages (links, logins) go to standard error with -v, else nowhere;
// standard output is kept for the answers and standard error for the reasons.
std::FILE* KeepStdoutForAnswers(bool verbose) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* out = ::fdopen(::fcntl(1, F_DUPFD_CLOEXEC, 3), "w");
  if (std::FILE* err = ::fdopen(::fcntl(2, F_DUPFD_CLOEXEC, 3), "w")) g_err = err;
  const int quiet = verbose ? ::dup(2) : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (quiet >= 0) {
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    ::close(quiet);
  }
  return out != nullptr ? out : stdout;
}

// Files the library writes (link logs) go under the state folder, not into the folder the
// operator happens to be in.
void EnterStateFolder() {
  const std::string file = platform::cLineEditor::StateFile("cli_history");
  if (file.empty()) return;
  const std::filesystem::path folder = std::filesystem::path(file).parent_path() / "cli";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (!ec) std::filesystem::current_path(folder, ec);
}

// The terminal as it was before the line editor changed its modes.
termios g_terminal{};

// Ctrl+C (or a signal to end) while a line is edited: the terminal gets its modes back first.
void EndOnSignal(int signo) {
  ::tcsetattr(0, TCSANOW, &g_terminal);
  ::_exit(128 + signo);
}

// Lines typed on a terminal: edited, kept in the history, names completed from the group.
int Interactive(cCliLink& link, std::FILE* out) {
  if (::tcgetattr(0, &g_terminal) == 0)
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) std::signal(signo, EndOnSignal);
  platform::cLineEditor editor("tessel_cli", 0, out,
                               platform::cLineEditor::StateFile("cli_history"));
  editor.SetNames([&link] { return link.Names(); });
  for (;;) {
    editor.SetPrompt(link.Prompt());
    std::string line;
    if (editor.ReadLine(line) != platform::cLineEditor::eRead::kLine) return 0;
    if (line == "q" || line == "quit" || line == "exit") return 0;
    if (MaskCmdText(line) == line) editor.Remember(line);
    std::string reason;
    const int result = link.RunLine(line, reason);
    if (result != cCliLink::kAllAnswered) Say(reason);
    if (result == cCliLink::kUnreachable) return result;
  }
}

// Lines from -c or a pipe, in order, each waited for. Refusals and a lost link end the run.
int RunLines(cCliLink& link, const std::vector<std::string>& lines) {
  int exit = cCliLink::kAllAnswered;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string reason;
    const int result = link.RunLine(lines[i], reason);
    if (result == cCliLink::kAllAnswered) continue;
    Say("line " + std::to_string(i + 1) + " (" + MaskCmdText(lines[i]) + "): " + reason);
    if (result != cCliLink::kNotAnswered) return result;
    exit = result;
  }
  return exit;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  stCliOptions options;
  std::string error;
  if (!options.Parse(argc, argv, error)) {
    std::cerr << "tessel_cli: " << error << "\n" << stCliOptions::Usage();
    return kUsageError;
  }
  if (!options.hasPassword && !AskPassword(options.account, options.password))
    return Fail(cCliLink::kRefused, "no password: give -p, TESSEL_PASSWORD or a terminal");
  if (!options.ca.empty() && !std::filesystem::exists(options.ca))
    return Fail(kUsageError, "no CA file " + options.ca);
  // A relative CA path names a file of the folder the program was started in.
  if (!options.ca.empty()) options.ca = std::filesystem::absolute(options.ca).string();
  const bool terminal = options.lines.empty() && platform::cLineEditor::IsTerminal(0);
  std::FILE* out = KeepStdoutForAnswers(options.verbose);
  EnterStateFolder();

  cCliLink link(options, out);
  std::string reason;
  const int opened = link.Open(reason);
  if (opened != cCliLink::kAllAnswered) return Fail(opened, reason);
  if (terminal) return Interactive(link, out);
  std::vector<std::string> lines = options.lines;
  if (lines.empty())
    for (std::string line; std::getline(std::cin, line);) lines.push_back(line);
  return RunLines(link, lines);
}
