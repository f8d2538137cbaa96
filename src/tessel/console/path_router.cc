#include "tessel/console/path_router.h"

#include <iostream>
#include <utility>

#include "platform/console_color.h"
#include "platform/text_clean.h"
#include "tessel/console/remote_path.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/audit_scope.h"
#include "tessel/core/cmd.h"
#include "tessel/core/console_bound.h"
#include "tessel/core/host.h"
#include "tessel/core/literal_call.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_help.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/cmd_handler.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/chat_exception.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const char* const kSendLabel = "func_LuaSendPathCmd ";
const char* const kFindLabel = "func_LuaFindPathOnRoute ";
const char* const kFoundLabel = "func_FindedPathOnRoute ";
const char* const kRemoteLabel = "func_SendRemoteCmdParam ";

// Open cTellDrops scopes (worker thread).
int g_tellDrops = 0;
// The hop count a call sent from here starts with: while a routed call runs here, its own count
// and one, so that a routed text that sends itself on again (two processes sending it to each
// other) ends at the hop limit as a call going round a circle of links does. Worker thread.
int g_startHops = 0;

// The lines name processes and routes that peers told of: their controls are escaped. Inside a
// cTellDrops scope a command served for a link gets the line as well.
void Red(const std::string& line) {
  {
    platform::ColorSection red(platform::kColorLightRed);
    cConsoleBound::Notice(EscapeControls(line));
  }
  if (g_tellDrops > 0 && !get_gout().IsLocalCmd()) get_gout() << EscapeControls(line) << "\n";
}

std::string OwnName() {
  return GetHost().GetAccount();
}

bool IsOwn(const std::string& name) {
  return GetHost().IsAccount(name.c_str()) != 0;
}

bool IsUp(iSend* link) {
  return link != nullptr && link->IsConnect() != 0;
}

// The network client of the default route; null with a message when there is none.
iSend* DefaultRouteLink(const char* label) {
  cBridgeClient* route = GetHost().GetDefaultRoute();
  if (route == nullptr) {
    if (label != nullptr) Red(std::string(label) + " msg wrong, I have no default route.");
    return nullptr;
  }
  iSend* net = route->GetNetClient();
  if (net == nullptr && label != nullptr) Red(std::string(label) + " route net wrong ");
  return net;
}

// The name of the process the call being served came from: the account logged in on a
// server's link, or the peer a client link leads to.
std::string SenderName() {
  if (iAccount* account = ServingAccount()) return account->GetName();
  if (cBridgeClient* client = get_gout().GetBridgeAs<cBridgeClient>()) return client->GetName();
  return std::string();
}

// The names of a route as its audit lines show them: "a>b>c".
std::string RouteShown(const stPathCall& call) {
  std::string shown;
  for (const std::string& name : call.names) shown += (shown.empty() ? "" : ">") + name;
  return shown;
}

// The call for the next hop it names: written anew with the hop count one higher. A call the
// hop mark or another quoting would make longer than the largest command record (one a peer
// sent at that size) goes on as it came; that ends too, as the next hop takes it from a later
// name of the route.
std::string NamedHopCall(const stPathCall& call, int hops) {
  std::string out = MakePathCall(call, hops + 1);
  const char* came = cCmd::s_szCmd;
  stLiteralCall read;
  if (out.size() <= stMsg_Cmd::kMaxTextLength || came == nullptr || !ParseLiteralCall(came, read) ||
      read.name != "SendPathCmd" || read.args.size() != call.names.size() + 3 ||
      read.args.back().text != call.text)
    return out;
  return came;
}

std::string HopLimitLine(const char* label) {
  return std::string(label) + " path longer than " + std::to_string(kMaxRouteHops) +
         " hops, dropped.";
}

// The link to the process named just before position `own` of the call; null when this process
// has none that is up.
iSend* LinkToNamedBefore(const stPathCall& call, size_t own) {
  if (own == 0) return nullptr;
  int found = 0;
  iSend* link = GetHost().FindLinkProgram(call.names[own - 1].c_str(), found);
  return IsUp(link) ? link : nullptr;
}

