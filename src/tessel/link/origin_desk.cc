#include "tessel/link/origin_desk.h"

#include <algorithm>
#include <iostream>

#include "platform/clock.h"
#include "platform/text_clean.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/audit_scope.h"
#include "tessel/core/console_bound.h"
#include "tessel/core/host.h"
#include "tessel/core/literal_call.h"
#include "tessel/core/login_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_help.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/origin_record.h"
#include "tessel/msg/cmd_record_gate.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

// The greeting's text to a client whose account may claim origins.
constexpr std::string_view kClaim = "claim";

bool Passed(uint32_t deadlineMs, uint32_t nowMs) {
  return static_cast<int32_t>(nowMs - deadlineMs) >= 0;
}

// The links of `server` that are up, by id (1 to 65535), until as many as it has open are found.
std::vector<iSend*> UpLinks(iServer* server) {
  constexpr unsigned kLastLinkId = 65535;
  std::vector<iSend*> links;
  const size_t open = static_cast<size_t>(std::max(server->GetLinkNum(), 0));
  for (unsigned id = 1; id <= kLastLinkId && links.size() < open; ++id) {
    iServerLink* link = server->GetLink(id);
    if (link != nullptr && link->IsConnect() != 0) links.push_back(link);
  }
  return links;
}

// A command record that the message floor puts on a link itself (a sync object's, the echo of a
// served record) carries the served command's origin too.
bool GateCmdRecord(iSend* link, int group, std::string_view text) {
  return cOriginDesk::Instance().BeforeSend(link, group, std::string(text).c_str());
}

}  // namespace

cOriginDesk::cOriginDesk() {
  SetCmdRecordGate(&GateCmdRecord);
}

cOriginDesk& cOriginDesk::Instance() {
  static cOriginDesk desk;
  return desk;
}

// A client whose account may not claim origins never sends one: a cluster whose account files
// do not name their process accounts runs as it did, each link with its own account's rights.
void cOriginDesk::Greet(cBridge& bridge, iSend* link, iServer* server) {
  TESSEL_ASSERT_WORKER();
  if (!m_bEnabled || link == nullptr) return;
  stPeer& peer = m_peers[link];
  peer.server = server;
  peer.guest = false;
  peer.mayCarry = ClaimRefusal(bridge, link).empty();
  iAccount* account = server != nullptr ? bridge.LinkAccount(link) : nullptr;
  peer.shown = account != nullptr ? account->GetName() : link->GetName();
  peer.helloAwaited = peer.mayCarry;
  peer.helloDueMs = platform::TimeGetTime() + kGreetingWaitMs;
  SendKind(link, stMsg_Origin::kHello, 0, 0, peer.mayCarry ? kClaim : "");
}

void cOriginDesk::Forget(iSend* link) {
  TESSEL_ASSERT_WORKER();
  if (link == nullptr || m_peers.erase(link) == 0) return;
  std::erase_if(m_asked, [link](const auto& asked) { return asked.second.downstream == link; });
  std::vector<stLinkToken> waiting;
  for (auto it = m_owed.begin(); it != m_owed.end();) {
    if (it->second.downstream != link) {
      ++it;
      continue;
    }
    waiting.push_back(it->second.requester);
    EraseOwed(it);
  }
  for (const stLinkToken& requester : waiting) Release(requester);
}

void cOriginDesk::AwaitLogin(iSend* link, bool awaiting) {
  TESSEL_ASSERT_WORKER();
  if (!m_bEnabled || link == nullptr) return;
  if (awaiting) {
    m_peers[link].loginAwaited = true;
    return;
  }
  auto it = m_peers.find(link);
  if (it != m_peers.end()) it->second.loginAwaited = false;
}

void cOriginDesk::AwaitGuest(iSend* link, iServer* server) {
  TESSEL_ASSERT_WORKER();
  if (!m_bEnabled || link == nullptr) return;
  stPeer& peer = m_peers[link];
  peer.server = server;
  peer.guest = true;
}

