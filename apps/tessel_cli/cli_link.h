// The operator's link to one server: a client endpoint of the library that logs in with a
// console account and runs console lines in the server's groups (or, along the cluster's
// routes, in the groups of a named process), printing what comes back as it arrives. A thread
// of its own is the endpoint's worker; the methods below are for the main thread and wait for
// the worker with a bound.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tessel/core/host.h"
#include "tessel/link/easy_client.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel_cli/cli_options.h"

class cCmd;
class cMsgBind;

class cCliLink : public cEasyClient, private iConnectDisconnect {
 public:
  // The program's exit codes.
  enum eExit { kAllAnswered = 0, kNotAnswered = 1, kRefused = 2, kUnreachable = 3 };

  // Answers are printed to `out`.
  cCliLink(const stCliOptions& options, std::FILE* out);
  ~cCliLink() override;

  // Connects and logs in: kAllAnswered, or kRefused / kUnreachable with the reason.
  eExit Open(std::string& reason);
  // Runs one console line: "/N" switches to group N, "/N/text" runs text once in group N,
  // "n"/"p" move to the next or previous group, "?" shows the group's help, anything else runs
  // in the current group. kAllAnswered once the server has served it, kNotAnswered (no
  // answer in time) or kRefused (the account may not run it), with the reason.
  eExit RunLine(const std::string& line, std::string& reason);
  // "server/N!> ", the process the lines go to and the current group.
  std::string Prompt() const;
  // The function names of the current group (asked of the server once per group).
  std::vector<std::string> Names();

  const char* GetName() override { return "tessel_cli"; }
  void GetInfo(stClientInfo& info) override;
  bool CreateTessel() override;

  // Told by the groups and bindings of the endpoint (worker thread).
  void OnOutput(const char* text);
  void OnMarked(long long mark);
  void OnRefused(int code);
  void OnRouteFound(const std::string& dest);
  void SetServerName(const std::string& name);

 private:
  class cHost;
  // kTimeOut also stands for a line refused for a reason other than the account's rights.
  enum class eWait { kDone, kRefused, kTimeOut, kClosed };

  void OnConnect(unsigned int) override;
  bool OnDisconnect(unsigned int) override;
  void OnLogined(unsigned int, int result) override;

  void Work();
  // Runs `job` on the worker.
  void Post(std::function<void()> job);
  // Waits (at most the answer wait) until `done` holds; the lock is held while it is asked.
  bool WaitUntil(const std::function<bool()>& done, int ms);
  // Sends `text` (unless empty) to group `level` of the server, or along the route once it is
  // found, then the end mark; waits for the mark.
  eWait Send(int level, const std::string& text, std::string& reason);
  // The level a "/name/" part means: a number, or a standard group's name prefix; -1 if none.
  static int LevelOf(const std::string& name);

  const stCliOptions& m_options;
  std::FILE* m_out;
  std::unique_ptr<cHost> m_host;
  std::unique_ptr<cMsgBind> m_refusalBind;
  std::vector<std::unique_ptr<cCmd>> m_groups;
  int m_level = 0;
  bool m_bRouted = false;                         // the lines go along the route to --to
  std::vector<std::vector<std::string>> m_names;  // by level, asked once

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<std::function<void()>> m_jobs;
  bool m_bStop = false;
  bool m_bConnected = false;
  bool m_bDisconnected = false;
  int m_nLogined = -1;
  bool m_bRouteFound = false;
  std::string m_serverName;
  long long m_nMarked = 0;
  long long m_nNextMark = 0;
  std::vector<int> m_refusals;
  bool m_bCapture = false;  // Output is kept in m_captured instead of being printed
  std::string m_captured;
  std::thread m_worker;
};
