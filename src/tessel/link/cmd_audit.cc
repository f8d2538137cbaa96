#include "tessel/link/cmd_audit.h"

#include <chrono>
#include <string>

#include "tessel/contracts/netlib.h"
#include "tessel/core/audit_trail.h"
#include "tessel/core/login_text.h"
#include "tessel/link/account_help.h"
#include "tessel/link/bridge.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

int64_t MonotonicUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The Login record being handled whose line its login decides, and how: left to the login
// desk's later answer, or refused because it failed. Record takes it.
enum class eLoginLine { kRan, kFailed, kLater };
const stCmdContext* g_login = nullptr;
eLoginLine g_loginLine = eLoginLine::kRan;

void NoteLogin(eLoginLine line) {
  if (!cAuditTrail::Instance().IsOpen()) return;
  g_login = CurrentCmd();
  g_loginLine = line;
}

int64_t CollectedOutput() {
  return get_gout().IsLocalCmd() ? -1 : static_cast<int64_t>(get_gout().CollectedBytes());
}

std::string Origin(const std::string& account) {
  return cAuditScope::OriginOf(account);
}

// The group's name, or its number (kept in `number`) when it has none.
std::string_view GroupShown(const stCmdContext& cmd, std::string& number) {
  if (cCmd* group = cmd.bridge.GetCmdSafe(static_cast<unsigned>(cmd.group)))
    return group->GetName();
  number = std::to_string(cmd.group);
  return number;
}

// What a record refused for its rights before its text ran lacked. The check refuses a whole
// group, so no single function's category says it: an account of level 0 lacks a level above
// it (it may only log in), any other the group itself, as an allow list names it.
std::string RefusedGroupRight(const stCmdContext& cmd) {
  if (cmd.account != nullptr && !cmd.stranger && cmd.account->GetLevel() == 0) return "level>0";
  return std::to_string(cmd.group);
}

// Ran; refused (by the rights, the login or a check, or a refusal raised while it ran); or
// stopped by a Lua error or found nothing to run it.
eAuditOutcome Outcome(const stCmdContext& cmd, std::string_view* right) {
  if (cmd.ran) {
    if (!cmd.luaError) return eAuditOutcome::Ran;
    bool refused = false;
    *right = AuditRefusedRight(cAuditScope::LastError(), &refused);
    return refused ? eAuditOutcome::Refused : eAuditOutcome::Error;
  }
  if (cmd.result == ChatException_OK) return eAuditOutcome::Ran;
  if (cmd.result == ChatException_NoCmd || cmd.result == ChatException_DistributeWrong)
    return eAuditOutcome::Error;
  return eAuditOutcome::Refused;
}

}  // namespace

void cCmdAudit::Install() {
  static cCmdAudit s_audit;
  cAuditScope::SetOutputCounter(&CollectedOutput);
  SetCmdAudit(&s_audit);
}

cAuditScope::stWho PeerAuditWho(const stCmdContext& cmd) {
  cAuditScope::stWho who{eAuditSource::Peer, cmd.origin.empty() ? "-" : cmd.origin};
  if (cmd.link != nullptr && cAuditTrail::Instance().IsOpen()) {
    who.peer = cmd.link->GetIP();
    who.cert = Net_GetPeerCertSha256(cmd.link);
  }
  return who;
}