// Sends `text` to the route group over `link` (towards `to`). When it does not go: the line that
// says why, or nothing when the send point wrote its refusal (an origin the link may not get
// yet) to the served command's answer already. Other causes: a text the names or the hop mark
// added here made longer than a command record, a link that took no record.
std::string SendOrWhy(iSend* link, const std::string& to, const std::string& text) {
  ostreamCmd& out = get_gout();
  const size_t said = out.CollectedBytes();
  if (SendCmd(link, kRouteGroup, text) != 0 || out.CollectedBytes() != said) return {};
  if (text.size() > stMsg_Cmd::kMaxTextLength)
    return "not sent to " + to + ": the call takes " + std::to_string(text.size()) +
           " bytes, more than a command record carries (" +
           std::to_string(stMsg_Cmd::kMaxTextLength) + ")";
  return "not sent to " + to + ": link " + link->GetName() + " took no record";
}

}  // namespace

bool cPathRouter::HopsLeft(size_t names, int hops, const char* label) {
  if (hops < kMaxRouteHops && names <= static_cast<size_t>(kMaxRouteHops) + 1) return true;
  Red(HopLimitLine(label));
  return false;
}

// Own position: the last naming of this process, the origin's place not counted; 0 when none.
size_t cPathRouter::OwnPosition(const stPathCall& call) {
  for (size_t i = call.names.size() - 1; i >= 1; --i)
    if (IsOwn(call.names[i])) return i;
  return 0;
}

void cPathRouter::SendPathCmd(const stPathCall& call, int hops) {
  TESSEL_ASSERT_WORKER();
  const size_t count = call.names.size();
  if (count < 2) return;
  if (!HopsLeft(count, hops, kSendLabel)) {
    // A call that went round a circle of links ends here. It came over the circle, so its
    // origin hears of it over the link to the process named before this one.
    const size_t own = OwnPosition(call);
    TellOrigin(call, own, HopLimitLine(kSendLabel), LinkToNamedBefore(call, own));
    return;
  }
  const bool local = get_gout().IsLocalCmd();
  const size_t own = OwnPosition(call);
  if (own == count - 1) {
    if (local) {
      Red(std::string(kSendLabel) + "error! can not solve local cmd!");
      return;
    }
    RunAtDestination(call, hops);
    return;
  }
  if (own != 0 && PassToNamed(call, own, hops)) return;
  // A process named twice, or a call that came back over a link to its origin, goes round.
  bool loop = own == 0 && !local && IsOwn(call.names[0]);
  for (size_t i = 0; i < own && !loop; ++i) loop = IsOwn(call.names[i]);
  if (loop) {
    Red(std::string(kSendLabel) + " path 形成了死循环.");
    return;
  }
  SendUp(call, own, hops, local);
}

cPathRouter::cTellDrops::cTellDrops() {
  TESSEL_ASSERT_WORKER();
  ++g_tellDrops;
}

cPathRouter::cTellDrops::~cTellDrops() {
  --g_tellDrops;
}

// Sends the call on to the process named behind this one when this process links to it; true
// when the call was sent or dropped here.
bool cPathRouter::PassToNamed(const stPathCall& call, size_t own, int hops) {
  const std::string& next = call.names[own + 1];
  int found = 0;
  iSend* link = GetHost().FindLinkProgram(next.c_str(), found);
  if (found != 0 && !IsUp(link)) {
    Dropped(call, own, std::string(kSendLabel) + " next link " + next + " break from net. ");
    return true;
  }
  if (link == nullptr) return false;
  SendOn(call, own, link, next, NamedHopCall(call, hops));
  return true;
}

// Sends a relayed call over `link` towards `next`. One that does not go is said to the console
// and to the origin.
void cPathRouter::SendOn(const stPathCall& call, size_t own, iSend* link, const std::string& next,
                         const std::string& text) {
  const std::string line = SendOrWhy(link, next, text);
  if (!line.empty()) NotSent(call, own, line);
}

