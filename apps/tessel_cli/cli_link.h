// The operator's link to one server: a client endpoint of the library that logs in with a
// console account and runs console lines in the server's groups (or, along the cluster's
// routes, in the groups of a named process), printing what comes back as it arrives. What the
// server sends is read, never run: the endpoint has no command group, its command records are
// read as answers by a literal parser, and every byte of them is cleaned before it is shown. A
// thread of its own is the endpoint's worker; the public methods are for the main thread and
// wait for the worker with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tessel/core/host.h"
#include "tessel/link/easy_client.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel_cli/cli_answer.h"
#include "tessel_cli/cli_options.h"
#include "tessel_cli/cli_output.h"

class cMsgBind;

class cCliLink : public cEasyClient, private iConnectDisconnect {
 public:
  // The program's exit codes.
  enum eExit {
    kAllAnswered = 0,
    kNotAnswered = 1,
    kRefused = 2,
    kUnreachable = 3,
    kTlsFailed = 4,
  };

  // Answers are printed to `out`; with `notes` (-v), what the server sent that was dropped is
  // noted there.
  cCliLink(const stCliOptions& options, std::FILE* out, std::FILE* notes);
  ~cCliLink() override;

  // Connects and logs in (and, with --to, finds the route): kAllAnswered, or another exit code
  // with the reason, the real cause of the failure in one line.
  eExit Open(std::string& reason);
  // Runs one console line: "/N" switches to group N, "/N/text" runs text once in group N,
  // "n"/"p" move to the next or previous group, "?" shows the group's help, "??" the groups and
  // "???" the process's servers and clients; anything else runs in the current group.
  // kAllAnswered once the server has served it, kNotAnswered (no answer in time, or a line too
  // long for a command record) or kRefused (the account may not run it), with the reason.
  eExit RunLine(const std::string& line, std::string& reason);
  // Runs `text` in group `level` of the process at the end of `hops` (the names after the server
  // logged in to; none: that server) along the routes, and gives back what it wrote:
  // kAllAnswered, or kNotAnswered when no answer came (refused, no answer in time, the link
  // closed), with the reason in `reason` when one is given.
  eExit AskAlong(const std::vector<std::string>& hops, int level, const std::string& text,
                 std::string& answer, std::string* reason = nullptr);
  // "server/N!> ", the process the lines go to and the current group.
  std::string Prompt() const;
  // The function names of the current group (asked of the server once per group).
  std::vector<std::string> Names();
  // Records from the server that were not answers and were dropped.
  long long Dropped() const;
  // Whether every answer queued was written to standard output (waiting --wait at most, none
  // once a line's answer could not be written in time).
  bool AnswersWritten();
  // Whether the last line's answer could not be written in time: the reader takes nothing.
  bool OutputStuck() const { return m_bStuck; }

  const char* GetName() override { return "tessel_cli"; }
  void GetInfo(stClientInfo& info) override;
  bool CreateTessel() override;

  // `text` as a message shows it: cleaned for the terminal and cut to at most `most` bytes
  // (never inside a character), followed by its whole length (`whole`, else its own) when cut.
  static std::string Shown(std::string_view text, size_t most, size_t whole = 0);

 private:
  class cHost;
  class cAnswerBind;
  class cRefusalBind;
  class cDropBind;
  // kTimeOut also stands for a line refused for a reason other than the account's rights;
  // kLate is a line that got no answer at all in time.
  // kStuck: the answer came, but the reader of standard output did not take it in time.
  enum class eWait { kDone, kRefused, kTimeOut, kLate, kClosed, kStuck };

  void OnConnect(unsigned int) override;
  bool OnDisconnect(unsigned int) override;
  void OnLogined(unsigned int, int result) override;

  // Told by the bindings of the endpoint (worker thread).
  void OnCmdRecord(int group, std::string_view text);
  void OnRefused(int code);
  void OnDropped(const std::string& what);
  void OnAnswer(const stAnswer& answer);