void cCmdAudit::Record(const stCmdContext& cmd) {
  const bool loginAnswered = &cmd == g_login;
  const eLoginLine login = loginAnswered ? g_loginLine : eLoginLine::kRan;
  g_login = nullptr;
  cAuditTrail& trail = cAuditTrail::Instance();
  if (!trail.IsOpen() || login == eLoginLine::kLater) return;
  // A login answered now always leaves its line (the login desk slows guessing); the rest of
  // what a link sends before its login keeps to the endpoint's budget.
  if (cmd.stranger && !loginAnswered && !cmd.bridge.MayNoteStranger()) return trail.Skip();
  // The handler's scope for the record knows who sent it already, and its origin.
  const cAuditScope* scope = cAuditScope::Current();
  cAuditScope::stWho sender;
  std::string senderOrigin;
  if (scope == nullptr) {
    sender = PeerAuditWho(cmd);
    senderOrigin = Origin(sender.origin);
  }
  const cAuditScope::stWho& who = scope != nullptr ? scope->Who() : sender;
  const std::string& origin = scope != nullptr ? scope->Origin() : senderOrigin;
  std::string number;
  stAuditEvent event = cAuditScope::EventFor(eAuditSource::Peer, origin, who);
  event.group = GroupShown(cmd, number);
  if (scope != nullptr) event.uncarried = scope->Uncarried();
  event.outcome = Outcome(cmd, &event.right);
  // A refused origin (a claim the link may not make, a process outside the origin's targets)
  // lacked no group: its line names no right.
  const std::string groupRight =
      !cmd.ran && cmd.result == ChatException_NoPri && cmd.refusal.empty() ? RefusedGroupRight(cmd)
                                                                           : "";
  if (!groupRight.empty()) event.right = groupRight;
  if (login == eLoginLine::kFailed) event.outcome = eAuditOutcome::Refused;
  event.result = static_cast<int>(cmd.result);
  event.durationUs = static_cast<uint64_t>(cmd.costMs) * 1000;
  event.outputBytes = static_cast<int64_t>(cmd.outputBytes);
  event.text = cmd.text;
  trail.Record(event);
}

void AuditRefusedStranger(iSend* link, std::string_view group, std::string_view text) {
  cAuditTrail& trail = cAuditTrail::Instance();
  if (!trail.IsOpen()) return;
  const std::string cert = link != nullptr ? Net_GetPeerCertSha256(link) : std::string();
  stAuditEvent event;
  event.timeUs = trail.NowUs();
  event.source = eAuditSource::Peer;
  event.peer = link != nullptr ? link->GetIP() : "";
  event.cert = cert;
  event.group = group;
  event.outcome = eAuditOutcome::Refused;
  event.result = ChatException_NotLogin;
  event.text = text;
  trail.Record(event);
}

cCmdScriptAudit::cCmdScriptAudit(const stCmdContext& cmd) : m_cmd(cmd), m_startUs(MonotonicUs()) {}

void cCmdScriptAudit::End(bool ok) const {
  cAuditTrail& trail = cAuditTrail::Instance();
  if (!trail.IsOpen()) return;
  const cAuditScope::stWho who = PeerAuditWho(m_cmd);
  const std::string origin = Origin(who.origin);
  stAuditEvent event = cAuditScope::EventFor(eAuditSource::Script, origin, who);
  event.group = "cmd.lua";
  event.outcome = ok ? eAuditOutcome::Ran : eAuditOutcome::Error;
  event.durationUs = static_cast<uint64_t>(MonotonicUs() - m_startUs);
  event.text = m_cmd.text;
  trail.Record(event);
}

void NoteLoginAnswer(bool ok) {
  NoteLogin(ok ? eLoginLine::kRan : eLoginLine::kFailed);
}

cLoginAudit::cLoginAudit() : m_startUs(MonotonicUs()) {
  if (!cAuditTrail::Instance().IsOpen()) return;
  const stCmdContext* cmd = CurrentCmd();
  if (cmd == nullptr) return;
  m_bOn = true;
  m_who = PeerAuditWho(*cmd);
  m_origin = Origin(m_who.origin);
  std::string number;
  m_group = GroupShown(*cmd, number);
  m_text = MaskCmdText(cmd->text);
  // Answered at once, the answer notes its verdict for the record's own line instead.
  NoteLogin(eLoginLine::kLater);
}

void cLoginAudit::End(bool answered, bool ok, int64_t outputBytes) const {
  cAuditTrail& trail = cAuditTrail::Instance();
  if (!m_bOn || !trail.IsOpen()) return;
  stAuditEvent event = cAuditScope::EventFor(eAuditSource::Peer, m_origin, m_who);
  event.group = m_group;
  event.outcome = !answered ? eAuditOutcome::Error
                  : ok      ? eAuditOutcome::Ran
                            : eAuditOutcome::Refused;
  event.result = ChatException_OK;
  event.durationUs = static_cast<uint64_t>(MonotonicUs() - m_startUs);
  event.outputBytes = outputBytes;
  event.text = m_text;
  trail.Record(event);
}
