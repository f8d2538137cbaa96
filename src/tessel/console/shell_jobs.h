// Shell commands and site jobs run off the worker: each runs on a thread of its own (a line under
// a time limit), so one that waits (for input, for the network, for ever) stops no link's cycle.
// What it wrote goes to whoever asked for it (the console, or the very connection whose command
// started it) when it ends, handed over by the worker. Start, StartSite and Deliver: worker
// thread only; a job's thread touches only its own job and its done flag, under the lock.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/link/link_token.h"

class cShellJobs {
 public:
  // Most lines running at once; a further one is refused.
  static constexpr unsigned kMaxRunning = 8;
  // Most bytes of a line's output kept.
  static constexpr unsigned kMaxOutput = 65536;
  // The time limit in seconds of a line or a site tool starting now (ShellTimeLimitSeconds).
  static unsigned LimitSeconds();

  static cShellJobs& Instance();
  cShellJobs() = default;
  // Ends what still runs (killing its process group) and waits for its thread.
  ~cShellJobs();
  cShellJobs(const cShellJobs&) = delete;
  cShellJobs& operator=(const cShellJobs&) = delete;

  // Starts `line` for the requester of the command being served (or for the console). When it
  // ends, the requester gets `head`, what it wrote, a line saying when the limit ended it or
  // its output was cut, then `tail`. False (nothing started) when kMaxRunning lines run.
  bool Start(const std::string& line, std::string head, std::string tail);
  // A site job: `work` runs off the worker (`stop` is set when the process ends) and returns
  // what the requester gets after `head`; what it leaves in `console` goes to the console. One
  // site job at a time: false (nothing started) while one runs.
  using SiteWork = std::function<std::string(const std::atomic<bool>* stop, std::string& console)>;
  bool StartSite(SiteWork work, std::string head);
  // Hands the answers of the ended lines to their requesters; run by the worker every cycle.
  void Deliver();
  // Lines started and not yet delivered.
  unsigned Pending() const;
  // While a line or site job started for the requester served now still runs, `text` (the end
  // mark of its answer, to `group`) waits and goes to it behind the job's answer. False: nothing
  // runs for it, or kMaxHeldMarks already wait.
  bool HoldMark(int group, const std::string& text);
  // Most marks waiting at once; a further one is answered at once.
  static constexpr size_t kMaxHeldMarks = 256;

 private:
  struct stJob;
  bool Launch(std::unique_ptr<stJob> job);
  void RunJob(stJob* job, unsigned limitMs);
  static void Answer(stJob& job);
  bool Runs(const stLinkToken& requester) const;
  void ReleaseMarks();

  struct stHeldMark {
    stLinkToken requester;
    int group = 0;
    std::string text;
  };

  mutable std::mutex m_lock;  // guards each job's done flag
  std::list<std::unique_ptr<stJob>> m_jobs;
  std::atomic<bool> m_stop{false};
  std::vector<stHeldMark> m_held;  // worker thread only, in the order they came
};