// Any text of the login group whose code names Login may log the link in anew (a logged-in link
// runs the group's Lua, so the call need not stand alone). Login named only inside a string or a
// comment (Note('Login')) calls nothing: it would refuse every later command toward the link
// until it reconnects.
void cOriginDesk::Sent(iSend* link, int group, const char* text) {
  if (m_bEnabled && group == cBridgeClient::kLoginGroup &&
      dynamic_cast<iClient*>(link) != nullptr && NamesLogin(text != nullptr ? text : ""))
    AwaitLogin(link, true);
}

HandleChatExceptionEnum cOriginDesk::Receive(cBridge& bridge, const stBindMsg& msg) {
  TESSEL_ASSERT_WORKER();
  const stMsg_Origin* record = nullptr;
  std::string_view body;
  uint32_t hops = 0;
  iSend* link = msg.send;
  if (link == nullptr || !stMsg_Origin::Read(msg, record, body, hops))
    return ChatException_ParamWrong;
  if (bridge.IsStranger(msg)) return ChatException_NotLogin;
  if (!m_bEnabled) return ChatException_OK;
  stPeer& peer = m_peers[link];
  switch (record->kind) {
    case stMsg_Origin::kHello:
      // A client answers its server's greeting once per connection.
      if (!peer.reads && dynamic_cast<cBridgeServer*>(&bridge) == nullptr)
        SendKind(link, stMsg_Origin::kHello, 0, 0, {});
      peer.reads = true;
      if (peer.server == nullptr) peer.mayCarry = body == kClaim;
      return ChatException_OK;
    case stMsg_Origin::kOrigin:
      ReceiveOrigin(bridge, link, peer, record->cmdHash, record->answerId, body);
      peer.origin.hops = hops;
      return ChatException_OK;
    case stMsg_Origin::kAnswer:
      peer.answerTo = record->answerId;
      return ChatException_OK;
    case stMsg_Origin::kAnswered: {
      auto it = m_owed.find(record->answerId);
      if (it == m_owed.end() || it->second.downstream != link) return ChatException_OK;
      const stLinkToken requester = it->second.requester;
      EraseOwed(it);
      Release(requester);
      return ChatException_OK;
    }
    default:
      return ChatException_ParamWrong;
  }
}

HandleChatExceptionEnum cOriginDesk::ReceiveOrigin(cBridge& bridge, iSend* link, stPeer& peer,
                                                   uint32_t hash, uint32_t answerId,
                                                   std::string_view body) {
  peer.pending = true;
  peer.cmdHash = hash;
  peer.origin = stCarriedOrigin{};
  peer.origin.present = true;
  peer.origin.answerId = answerId;
  peer.origin.refusal = ClaimRefusal(bridge, link);
  if (!peer.origin.refusal.empty()) return ChatException_OK;
  auto rights = std::make_shared<stCmdRights>();
  std::string error;
  if (!CmdRightsFromText(body, *rights, error)) {
    peer.origin.refusal =
        "refused: the origin sent with the command cannot be read (" + error + ")";
    return ChatException_OK;
  }
  peer.origin.rights = std::move(rights);
  return ChatException_OK;
}

// A server trusts the origins its logged-in process accounts claim (under mutual TLS only when
// the certificate names the account); a client trusts its server.
std::string cOriginDesk::ClaimRefusal(cBridge& bridge, iSend* link) {
  if (dynamic_cast<cBridgeServer*>(&bridge) == nullptr) return {};
  auto* account = dynamic_cast<cAccountHelp*>(bridge.LinkAccount(link));
  if (account == nullptr || !account->IsLogin())
    return "refused: a link without an account may not claim an origin";
  const std::string name = account->GetName();
  if (!account->IsProcess())
    return "refused: " + name + " may not claim an origin (not a process account)";
  if (!Net_GetPeerCertSha256(link).empty() && !Net_PeerCertNames(link, name.c_str()))
    return "refused: " + name + " may not claim an origin (its certificate does not name it)";
  return {};
}

stCarriedOrigin cOriginDesk::TakeOrigin(iSend* link, int group, std::string_view text) {
  TESSEL_ASSERT_WORKER();
  auto it = m_peers.find(link);
  if (it == m_peers.end() || !it->second.pending) return {};
  stPeer& peer = it->second;
  peer.pending = false;
  // An origin goes with exactly the command sent after it.
  if (peer.cmdHash != CmdHash(group, text)) return {};
  return std::move(peer.origin);
}

