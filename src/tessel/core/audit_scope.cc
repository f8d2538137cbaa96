#include "tessel/core/audit_scope.h"

#include <atomic>
#include <chrono>

#include "tessel/core/audit_trail.h"
#include "tessel/core/worker_thread.h"

namespace {

cAuditScope* g_current = nullptr;
cAuditRun* g_run = nullptr;  // the innermost text being run while the trail is open
std::string g_process = "-";
std::string g_lastError;
const char* g_runText = nullptr;  // the innermost text being run while the trail is open
std::atomic<int64_t (*)()> g_outputCounter{nullptr};

int64_t MonotonicUs() {
  return cAuditTrail::SteadyUs();
}

int64_t Ticks() {
  return cAuditTrail::Ticks();
}

// Bytes of the list of peers a line names as "uncarried": a packed event keeps 96 of a field.
constexpr size_t kUncarriedBytes = 90;

// Adds `peer` to a list "a,b" unless it is there; a list that would grow past its bytes ends
// with "...".
void AddUncarried(std::string& list, std::string_view peer) {
  if (peer.empty()) peer = "-";
  for (size_t at = 0; at <= list.size();) {
    size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    if (std::string_view(list).substr(at, end - at) == peer) return;
    at = end + 1;
  }
  if (list.size() >= 3 && list.compare(list.size() - 3, 3, "...") == 0) return;
  if (list.size() + 1 + peer.size() + 4 > kUncarriedBytes) {
    list += list.empty() ? "..." : ",...";
    return;
  }
  if (!list.empty()) list += ',';
  list += peer;
}

}  // namespace

cAuditScope::cAuditScope(stWho who, bool ownLine)
    : m_who(std::move(who)), m_bOwnLine(ownLine), m_pOuter(g_current) {
  TESSEL_ASSERT_WORKER();
  if (m_pOuter != nullptr) {
    if (m_who.origin.empty()) m_who.origin = m_pOuter->m_who.origin;
    if (m_who.peer.empty()) m_who.peer = m_pOuter->m_who.peer;
    if (m_who.cert.empty()) m_who.cert = m_pOuter->m_who.cert;
    if (m_who.route.empty()) m_who.route = m_pOuter->m_who.route;
  }
  m_origin = OriginOf(m_who.origin);
  g_current = this;
}

std::string cAuditScope::OriginOf(const std::string& account) {
  if (account.empty() || account == "-" || account.find('@') != std::string::npos) return account;
  return account + "@" + g_process;
}

stAuditEvent cAuditScope::EventFor(eAuditSource source, std::string_view origin, const stWho& who) {
  stAuditEvent event;
  event.timeUs = cAuditTrail::Instance().NowUs();
  event.source = source;
  event.origin = origin;
  event.peer = who.peer;
  event.cert = who.cert;
  event.route = who.route;
  return event;
}

cAuditScope::~cAuditScope() {
  g_current = m_pOuter;
}

cAuditScope* cAuditScope::Current() {
  return g_current;
}

void cAuditScope::SetProcess(std::string_view process) {
  g_process = process.empty() ? "-" : std::string(process);
}

const std::string& cAuditScope::Process() {
  return g_process;
}

void cAuditScope::SetOutputCounter(int64_t (*counter)()) {
  g_outputCounter.store(counter);
}

int64_t cAuditScope::OutputBytes() {
  auto counter = g_outputCounter.load();
  return counter != nullptr ? counter() : -1;
}

void cAuditScope::NoteUncarried(std::string_view peer) {
  TESSEL_ASSERT_WORKER();
  cAuditRun* run = g_run;
  // The note goes to whoever writes the line of the text running now: the run itself, or the
  // scope whose opener writes the line of its first text.
  if (run != nullptr && run->m_bLine)
    AddUncarried(run->m_uncarried, peer);
  else if (run != nullptr && run->m_pScope != nullptr)
    AddUncarried(run->m_pScope->m_uncarried, peer);
  else if (g_current != nullptr)
    AddUncarried(g_current->m_uncarried, peer);
}

