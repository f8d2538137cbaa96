#include "tessel/link/cmd_handler.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include "platform/clock.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/denied_log.h"
#include "tessel/core/host.h"
#include "tessel/core/literal_call.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/peer_env.h"
#include "tessel/core/route_text.h"
#include "tessel/core/script_peer_env.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_help.h"
#include "tessel/link/bridge.h"
#include "tessel/link/cmd_audit.h"
#include "tessel/link/origin_desk.h"
#include "tessel/link/origin_record.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/timers/timer_function.h"

namespace {

std::atomic<iCmdRights*> g_rights{nullptr};
std::atomic<iCmdAudit*> g_audit{nullptr};
stCmdContext* g_current = nullptr;

constexpr uint32_t kCmdScriptWarnMs = 100;

// Makes a record the one being handled for its handling; the one before comes back after.
class cCurrentScope {
 public:
  explicit cCurrentScope(stCmdContext& cmd) : m_former(g_current) { g_current = &cmd; }
  ~cCurrentScope() { g_current = m_former; }
  cCurrentScope(const cCurrentScope&) = delete;
  cCurrentScope& operator=(const cCurrentScope&) = delete;

 private:
  stCmdContext* m_former;
};

// Who a command runs for: account@process.
std::string OriginOf(iAccount& account) {
  return std::string(account.GetName()) + "@" + GetHost().GetAccount();
}

// The environments a command carried for an origin runs in: the origin's on the link.
stPeerKey OriginEnvKey(const stCmdContext& cmd) {
  stPeerKey key = PeerEnvKey(&cmd.bridge, cmd.link != nullptr ? cmd.link->GetID() : 0);
  key.origin = cmd.origin;
  return key;
}

}  // namespace

void SetCmdRights(iCmdRights* rights) {
  g_rights.store(rights);
}

void SetCmdAudit(iCmdAudit* audit) {
  g_audit.store(audit);
}

const stCmdContext* CurrentCmd() {
  TESSEL_ASSERT_WORKER();
  return g_current;
}

void NoteCmdRun(bool ok) {
  TESSEL_ASSERT_WORKER();
  if (g_current == nullptr) return;
  g_current->ran = true;
  g_current->luaError = !ok;
}

HandleChatExceptionEnum cCmdHandler::Handle(const stCmdRecord& received) {
  TESSEL_ASSERT_WORKER();
  stCmdContext cmd = Describe(received);
  TakeOrigin(cmd);
  cCurrentScope current(cmd);
  const cAuditScope audit(PeerAuditWho(cmd), true);
  m_bridge.AddCmdLog_Run(cmd.msg);
  {
    const cOriginDesk::cServing serving(cmd.link, cmd.answerId, cmd.answersTo, cmd.sendHops);
    Serve(cmd);
  }
  cmd.costMs = platform::ElapsedMs(cmd.startMs, platform::TimeGetTime());
  m_bridge.AddCmdLog_Result(cmd.result);
  if (iCmdAudit* audit = g_audit.load()) audit->Record(cmd);
  // The sender of an origin hears when its command is answered; an answer to a command this
  // process sent for a requester goes on to that requester.
  cOriginDesk& desk = cOriginDesk::Instance();
  if (cmd.answerId != 0)
    desk.EndServing(cOriginDesk::TokenOf(m_bridge, cmd.link, cmd.group), cmd.answerId);
  if (cmd.answersTo != 0) desk.Forward(cmd.answersTo, cmd.text);
  return cmd.result;
}

stCmdContext cCmdHandler::Describe(const stCmdRecord& received) {
  iSend* link = received.msg->send;
  iAccount* account = m_bridge.LinkAccount(link);
  const bool loggedIn = account != nullptr && !m_bridge.IsStranger(*received.msg);
  return stCmdContext{m_bridge,
                      *received.msg,
                      *received.record,
                      link,
                      account,
                      loggedIn ? OriginOf(*account) : "",
                      received.group,
                      received.text,
                      account != nullptr && !loggedIn,
                      platform::TimeGetTime()};
}

// The origin another process sent with the record, checked: the claim, and that the origin's
// targets reach this process (a route's relays only pass the command on; its end checks).
void cCmdHandler::TakeOrigin(stCmdContext& cmd) {
  if (cmd.link == nullptr) return;
  cOriginDesk& desk = cOriginDesk::Instance();
  cmd.answersTo = desk.TakeAnswerTo(cmd.link, cmd.asker);
  stCarriedOrigin carried = desk.TakeOrigin(cmd.link, cmd.group, cmd.text);
  if (!carried.present) return;
  cmd.answerId = carried.answerId;
  // A peer's count beyond the bound is held at it: one more is dropped, nothing wraps to 0.
  cmd.sendHops = std::min(carried.hops, stMsg_Origin::kMaxHops) + 1;
  cmd.refusal = std::move(carried.refusal);
  if (!cmd.refusal.empty()) {
    cDeniedLog::Instance().Note(cmd.account != nullptr ? cmd.account->GetName() : "-", "-",
                                "origin", "process");
    return;
  }
  cmd.carried = std::move(carried.rights);
  cmd.origin = cmd.carried->origin;
  const std::string own = GetHost().GetAccount();
  if (IsRouteCall(cmd) || cmd.carried->MayReach(own)) return;
  cmd.refusal = "refused: " + cmd.carried->account + " may not run commands on " + own +
                " (outside its targets)";
  cDeniedLog::Instance().Note(cmd.carried->account, cmd.origin, "commands", "targets");
}

