// The operator's console client: logs in to a server of the cluster with a console account and
// runs console lines there (or, with --to, in any process the cluster's routes reach), from -c
// arguments, a pipe or an edited terminal line. Further tasks are subcommands (a first word
// that names one), each a function of its own.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <utility>

#include "platform/line_editor.h"
#include "platform/terminal_text.h"
#include "tessel/core/log_file.h"
#include "tessel/core/login_text.h"
#include "tessel/msg/msg_records.h"
#include "tessel/util/text_file_util.h"
#include "tessel_cli/cli_audit.h"
#include "tessel_cli/cli_link.h"
#include "tessel_cli/cli_options.h"
#include "tessel_cli/cli_probe.h"
#include "tessel_cli/cli_status.h"
#include "tessel_cli/cli_terminal.h"
#include "tessel_cli/hash_password.h"

namespace {

constexpr int kUsageError = 64;
// A line longer than this is not kept whole: it is refused anyway, only its length is told.
constexpr size_t kLineKeepBytes = stMsg_Cmd::kTextCapacity;
// Bytes of a line that a message shows.
constexpr size_t kEchoBytes = 60;

// Standard error as the program found it: the reasons go there, in one line each.
std::FILE* g_err = stderr;

void Say(const std::string& reason) {
  std::fprintf(g_err, "tessel_cli: %s\n", platform::TerminalText(reason).c_str());
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
    HoldTerminalModes(tty, saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  password.clear();
  char c;
  while (::read(tty, &c, 1) == 1 && c != '\n' && c != '\r') password += c;
  if (canHide) {
    ::tcsetattr(tty, TCSAFLUSH, &saved);
    ReleaseTerminalModes();
  }
  n = ::write(tty, "\n", 1);
  ::close(tty);
  return true;
}

// Standard output is kept for the answers and standard error for the reasons; the library's own
// messages (links, logins) go nowhere, or with -v to standard error through a pipe and a thread
// that cleans them, since a server's bytes (its name, its reasons) can be inside them.
class cLibraryOutput {
 public:
  explicit cLibraryOutput(bool verbose) {
    std::fflush(stdout);
    std::fflush(stderr);
    m_out = ::fdopen(::fcntl(1, F_DUPFD_CLOEXEC, 3), "w");
    if (std::FILE* err = ::fdopen(::fcntl(2, F_DUPFD_CLOEXEC, 3), "w")) g_err = err;
    int pipe[2] = {-1, -1};
    const bool relay = verbose && ::pipe2(pipe, O_CLOEXEC) == 0;
    const int into = relay ? pipe[1] : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (into >= 0) {
      ::dup2(into, 1);
      ::dup2(into, 2);
      ::close(into);
    }
    if (relay) m_relay = std::thread([in = pipe[0]] { Relay(in); });
  }
  // Ends the relay once everything written so far has been shown.
  ~cLibraryOutput() {
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    ::close(quiet);
    if (m_relay.joinable()) m_relay.join();
  }
  std::FILE* Answers() const { return m_out != nullptr ? m_out : stdout; }

 private:
  // Shows what comes through `in` on standard error, a line at a time, cleaned.
  static void Relay(int in) {
    std::string pending;
    char chunk[4096];
    for (ssize_t n; (n = ::read(in, chunk, sizeof chunk)) > 0;) {
      pending.append(chunk, static_cast<size_t>(n));
      const size_t end = pending.rfind('\n');
      if (end == std::string::npos && pending.size() < sizeof chunk) continue;
      // A line longer than a piece is shown in pieces, each ending at a whole character.
      const size_t take = end == std::string::npos
                              ? pending.size() - platform::Utf8IncompleteTail(pending)
                              : end + 1;
      const std::string shown = platform::TerminalText(std::string_view(pending).substr(0, take));
      std::fwrite(shown.data(), 1, shown.size(), g_err);
      std::fflush(g_err);
      pending.erase(0, take);
    }
    const std::string shown = platform::TerminalText(pending);
    std::fwrite(shown.data(), 1, shown.size(), g_err);
    std::fflush(g_err);
    ::close(in);
  }

  std::FILE* m_out = nullptr;
  std::thread m_relay;
};

// The client's own folder under the state folder ($XDG_STATE_HOME/tessel/cli), "" when there
// is none (then nothing is taken from or written to the folder the operator happens to be in,
// such as a CA certificate to trust). With -v the library's logs go there.
std::string StateFolder() {
  const std::string file = platform::cLineEditor::StateFile("cli_history");
  return file.empty() ? "" : (std::filesystem::path(file).parent_path() / "cli").string();
}

// Files the library writes (its logs, with -v) go under the state folder, not into the folder
// the operator happens to be in: false when there is none to go into.
bool EnterStateFolder() {
  const std::string folder = StateFolder();
  std::error_code ec;
  if (folder.empty() || (std::filesystem::create_directories(folder, ec), ec)) return false;
  std::filesystem::current_path(folder, ec);
  return !ec;
}

// A line of the input and its length (a long one is kept cut: it is refused by its length).
struct stLine {
  std::string text;
  size_t bytes = 0;
};

// The next line of `in`; false at its end. Lines are read as they are run, so that a producer's
// lines run as they come and input of any length is run in little memory. The first line of a
// script saved by a Windows editor loses its byte-order mark: kept, that line was no command.
bool ReadLine(std::istream& in, stLine& line, bool first) {
  line = {};
  int c = in.get();
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = in.get(), ++line.bytes)
    if (line.text.size() <= kLineKeepBytes) line.text += static_cast<char>(c);
  // A script written with CR LF line ends: "/6\r" is the switch to group 6 all the same.
  if (!line.text.empty() && line.text.back() == '\r') {
    line.text.pop_back();
    --line.bytes;
  }
  if (first && line.text.starts_with(kByteOrderMark)) {
    line.text.erase(0, kByteOrderMark.size());
    line.bytes -= kByteOrderMark.size();
  }
  return true;
}

// A line as a message shows it: masked when it logs in, cut, cleaned.
std::string Echo(const stLine& line) {
  return cCliLink::Shown(MaskCmdText(line.text), kEchoBytes, line.bytes);
}

// Lines typed on a terminal: edited, kept in the history, names completed from the group.
int Interactive(cCliLink& link, std::FILE* out) {
  // Ctrl+C (or a signal to end) while a line is edited: the terminal gets its modes back first.
  if (termios modes{}; ::tcgetattr(0, &modes) == 0) HoldTerminalModes(0, modes);
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

// Lines from -c or a pipe (`next` gives them), in order, each waited for. Refusals and a lost
// link end the run.
int RunLines(cCliLink& link, const std::function<bool(stLine&)>& next) {
  int exit = cCliLink::kAllAnswered;
  stLine line;
  for (size_t number = 1; next(line); ++number) {
    std::string reason;
    const int result = link.RunLine(line.text, reason);
    if (result == cCliLink::kAllAnswered) continue;
    Say("line " + std::to_string(number) + " (" + Echo(line) + "): " + reason);
    // A reader that takes nothing would hold every line after for its --wait.
    if (result != cCliLink::kNotAnswered || link.OutputStuck()) return result;
    exit = result;
  }
  return exit;
}

// The cluster view: every process asked for its Status() in the accounts group.
int ShowStatus(cCliLink& link, const stCliOptions& options, bool json, std::FILE* out) {
  cStatusWalk walk(
      [&link](const std::vector<std::string>& hops, std::string& text, double& secs) {
        const auto start = std::chrono::steady_clock::now();
        std::string reason;
        const bool answered =
            link.AskAlong(hops, 1, "Status()", text, &reason) == cCliLink::kAllAnswered;
        secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!answered) text = reason;
        return answered;
      },
      options.account);
  return walk.Run(json, out);
}

// The console client: log in, run the lines (or, as "status", show the cluster), end.
int RunConsole(int argc, char** argv, bool statusView = false, bool json = false) {
  stCliOptions options;
  std::string error;
  if (!options.Parse(argc, argv, error)) {
    Say(error + " (tessel_cli --help shows the usage)");
    return kUsageError;
  }
  // The cluster view runs no lines: -c lines would be left out without a word.
  if (statusView && !options.lines.empty())
    return Fail(kUsageError, "-c does not go with status (tessel_cli --help shows the usage)");
  if (options.help || options.version) {
    std::fputs(options.help ? stCliOptions::Usage() : "tessel_cli " TESSEL_VERSION "\n", stdout);
    return 0;
  }
  // Whatever the client writes (its state folder, with -v its logs) is the operator's alone.
  ::umask(077);
  const std::string state = StateFolder();
  if (options.tls) {
    const std::string problem = CheckTlsFiles(
        options,
        state.empty() ? "" : (std::filesystem::path(state) / "config/tls/ca.crt").string());
    if (!problem.empty()) return Fail(cCliLink::kTlsFailed, problem);
  }
  if (!options.hasPassword && !AskPassword(options.account, options.password))
    return Fail(cCliLink::kRefused, "no password: give -p, TESSEL_PASSWORD or a terminal");
  const bool terminal = options.lines.empty() && platform::cLineEditor::IsTerminal(0);
  cLibraryOutput library(options.verbose);
  // The answers hold what the operator ran; they are kept in the library's logs only with -v,
  // and only in the state folder.
  const bool inState = EnterStateFolder();
  cLog::SetFilesOn(options.verbose && inState);
  if (options.verbose && !inState) Say("no state folder to keep the library's logs in: none kept");

  cCliLink link(options, library.Answers(), options.verbose ? g_err : nullptr);
  std::string reason;
  int exit = link.Open(reason);
  if (exit != cCliLink::kAllAnswered) {
    Say(reason);
  } else if (statusView) {
    exit = ShowStatus(link, options, json, library.Answers());
  } else if (terminal) {
    exit = Interactive(link, library.Answers());
  } else {
    size_t given = 0;
    bool first = true;
    int readError = 0;
    exit = RunLines(link, [&options, &given, &first, &readError](stLine& line) {
      if (options.lines.empty()) {
        // A read that failed (an I/O error, a folder as input) ends the lines without running
        // the one it cut, and is no end of them: it was taken for one and the run exited 0.
        const bool got = ReadLine(std::cin, line, std::exchange(first, false));
        if (!std::ferror(stdin)) return got;
        readError = errno != 0 ? errno : EIO;
        return false;
      }
      if (given == options.lines.size()) return false;
      line = {options.lines[given], options.lines[given].size()};
      ++given;
      return true;
    });
    if (readError != 0) {
      Say(std::string("standard input could not be read (") + std::strerror(readError) +
          "): the lines from there on were not run");
      if (exit == cCliLink::kAllAnswered) exit = cCliLink::kNotAnswered;
    }
  }
  if (options.verbose && link.Dropped() > 0)
    Say(std::to_string(link.Dropped()) + " records from the server were not answers: dropped");
  // Answers that could not be written (a full disk, a closed pipe) never reached the operator.
  if (!link.AnswersWritten() || std::fflush(library.Answers()) != 0 ||
      std::ferror(library.Answers()) != 0) {
    Say("the answers could not all be written to standard output");
    if (exit == cCliLink::kAllAnswered) exit = cCliLink::kNotAnswered;
  }
  return exit;
}

// "tessel_cli status [--json] ... HOST:PORT": the cluster view, with the login options.
int RunStatus(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  bool json = false;
  TakeJsonWord(args, json);
  return RunConsole(static_cast<int>(args.size()), args.data(), true, json);
}

// A task of its own, named by the first word: `tessel_cli NAME ARGS...`.
struct stSubcommand {
  const char* name;
  int (*run)(int argc, char** argv);  // argv[0] is the subcommand's name
};

// The subcommands; any other first word is the console client's.
const std::vector<stSubcommand>& Subcommands() {
  static const std::vector<stSubcommand> s_all = {
      {"status", RunStatus}, {"--hash-password", &RunHashPassword}, {"audit", RunAudit}};
  return s_all;
}

}  // namespace

int main(int argc, char** argv) {
  // The client holds the account's password for its whole run (and --hash-password the one to
  // hash): a crash's core dump would put it in a file, in the folder the client works in or with
  // the system's dump collector, so the process is made one the kernel never dumps (nor lets
  // other processes of the user read the memory of).
  ::prctl(PR_SET_DUMPABLE, 0);
  // A closed pipe or a file past its size limit fails the write, which says so, and the exit
  // code is 1: neither ends the client by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (const stSubcommand& sub : Subcommands())
    if (argc > 1 && std::strcmp(argv[1], sub.name) == 0) return sub.run(argc - 1, argv + 1);
  return RunConsole(argc, argv);
}