void cAuditScope::NoteError(std::string_view message) {
  g_lastError = message;
}

const std::string& cAuditScope::LastError() {
  return g_lastError;
}

cAuditRun::cAuditRun(const char* text) : m_text(text) {
  if (!cAuditTrail::Instance().IsOpen()) return;
  m_bOn = true;
  m_pScope = cAuditScope::Current();
  // The first text of a scope whose opener writes its line is counted, not lined.
  m_bLine = m_pScope == nullptr || !m_pScope->m_bOwnLine || m_pScope->m_nDepth > 0;
  if (m_pScope != nullptr) ++m_pScope->m_nDepth;
  m_startUs = Ticks();
  m_startOutput = cAuditScope::OutputBytes();
  m_former = g_runText;
  g_runText = text;
  m_pOuterRun = g_run;
  g_run = this;
}

cAuditRun::~cAuditRun() {
  if (!m_bOn) return;
  g_run = m_pOuterRun;
  g_runText = m_former;
  if (m_pScope != nullptr) --m_pScope->m_nDepth;
}

void cAuditRun::End(const char* group, bool ok) {
  if (!m_bOn || !m_bLine) return;
  static const cAuditScope::stWho kLocal;
  const cAuditScope::stWho& who = m_pScope != nullptr ? m_pScope->Who() : kLocal;
  static const std::string kNone;
  const std::string& origin = m_pScope != nullptr ? m_pScope->Origin() : kNone;
  const int64_t end = Ticks();
  stAuditEvent event;
  event.inTicks = true;
  event.timeUs = end;
  event.source = who.source;
  event.origin = origin;
  event.peer = who.peer;
  event.cert = who.cert;
  event.route = who.route;
  event.uncarried = m_uncarried;
  event.group = group;
  bool refused = false;
  if (!ok) event.right = AuditRefusedRight(cAuditScope::LastError(), &refused);
  event.outcome = ok ? eAuditOutcome::Ran : refused ? eAuditOutcome::Refused : eAuditOutcome::Error;
  event.durationUs = static_cast<uint64_t>(end - m_startUs);
  const int64_t output = cAuditScope::OutputBytes();
  event.outputBytes = output >= 0 && m_startOutput >= 0 ? output - m_startOutput : -1;
  event.text = m_text;
  cAuditTrail::Instance().Record(event);
}

std::unique_ptr<cAuditDeferred> cAuditDeferred::Capture() {
  if (!cAuditTrail::Instance().IsOpen() || g_runText == nullptr) return nullptr;
  auto deferred = std::make_unique<cAuditDeferred>();
  if (const cAuditScope* scope = cAuditScope::Current()) deferred->m_who = scope->Who();
  deferred->m_who.source = eAuditSource::Timer;
  deferred->m_text = g_runText;
  return deferred;
}

void cAuditDeferred::Run(void (*resume)(void*), void* arg) {
  const cAuditScope timer(m_who);
  m_startUs = MonotonicUs();
  resume(arg);
  m_uncarried = timer.Uncarried();
}

void cAuditDeferred::Done(bool ok, const char* message) {
  cAuditTrail& trail = cAuditTrail::Instance();
  if (!trail.IsOpen()) return;
  const std::string origin = cAuditScope::OriginOf(m_who.origin);
  stAuditEvent event = cAuditScope::EventFor(eAuditSource::Timer, origin, m_who);
  bool refused = false;
  if (!ok) event.right = AuditRefusedRight(message != nullptr ? message : "", &refused);
  event.outcome = ok ? eAuditOutcome::Ran : refused ? eAuditOutcome::Refused : eAuditOutcome::Error;
  event.durationUs = static_cast<uint64_t>(MonotonicUs() - m_startUs);
  event.text = m_text;
  event.uncarried = m_uncarried;
  trail.Record(event);
}