// The origin of a call that did not go on hears it as the answer of the record served here when
// the record came from the origin itself (or from a process not named on the call), or with an
// answer id (the process before passes the answer on to its requester); else along the names.
void cPathRouter::NotSent(const stPathCall& call, size_t own, const std::string& line) {
  const stCmdContext* served = CurrentCmd();
  if (own >= 2 && (served == nullptr || served->answerId == 0)) {
    Dropped(call, own, line);
    return;
  }
  Red(line);
  if (g_tellDrops == 0 && !get_gout().IsLocalCmd()) get_gout() << EscapeControls(line) << "\n";
}

// A call dropped on its way: the line goes to this console and, along the names the call came
// by, back to its origin as an answer, which would otherwise take the call for sent.
void cPathRouter::Dropped(const stPathCall& call, size_t own, const std::string& line) {
  Red(line);
  TellOrigin(call, own, line, get_gout().GetLink());
}

// Sends `line` as an answer to the origin of a call dropped at position `own`, over `link` and
// along the names before it. An answer dropped on its way back gets none.
void cPathRouter::TellOrigin(const stPathCall& call, size_t own, const std::string& line,
                             iSend* link) {
  ostreamCmd& out = get_gout();
  iBridge* bridge = out.GetBridge();
  if (bridge == nullptr || link == nullptr || own == 0 || call.text.starts_with("Output(")) return;
  stPathCall back = call;
  back.names.resize(own + 1);
  const std::string formerPath = GetReturnPath();
  SetReturnPath(MakeReturnPath(back));
  for (const std::string& cmd : MakeOutputCmds(EscapeControls(line) + "\n"))
    bridge->SendBackCmd(link, static_cast<unsigned>(call.group), cmd.c_str());
  SetReturnPath(formerPath);
}

// Sends the call up the default route: unchanged when typed here or when this process is named
// on it; otherwise this process joins the route behind the process the call came from.
void cPathRouter::SendUp(const stPathCall& call, size_t own, int hops, bool local) {
  iSend* up = DefaultRouteLink(kSendLabel);
  if (up == nullptr) return;
  if (!IsUp(up)) {
    Dropped(call, own,
            std::string(kSendLabel) + " next link " + up->GetName() + " break from net. ");
    return;
  }
  if (local || own != 0) {
    SendOn(call, own, up, up->GetName(), MakePathCall(call, local ? hops : hops + 1));
    return;
  }
  const std::string sender = SenderName();
  size_t at = call.names.size() - 1;
  while (at > 0 && call.names[at - 1] != sender) --at;
  if (sender.empty() || at == 0) {
    Red(std::string(kSendLabel) + " can not find the prev account in the cmd");
    return;
  }
  stPathCall joined = call;
  joined.names.insert(joined.names.begin() + static_cast<std::ptrdiff_t>(at), OwnName());
  SendOn(call, own, up, up->GetName(), MakePathCall(joined, hops + 1));
}

// Runs the call's text as if it had come over the link the call came over, with the way back
// as the return path; what it writes goes back to the origin along that path.
void cPathRouter::RunAtDestination(const stPathCall& call, int hops) {
  const int formerStartHops = std::exchange(g_startHops, hops + 1);
  ostreamCmd& out = get_gout();
  iBridge* bridge = out.GetBridge();
  iSend* link = out.GetLink();
  const std::string formerPath = GetReturnPath();
  const std::string formerOutput = out.TakeCollected();
  SetReturnPath(MakeReturnPath(call));
  ostreamCmd::s_strParam = call.param;

  const auto group = static_cast<unsigned>(call.group);
  HandleChatExceptionEnum result;
  {
    const cAuditScope routed(
        cAuditScope::stWho(eAuditSource::Routed, "", "", "", RouteShown(call)));
    result = bridge->RunCmdBridge(link, group, call.text.c_str());
  }
  if (result != ChatException_OK) Red("Handled Exception " + ChatExceptionText(result));
  // Paced as the requester's link reads it: all at once, a long answer passed the link's send
  // bound and cut the link.
  out.SendBackOutput(static_cast<int>(group), out.TakeCollected());

  SetReturnPath(formerPath);
  if (!formerOutput.empty()) out.Stream() << formerOutput;
  g_startHops = formerStartHops;
}