// A routed call passes through processes outside the origin's targets; its destination is
// checked where the call names it. Any other text of the route group runs here and is checked
// as one.
bool cCmdHandler::IsRouteCall(const stCmdContext& cmd) {
  stLiteralCall call;
  return cmd.group == kRouteGroup && ParseLiteralCall(cmd.text, call) &&
         (call.name == "SendPathCmd" || call.name == "FindPathOnRoute");
}

// A link that has not logged in runs the login group and the program's own groups, but no
// builtin that reaches the operating system: no account's rights could grant one.
const CmdRightsPtr& cCmdHandler::StrangerRights() {
  static const CmdRightsPtr s_rights = [] {
    auto rules = std::make_shared<cRightRules>();
    std::string error;
    cRightRules::ParseItems("@shell", rules->m_deny, error);
    auto rights = std::make_shared<stCmdRights>();
    rights->account = "(not logged in)";
    rights->origin = "-";
    rights->rules.push_back(std::move(rules));
    return CmdRightsPtr(std::move(rights));
  }();
  return s_rights;
}

// The link's rights and, for an answer to a command this process sent, those that command was
// sent with: a narrowed account's OS_QueryTime toward another process must not have the answer
// OS_SetTime run here with the full rights of the link it comes back on.
CmdRightsPtr cCmdHandler::Rights(const stCmdContext& cmd) const {
  CmdRightsPtr link = LinkRights(cmd);
  if (!cmd.asker) return link;
  auto both = std::make_shared<stCmdRights>(*cmd.asker);
  // Not its targets: an answer goes back the way its command came (a route's answer passes on
  // toward the asker), and the far end checked that this way ends at the asker.
  for (auto& set : both->rules) {
    if (set->m_targets.empty()) continue;
    auto anywhere = std::make_shared<cRightRules>(*set);
    anywhere->m_targets.clear();
    set = std::move(anywhere);
  }
  if (link) both->rules.insert(both->rules.end(), link->rules.begin(), link->rules.end());
  return both;
}

// The link account's rights and, for a command that carries an origin, the origin's as well.
CmdRightsPtr cCmdHandler::LinkRights(const stCmdContext& cmd) const {
  if (cmd.stranger) return StrangerRights();
  CmdRightsPtr own = cmd.account != nullptr ? AccountRights(cmd.account) : nullptr;
  if (!cmd.carried) return own;
  // Code the command leaves to run later answers to the link's account as well: its Kick or a
  // narrower file of it ends or narrows that code too.
  auto both = std::make_shared<stCmdRights>(*cmd.carried);
  if (cmd.account != nullptr) both->carrier = cmd.account->GetName();
  if (own) both->AddRulesOf(*own);
  return both;
}

// Everything the command writes is collected and goes back to the requester when the serving
// scope ends, also when the command throws.
void cCmdHandler::Serve(stCmdContext& cmd) {
  ostreamCmd::cServeScope serving(&cmd.msg, &m_bridge, cmd.group);
  // A command carried for an origin runs in that origin's own environments on the link: what
  // one operator behind a process link defines is not what another one's commands call.
  std::optional<cPeerEnvScope> originEnv;
  if (cmd.carried) originEnv.emplace(OriginEnvKey(cmd));
  // Every function the text calls checks the account's rights, the command script's included.
  cCmdRightsScope served(Rights(cmd));
  if (!cmd.refusal.empty()) {
    get_gout() << cmd.refusal << "\n";
    cmd.result = ChatException_NoPri;
    cmd.outputBytes = get_gout().CollectedBytes();
    return;
  }
  iCmdRights* rights = g_rights.load();
  cmd.result = rights != nullptr ? rights->Allow(cmd) : ChatException_OK;
  if (cmd.result == ChatException_OK) cmd.result = m_bridge.RunCmdBridge(cmd.link, &cmd.record);
  // The command script sees what the endpoint accepted, also when no group of it runs the text,
  // before the distributor; a refused text (no login, no rights, a failed check) runs nowhere.
  if (cmd.result == ChatException_OK || cmd.result == ChatException_NoCmd) RunCmdScript(cmd);
  if (cmd.result == ChatException_NoCmd) Distribute(cmd);
  cmd.outputBytes = get_gout().CollectedBytes();
}

void cCmdHandler::RunCmdScript(const stCmdContext& cmd) {
  KLuaScript* script = GetCmdScript();
  if (script == nullptr) return;
  // The guard's report shows the text: a password in it is masked.
  const std::string shown = MaskCmdText(cmd.text);
  cTimerFunctionTessel guard("cmd.lua", shown.c_str(), kCmdScriptWarnMs, 1);
  const cCmdScriptAudit audit(cmd);
  // The peer's text runs here a second time, under a command's limits as in its group.
  std::optional<cLuaCommandLimit> limit;
  if (script->GetLua() != nullptr) limit.emplace(script->GetLua());
  // A link's text runs in the link's own environment there, as in a group: what it sets stays
  // the link's, never what another link's text calls later under that link's rights.
  cPeerEnvs::cUse env;
  const int rc = script->DoCmd(cmd.record.text,
                               [&env](lua_State* L) { return cScriptPeerEnvs::Apply(L, env); });
  audit.End(rc == 0);
}

void cCmdHandler::Distribute(stCmdContext& cmd) {
  iDistribute* distribute = m_bridge.GetDistribute();
  if (distribute == nullptr) return;
  const unsigned short link = cmd.link != nullptr ? cmd.link->GetID() : 0;
  cmd.result = distribute->Distribute(link, cmd.msg.msg, cmd.msg.size)
                   ? ChatException_OK
                   : ChatException_DistributeWrong;
}