  void Work();
  // Wakes the worker: a record came (any thread).
  void Wake();
  // Runs `job` on the worker.
  void Post(std::function<void()> job);
  // Waits (at most `ms`) until `done` holds; the lock is held while it is asked.
  bool WaitUntil(const std::function<bool()>& done, int ms);
  // Why the link never came up, or went down before the login answer.
  eExit NotConnected(std::string& reason);
  eExit ClosedBeforeLogin(std::string& reason);
  // The link to the server went down: kUnreachable, with the reason (lock held).
  eExit Closed(std::string& reason) const;
  // The server as reasons and the prompt name it: the name it logged in as, or HOST:PORT when
  // that name was empty, blank, or nothing of it was left once cleaned (lock held).
  std::string ServerLabel() const;
  // The line that tells a plain client it reached a TLS server.
  std::string SpeaksTls() const;
  // Sends `text` (unless empty) to group `level` of the server, or along the route once it is
  // found, then the end mark; waits for the mark (`waitMs`, -1: --wait).
  eWait Send(int level, const std::string& text, std::string& reason, int waitMs = -1);
  // How the wait for a line ended (`ended`: its mark came), with the reason.
  eWait Outcome(bool ended, std::string& reason);
  // Waits --wait at most (not at all once a line's answer was not written in time) for the
  // answers queued to be written; false when some are still waiting for the reader.
  bool DrainAnswers();
  // Send for a console line: a line too long for a command record is refused here.
  eExit Ask(int level, const std::string& text, std::string& reason);
  // The answer of "??": the groups of the server that answer, with their standard names; the
  // first group that gave no answer within --wait and those after it (not asked) are named in
  // the reason.
  eExit ListGroups(std::string& reason);
  // The function names of group `level`, asked once, waiting at most `waitMs`.
  const std::vector<std::string>& NamesOf(int level, int waitMs);
  // Whether group `level` left its last question for its names unanswered a short while ago.
  bool Silent(int level) const;
  // Shows answer text as it arrives (lock held); EndAnswer ends its last line.
  void Print(std::string_view text);
  void EndAnswer();
  // Whether an Output is the answer of the line waited for: sent back in the line's group, the
  // way the line went (lock held).
  bool AnswersLine(const stAnswer& answer) const;
  // Shows text that answers no line waited for, each line marked as such (lock held).
  void PrintMarked(std::string_view text);
  // The level a "/name/" part means: a number, or a standard group's name prefix; -1 if none.
  static int LevelOf(const std::string& name);

  const stCliOptions& m_options;
  const std::string m_address;  // HOST:PORT as given
  std::FILE* m_notes;
  cAnswerWriter m_writer;  // the answers' way to standard output
  bool m_bStuck = false;   // the last line's answer was not written in time (main thread)
  std::unique_ptr<cHost> m_host;
  std::unique_ptr<cMsgBind> m_answerBind, m_refusalBind, m_dropBind;
  int m_level = 0;
  std::vector<std::vector<std::string>> m_names;  // by level, asked once
  // By level, until when a group that did not answer is not asked again (main thread).
  std::vector<std::chrono::steady_clock::time_point> m_silentUntil;

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<std::function<void()>> m_jobs;
  bool m_bStop = false;
  bool m_bWoken = false;  // a record came since the worker last looked
  bool m_bConnected = false;
  bool m_bDisconnected = false;
  int m_nLinkState = 0;  // the network callback's state, as the worker last saw it
  int m_nLogined = -1;
  bool m_bRouteFound = false;
  bool m_bRouteMissing = false;
  bool m_bRouted = false;  // the lines go along the route to --to
  std::string m_askTo;     // AskAlong's destination while it waits
  std::string m_serverName;
  long long m_nMarked;
  long long m_nNextMark;
  int m_nWaitLevel = -1;       // the group of the line waited for; -1 while none is
  bool m_bWaitRouted = false;  // that line went along a route
  // The refusals since the line run last began: how many, the first, one of the account's rights.
  long long m_nRefusals = 0;
  int m_nFirstRefusal = 0;
  bool m_bAccessRefused = false;
  bool m_bCapture = false;  // answer text is kept in m_captured instead of being shown
  std::string m_captured;
  std::string m_carry;        // the start of a character whose rest comes with the next answer
  bool m_bOpenLine = false;   // the text shown last did not end its line
  std::string m_lineFailure;  // the refusal or Lua error line of the line run, "" when none
  long long m_nDropped = 0;
  std::thread m_worker;
};