void cPathRouter::FindPathOnRoute(const std::vector<std::string>& names, int hops) {
  TESSEL_ASSERT_WORKER();
  if (names.empty() || !HopsLeft(names.size(), hops, kFindLabel)) return;
  if (names.size() == 1) {
    cTellDrops tell;
    ::FindPathOnRoute(names.front().c_str());
    return;
  }
  if (get_gout().IsLocalCmd()) {
    iSend* up = DefaultRouteLink(kFindLabel);
    const std::string line =
        up != nullptr ? SendOrWhy(up, up->GetName(), MakeFindCall(names, 0)) : "";
    if (!line.empty()) Red(line);
    return;
  }
  const std::string& dest = names.back();
  if (IsOwn(dest)) {
    Reached(names);
    return;
  }
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    if (!IsOwn(names[i])) continue;
    Red(std::string(kFindLabel) + " path 形成了死循环.");
    // The search came round to this process: the origin hears that it ends here, along the
    // names before this process's first naming.
    if (i > 0) {
      int found = 0;
      NotFound(names, i, GetHost().FindLinkProgram(names[i - 1].c_str(), found));
    }
    return;
  }
  iSend* next = GetHost().FindServerAccount(dest.c_str());
  if (next == nullptr) next = DefaultRouteLink(nullptr);
  if (IsUp(next)) {
    std::vector<std::string> relayed = names;
    relayed.insert(relayed.end() - 1, OwnName());
    const std::string line = SendOrWhy(next, next->GetName(), MakeFindCall(relayed, hops + 1));
    if (line.empty()) return;
    Red(line);
  }
  // Nowhere to go (or the default route is down, or the search did not go on, which would lose
  // it without a word): tell the origin along the names the search came by.
  NotFound(names, names.size() - 1, get_gout().GetLink());
}

// Answers the origin that the search for the last of `names` ends here: along the first `count`
// names of the search, back to the origin, over `link` (towards the last of them).
void cPathRouter::NotFound(const std::vector<std::string>& names, size_t count, iSend* link) {
  stPathCall answer;
  answer.names.push_back(OwnName());
  answer.names.insert(answer.names.end(), names.rend() - static_cast<std::ptrdiff_t>(count),
                      names.rend());
  answer.group = kRouteGroup;
  answer.text = "FindedPathOnRoute(" + RouteQuote(names.back()) + ",0)";
  SendCmd(link, kRouteGroup, MakePathCall(answer, 0));
}

// A route a peer told of is kept only when its first hop is `link`: names on a route are only
// claims, and a route kept for a destination takes every later command for it.
bool cPathRouter::BeginsAt(const std::string& route, iSend* link, const std::string& dest,
                           const char* label) {
  if (FirstHopLink(route, nullptr) == link) return true;
  Red(std::string(label) + "path to " + dest + " refused: it does not begin at the link to " +
      (link != nullptr ? link->GetName() : "nowhere") + " " + route);
  return false;
}