uint32_t cOriginDesk::TakeAnswerTo(iSend* link, CmdRightsPtr& asker) {
  TESSEL_ASSERT_WORKER();
  asker = nullptr;
  auto it = m_peers.find(link);
  if (it == m_peers.end()) return 0;
  const uint32_t id = it->second.answerTo;
  it->second.answerTo = 0;
  auto asked = id != 0 ? m_asked.find(id) : m_asked.end();
  if (asked != m_asked.end() && asked->second.downstream == link) asker = asked->second.rights;
  // Only the peer a command went to answers it.
  auto owed = m_owed.find(id);
  return owed != m_owed.end() && owed->second.downstream == link ? id : 0;
}

bool cOriginDesk::BeforeSend(iSend* link, int group, const char* text) {
  TESSEL_ASSERT_WORKER();
  if (!m_bEnabled || link == nullptr) return true;
  auto it = m_peers.find(link);
  if (it != m_peers.end() && RefusedBeforeLogin(link, it->second, group, text)) return false;
  if (it == m_peers.end() || !it->second.reads) {
    // A peer that reads no origins runs the command as coming from this process's account.
    if (!m_bAnswering && !AnswersRequester(link) && cCmdRightsScope::Current()) NoteUncarried(link);
    return true;
  }
  if (m_bAnswering) {
    if (link != m_pServing || m_nServing == 0) return true;
    return SendKind(link, stMsg_Origin::kAnswer, m_nServing, 0, {});
  }
  bool handled = false;
  const bool sent = RelayAnswer(link, handled);
  if (handled) return sent;
  const CmdRightsPtr& rights = cCmdRightsScope::Current();
  if (!rights) return true;
  if (!it->second.mayCarry) {
    NoteUncarried(link);
    return true;
  }
  const std::string carried = CmdRightsText(*rights);
  // The hop count, when there is one, takes its bytes behind the text.
  const uint32_t hops = cSendHopsScope::Current();
  const size_t room = stMsg_Origin::kTextCapacity - 1 - (hops != 0 ? stMsg_Origin::kHopBytes : 0);
  if (carried.size() > room) {
    // The command never goes without its origin: the requester hears that it did not go.
    const std::string to = it->second.shown.empty() ? link->GetName() : it->second.shown;
    get_gout() << "not sent to " << EscapeControls(to) << ": the rights of "
               << EscapeControls(rights->account) << " take " << carried.size()
               << " bytes, more than an origin record carries (" << room << ")\n";
    return false;
  }
  if (hops > stMsg_Origin::kMaxHops) {
    DropHops(it->second.shown.empty() ? link->GetName() : it->second.shown);
    return false;
  }
  const uint32_t answer = Owe(link, rights);
  return SendKind(link, stMsg_Origin::kOrigin, answer, CmdHash(group, text != nullptr ? text : ""),
                  carried, hops);
}

// Until the upstream answers this process's login it has not said whether it reads origins, and
// it holds what comes behind the login to run it once answered, with the full rights of this
// process's account: a command that would carry an origin does not go. The login calls, answers
// and the process's own commands go as before.
bool cOriginDesk::RefusedBeforeLogin(iSend* link, const stPeer& peer, int group,
                                     const char* text) const {
  if ((!peer.loginAwaited && !peer.guest && !AwaitsHello(peer)) || peer.reads || m_bAnswering ||
      !cCmdRightsScope::Current() || AnswersRequester(link))
    return false;
  // A guest's own command may answer it: it runs no more than what the guest sent.
  if (peer.guest) return get_gout().GetLink() != link && RefuseGuest(link);
  if (group == cBridgeClient::kLoginGroup && IsPeerLoginCall(text)) return false;
  const std::string to = EscapeControls(peer.shown.empty() ? link->GetName() : peer.shown);
  if (peer.loginAwaited)
    get_gout() << "not sent to " << to << ": the login to " << to << " is not answered yet\n";
  else
    get_gout() << "not sent to " << to << ": it has not said yet whether it reads origins\n";
  return true;
}

bool cOriginDesk::RefuseGuest(iSend* link) {
  get_gout() << "not sent to link " << link->GetID() << " of " << EscapeControls(link->GetName())
             << ": it has not logged in yet\n";
  return true;
}

