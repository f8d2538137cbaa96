#include "tessel/console/shell_jobs.h"

#include <algorithm>
#include <iostream>
#include <string_view>
#include <thread>

#include "platform/text_clean.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/host.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/link_token.h"
#include "tessel/link/origin_desk.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/shell.h"

namespace {

// What a site job's tools wrote (an unpacker lists the package's names) goes to the console
// line by line, each line's controls escaped: a name in a package forges no console line.
void PrintToolOutput(std::string_view text) {
  std::string shown;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);  // a line end as Windows tools write it
    AppendEscapedControls(shown, line);
    shown += '\n';
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  std::cout << shown << std::flush;
}

}  // namespace

// A line or a site job, where its answer goes and, once done, what it wrote. The requester is
// looked up again when the answer is ready: its connection may have gone meanwhile.
struct cShellJobs::stJob {
  std::string line, head, tail;
  SiteWork work;        // a site job, in place of the line
  std::string console;  // what a site job leaves for the console
  unsigned limitSeconds = 0;
  stLinkToken requester;
  uint32_t answerId = 0;  // the answer its requester's sender awaits (0: none)
  bool done = false;      // under m_lock
  stShellRun run;
  std::thread thread;
};

cShellJobs& cShellJobs::Instance() {
  static cShellJobs s_jobs;
  return s_jobs;
}

cShellJobs::~cShellJobs() {
  m_stop.store(true);
  for (auto& job : m_jobs)
    if (job->thread.joinable()) job->thread.join();
}

void cShellJobs::RunJob(stJob* job, unsigned limitMs) {
  stShellRun run;
  if (job->work) {
    run.out = job->work(&m_stop, job->console);
  } else {
    run = RunShellLimited(job->line, kMaxOutput, limitMs, &m_stop);
  }
  std::lock_guard hold(m_lock);
  job->run = std::move(run);
  job->done = true;
}

bool cShellJobs::Start(const std::string& line, std::string head, std::string tail) {
  TESSEL_ASSERT_WORKER();
  if (Pending() >= kMaxRunning) return false;
  auto job = std::make_unique<stJob>();
  job->line = line;
  job->head = std::move(head);
  job->tail = std::move(tail);
  job->limitSeconds = LimitSeconds();
  return Launch(std::move(job));
}

unsigned cShellJobs::LimitSeconds() {
  return ShellTimeLimitSeconds();
}

bool cShellJobs::StartSite(SiteWork work, std::string head) {
  TESSEL_ASSERT_WORKER();
  {
    std::lock_guard hold(m_lock);
    for (const auto& job : m_jobs)
      if (job->work) return false;
  }
  auto job = std::make_unique<stJob>();
  job->work = std::move(work);
  job->head = std::move(head);
  return Launch(std::move(job));
}

bool cShellJobs::Launch(std::unique_ptr<stJob> job) {
  job->requester = ServingToken();
  job->answerId = cOriginDesk::Instance().DeferAnswer();
  stJob* running = job.get();
  {
    std::lock_guard hold(m_lock);
    m_jobs.push_back(std::move(job));
  }
  running->thread = std::thread(&cShellJobs::RunJob, this, running, running->limitSeconds * 1000u);
  return true;
}

unsigned cShellJobs::Pending() const {
  std::lock_guard hold(m_lock);
  return static_cast<unsigned>(m_jobs.size());
}

void cShellJobs::Deliver() {
  TESSEL_ASSERT_WORKER();
  std::list<std::unique_ptr<stJob>> done;
  {
    std::lock_guard hold(m_lock);
    for (auto it = m_jobs.begin(); it != m_jobs.end();) {
      auto next = std::next(it);
      if ((*it)->done) done.splice(done.end(), m_jobs, it);
      it = next;
    }
  }
  for (auto& job : done) {
    job->thread.join();
    Answer(*job);
  }
  if (!done.empty()) ReleaseMarks();
}

namespace {

// The same requester: the same connection, and for a routed command the same way back.
bool SameRequester(const stLinkToken& a, const stLinkToken& b) {
  return !a.local && !b.local && a.serverSide == b.serverSide && a.bridgeName == b.bridgeName &&
         a.linkId == b.linkId && a.serial == b.serial && a.returnPath == b.returnPath;
}

}  // namespace

bool cShellJobs::Runs(const stLinkToken& requester) const {
  std::lock_guard hold(m_lock);
  for (const auto& job : m_jobs)
    if (SameRequester(job->requester, requester)) return true;
  return false;
}

// A requester's end mark tells it that everything its line wrote has come: it must not pass the
// answer of a shell line that line started.
bool cShellJobs::HoldMark(int group, const std::string& text) {
  TESSEL_ASSERT_WORKER();
  const stLinkToken requester = ServingToken();
  if (m_held.size() >= kMaxHeldMarks || !Runs(requester)) return false;
  m_held.push_back(stHeldMark{requester, group, text});
  return true;
}

// The marks of requesters whose jobs have all answered go to them (or nowhere, when their
// connection has gone).
void cShellJobs::ReleaseMarks() {
  for (auto it = m_held.begin(); it != m_held.end();) {
    if (Runs(it->requester)) {
      ++it;
      continue;
    }
    const stHeldMark held = std::move(*it);
    it = m_held.erase(it);
    ServeAgain(held.requester, nullptr,
               [&held] { get_gout().SendBackCmd(held.group, held.text.c_str()); });
  }
}

// The answer goes back as if the requester's command were being served again, so it takes the
// same way as any command output; a requester whose connection has gone gets nothing.
void cShellJobs::Answer(stJob& job) {
  std::string text = job.head + job.run.out;
  if (!job.run.out.empty() && job.run.out.back() != '\n') text += "\n";
  if (!job.run.error.empty()) text += "... not run: " + job.run.error + "\n";
  if (job.run.timedOut)
    text += "... ended: time limit of " + std::to_string(job.limitSeconds) + " s reached\n";
  if (job.run.truncated)
    text += "... output truncated at " + std::to_string(kMaxOutput) + " bytes\n";
  text += job.tail;
  PrintToolOutput(job.console);
  cOriginDesk::Instance().AnswerLater(job.requester, job.answerId,
                                      [&text] { get_gout() << text << std::flush; });
}