// This process is the destination of a search: it keeps the route back to the origin and
// answers along it. A route back to a process linked here must take that link.
void cPathRouter::Reached(const std::vector<std::string>& names) {
  const std::string& origin = names.front();
  const std::string route = MakeRouteTemplate({names.rbegin(), names.rend()});
  int linked = 0;
  iSend* direct = GetHost().FindLinkProgram(origin.c_str(), linked);
  if (linked != 0 && !BeginsAt(route, direct, origin, kFindLabel)) return;
  {
    platform::ColorSection yellow(platform::kColorYellow);
    std::cout << "path from " << EscapeControls(origin) << " befinded " << EscapeControls(route)
              << std::endl;
  }
  if (!cRemotePath::Instance().SetPath(origin, route, true)) return;
  const std::string answer = "FindedPathOnRoute(" + RouteQuote(names.back()) + ",1)";
  SendRemoteCmdParam(origin.c_str(), kRouteGroup, answer.c_str(), "");
  cRemotePath::Instance().TellFound(origin);
}

void cPathRouter::FindedPathOnRoute(const char* dest, int found) {
  TESSEL_ASSERT_WORKER();
  if (found == 0) {
    Red(std::string(kFoundLabel) + "path " + dest + " not found ");
    return;
  }
  const std::string route = GetReturnPath();
  // The answer comes back the way the search went: to a process logged in here, else up the
  // default route.
  iSend* searched = GetHost().FindServerAccount(dest);
  if (searched == nullptr) searched = DefaultRouteLink(nullptr);
  if (!BeginsAt(route, searched, dest, kFoundLabel)) return;
  {
    platform::ColorSection yellow(platform::kColorYellow);
    std::cout << kFoundLabel << "path to " << EscapeControls(dest) << " finded "
              << EscapeControls(route) << std::endl;
  }
  if (cRemotePath::Instance().SetPath(dest, route)) cRemotePath::Instance().TellFound(dest);
}

iSend* cPathRouter::FirstHopLink(const std::string& route, const char* label) {
  const std::vector<std::string> names = RouteNames(route);
  if (names.size() >= 2) {
    int found = 0;
    iSend* link = GetHost().FindLinkProgram(names[1].c_str(), found);
    if (IsUp(link)) return link;
    if (found != 0) {
      if (label != nullptr)
        Red(std::string(label) + " next link " + names[1] + " break from net. ");
      return nullptr;
    }
  }
  if (GetHost().GetDefaultRoute() == nullptr) {
    if (label != nullptr) Red(std::string(label) + " no default root");
    return nullptr;
  }
  return DefaultRouteLink(label);
}

void SendRemoteCmdParam(const char* dest, int group, const char* text, const char* param) {
  TESSEL_ASSERT_WORKER();
  const std::string route = cRemotePath::Instance().GetPath(dest);
  if (route.empty()) {
    Red(std::string(kRemoteLabel) + "not find path to des " + dest);
    FindPathOnRoute(dest);
    return;
  }
  if (g_startHops >= kMaxRouteHops) {
    Red(HopLimitLine(kRemoteLabel));
    return;
  }
  iSend* link = cPathRouter::FirstHopLink(route, kRemoteLabel);
  if (link == nullptr) return;
  const std::string call = WithHopMark(FillRoute(route, group, text, param), g_startHops);
  if (SendCmd(link, kRouteGroup, call) == 0)
    Red(std::string(kRemoteLabel) + "to " + dest + " not sent: link " + link->GetName() +
        " took no record");
}

void SendRemoteCmd(const char* dest, int group, const char* text) {
  TESSEL_ASSERT_WORKER();
  SendRemoteCmdParam(dest, group, text, "");
}

void FindPathOnRoute(const char* dest) {
  TESSEL_ASSERT_WORKER();
  iSend* next = GetHost().FindServerAccount(dest);
  if (next == nullptr) next = DefaultRouteLink(kFindLabel);
  if (next == nullptr) return;
  if (!IsUp(next)) {
    Red(std::string(kFindLabel) + " next link " + next->GetName() + " break from net. ");
    return;
  }
  const std::string line = SendOrWhy(next, next->GetName(), MakeFindCall({OwnName(), dest}, 0));
  if (!line.empty()) Red(line);
}

void FormatLinkIDDisconnect(std::string& out, unsigned int linkId, int disconnect) {
  out = std::to_string(linkId) + "_" + std::to_string(disconnect);
}