// A downstream process learns from the greeting that its server sends origins, and runs what
// comes without one with its own full rights: until it answered, it gets no command that would
// carry one. One that never answers within the bound reads none, and gets them as before.
bool cOriginDesk::AwaitsHello(const stPeer& peer) {
  return peer.helloAwaited && !peer.reads && !Passed(peer.helloDueMs, platform::TimeGetTime());
}

// A text sending itself round between processes, each leg a command carried on with an origin:
// the requester and the console hear that it ends here.
void cOriginDesk::DropHops(const std::string& to) {
  const std::string line = "not sent to " + EscapeControls(to) + ": path longer than " +
                           std::to_string(stMsg_Origin::kMaxHops) + " hops, dropped.";
  get_gout() << line << "\n";
  if (!get_gout().IsLocalCmd()) cConsoleBound::Notice(line);
}

// An answer passing through on its way to the requester of the command it answers (a route's
// answer relayed back) carries no origin, and the requester's tag when it asked for one.
bool cOriginDesk::RelayAnswer(iSend* link, bool& handled) {
  if (!AnswersRequester(link)) return true;
  auto it = m_owed.find(m_nAnswersTo);
  handled = true;
  const uint32_t tag = it->second.requesterAnswer;
  return tag == 0 || SendKind(link, stMsg_Origin::kAnswer, tag, 0, {});
}

// Whether a text sent to `link` now is an answer relayed to the requester it is owed to.
bool cOriginDesk::AnswersRequester(iSend* link) const {
  auto it = m_nAnswersTo != 0 ? m_owed.find(m_nAnswersTo) : m_owed.end();
  return it != m_owed.end() && RequesterLink(it->second.requester) == link;
}

// The command being sent to `link` goes without the served command's origin: its line says so.
void cOriginDesk::NoteUncarried(iSend* link) const {
  auto it = m_peers.find(link);
  cAuditScope::NoteUncarried(it != m_peers.end() && !it->second.shown.empty() ? it->second.shown
                                                                              : link->GetName());
}

// Every link that is up gets the command, as the server's own send to all gives it, but a guest
// not logged in (BeforeSend says so), and the server's trace line is its only one.
int cOriginDesk::SendToAll(iServer* server, int group, const char* text, const stMsg* record,
                           unsigned long size) {
  TESSEL_ASSERT_WORKER();
  if (!m_bEnabled || !cCmdRightsScope::Current()) return -1;
  bool anyReads = false;
  for (const auto& [link, peer] : m_peers)
    anyReads |= peer.server == server && (peer.reads || peer.guest || AwaitsHello(peer));
  if (!anyReads) {
    for (const auto& [link, peer] : m_peers)
      if (peer.server == server) NoteUncarried(link);
    return -1;
  }
  int sent = 0;
  for (iSend* link : UpLinks(server))
    if (BeforeSend(link, group, text) && link->Send(record, size) != 0) ++sent;
  return sent;
}

bool cOriginDesk::SendKind(iSend* link, uint32_t kind, uint32_t answerId, uint32_t hash,
                           std::string_view body, uint32_t hops) {
  static stMsg_Origin record;
  if (!record.Set(static_cast<stMsg_Origin::eKind>(kind), answerId, hash, body, hops)) return false;
  return link->Send(&record, record.Size()) != 0;
}

// Every command sent with rights gets an answer id, so that its answers come back tagged and
// run here within those rights, whoever waits for them (code left to run later, the console
// too). Answers of a command sent on the served requester's behalf are awaited as well; the
// console has them printed where they arrive.
uint32_t cOriginDesk::Owe(iSend* downstream, const CmdRightsPtr& rights) {
  if (++m_nNextAnswer == 0) ++m_nNextAnswer;
  KeepAsked(m_nNextAnswer, downstream, rights);
  const stLinkToken requester = ServingToken();
  if (requester.local || m_owed.size() >= kMaxOwed) return m_nNextAnswer;
  ++m_owedPer[LinkKey(requester)];
  stOwed& owed = m_owed[m_nNextAnswer];
  owed.requester = requester;
  owed.requesterAnswer = get_gout().GetLink() == m_pServing ? m_nServing : 0;
  owed.downstream = downstream;
  owed.deadlineMs = platform::TimeGetTime() + kAnswerWaitMs;
  return m_nNextAnswer;
}

void cOriginDesk::KeepAsked(uint32_t id, iSend* downstream, const CmdRightsPtr& rights) {
  while (m_askedOrder.size() >= kMaxAsked) {
    m_asked.erase(m_askedOrder.front());
    m_askedOrder.pop_front();
  }
  m_asked[id] = stAsked{downstream, rights};
  m_askedOrder.push_back(id);
}

iSend* cOriginDesk::RequesterLink(const stLinkToken& requester, cBridge** bridge) {
  cBridge* found = requester.local ? nullptr : FindTokenBridge(requester);
  if (bridge != nullptr) *bridge = found;
  return found != nullptr ? FindTokenLink(*found, requester) : nullptr;
}

std::string cOriginDesk::LinkKey(const stLinkToken& token) {
  return std::to_string(token.serverSide) + "/" + token.bridgeName + "/" +
         std::to_string(token.linkId) + "/" + std::to_string(token.serial);
}

bool cOriginDesk::Owes(const stLinkToken& requester) const {
  return !requester.local && m_owedPer.count(LinkKey(requester)) != 0;
}

void cOriginDesk::EraseOwed(std::unordered_map<uint32_t, stOwed>::iterator& it) {
  auto per = m_owedPer.find(LinkKey(it->second.requester));
  if (per != m_owedPer.end() && --per->second == 0) m_owedPer.erase(per);
  it = m_owed.erase(it);
}

// Nothing is owed to the requester any more: what waited for that goes, in its order.
void cOriginDesk::Release(const stLinkToken& requester) {
  if (Owes(requester)) return;
  const std::string key = LinkKey(requester);
  std::vector<stHeld> due;
  for (auto it = m_held.begin(); it != m_held.end();) {
    if (LinkKey(it->requester) != key) {
      ++it;
      continue;
    }
    due.push_back(std::move(*it));
    it = m_held.erase(it);
  }
  if (m_held.size() < kMaxHeld) m_bHeldFullSaid = false;
  for (const stHeld& held : due) {
    if (held.answered != 0) {
      SendAnswered(held.requester, held.answered);
      continue;
    }
    Deliver(held.requester, held.requesterAnswer,
            [&held] { get_gout().SendBackCmd(held.group, held.text.c_str()); });
  }
}

void cOriginDesk::Deliver(const stLinkToken& requester, uint32_t answer,
                          const std::function<void()>& body) {
  cBridge* bridge = nullptr;
  iSend* link = RequesterLink(requester, &bridge);
  if (link == nullptr) return;
  const cServing serving(link, answer);
  ServeAgain(requester, bridge, body);
}

void cOriginDesk::EndServing(const stLinkToken& requester, uint32_t answerId) {
  TESSEL_ASSERT_WORKER();
  if (answerId == 0) return;
  auto deferred = m_deferred.find(LinkKey(requester) + "#" + std::to_string(answerId));
  if (deferred != m_deferred.end()) {
    deferred->second.ended = true;
    return;
  }
  if (Owes(requester) && m_held.size() < kMaxHeld) {
    m_held.push_back(stHeld{requester, 0, 0, {}, answerId});
    return;
  }
  SendAnswered(requester, answerId);
}

uint32_t cOriginDesk::DeferAnswer() {
  TESSEL_ASSERT_WORKER();
  if (!m_bEnabled || m_nServing == 0 || m_pServing == nullptr) return 0;
  const stLinkToken requester = ServingToken();
  if (requester.local || RequesterLink(requester) != m_pServing) return 0;
  ++m_deferred[LinkKey(requester) + "#" + std::to_string(m_nServing)].pending;
  return m_nServing;
}

bool cOriginDesk::AnswerLater(const stLinkToken& requester, uint32_t answerId,
                              const std::function<void()>& body) {
  TESSEL_ASSERT_WORKER();
  bool answered = false;
  {
    // Tagged as the answer it is, as if the command were being served again.
    const cServing serving(answerId != 0 ? RequesterLink(requester) : nullptr, answerId);
    answered = ServeAgain(requester, nullptr, body);
  }
  auto deferred = m_deferred.find(LinkKey(requester) + "#" + std::to_string(answerId));
  if (answerId == 0 || deferred == m_deferred.end() || --deferred->second.pending > 0)
    return answered;
  const bool ended = deferred->second.ended;
  m_deferred.erase(deferred);
  if (ended) EndServing(requester, answerId);
  return answered;
}

void cOriginDesk::SendAnswered(const stLinkToken& requester, uint32_t answerId) {
  if (iSend* link = RequesterLink(requester))
    SendKind(link, stMsg_Origin::kAnswered, answerId, 0, {});
}

void cOriginDesk::Forward(uint32_t answerId, std::string_view text) {
  TESSEL_ASSERT_WORKER();
  auto it = m_owed.find(answerId);
  if (it == m_owed.end()) return;
  stLiteralCall call;
  if (!ParseLiteralCall(text, call)) return;
  // A route's answer that ends here holds the Output as its text; one that goes on travels to
  // the requester along its route.
  if (call.name == "SendPathCmd" && call.args.size() >= 5) {
    const stLiteral& dest = call.args[call.args.size() - 4];
    const stLiteral& inner = call.args.back();
    if (dest.isNumber || inner.isNumber || GetHost().IsAccount(dest.text.c_str()) == 0) return;
    const std::string wrapped = inner.text;
    if (!ParseLiteralCall(wrapped, call)) return;
  }
  if (call.name != "Output" || call.args.size() != 1 || call.args[0].isNumber) return;
  const stOwed owed = it->second;
  Deliver(owed.requester, owed.requesterAnswer, [&call] { get_gout() << call.args[0].text; });
}

bool cOriginDesk::HoldUntilAnswered(int group, const std::string& text) {
  TESSEL_ASSERT_WORKER();
  const stLinkToken requester = ServingToken();
  if (requester.local || !Owes(requester)) return false;
  if (m_held.size() >= kMaxHeld) {
    // Said once while the list stays full: a loop of marks gets one line, not one per mark.
    if (!m_bHeldFullSaid)
      get_gout() << text << " answered before the answers it waits for: " << kMaxHeld
                 << " marks and notices wait already\n";
    m_bHeldFullSaid = true;
    return false;
  }
  const uint32_t answer = get_gout().GetLink() == m_pServing ? m_nServing : 0;
  m_held.push_back(stHeld{requester, answer, group, text, 0});
  return true;
}

void cOriginDesk::Expire(uint32_t nowMs) {
  TESSEL_ASSERT_WORKER();
  if (m_owed.empty()) return;
  std::vector<stLinkToken> waiting;
  for (auto it = m_owed.begin(); it != m_owed.end();) {
    if (!Passed(it->second.deadlineMs, nowMs)) {
      ++it;
      continue;
    }
    waiting.push_back(it->second.requester);
    EraseOwed(it);
  }
  for (const stLinkToken& requester : waiting) Release(requester);
}

stLinkToken cOriginDesk::TokenOf(cBridge& bridge, iSend* link, int group) {
  stLinkToken token;
  if (link == nullptr) return token;
  token.local = false;
  token.serverSide = dynamic_cast<cBridgeServer*>(&bridge) != nullptr;
  token.bridgeName = bridge.GetNameStr();
  token.linkId = link->GetID();
  token.serial = LinkSerial(bridge, link);
  token.level = group;
  return token;
}

cOriginDesk::cAnswering::cAnswering() : m_bFormer(Instance().m_bAnswering) {
  Instance().m_bAnswering = true;
}

cOriginDesk::cAnswering::~cAnswering() {
  Instance().m_bAnswering = m_bFormer;
}

cOriginDesk::cServing::cServing(iSend* link, uint32_t answerId, uint32_t answersTo,
                                uint32_t sendHops)
    : m_pLink(Instance().m_pServing),
      m_nAnswer(Instance().m_nServing),
      m_nAnswersTo(Instance().m_nAnswersTo),
      m_hops(sendHops) {
  Instance().m_pServing = link;
  Instance().m_nServing = answerId;
  Instance().m_nAnswersTo = answersTo;
}

cOriginDesk::cServing::~cServing() {
  Instance().m_pServing = m_pLink;
  Instance().m_nServing = m_nAnswer;
  Instance().m_nAnswersTo = m_nAnswersTo;
}
