#include "tessel/core/cmd_rights.h"

#include <lua.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <stdexcept>

#include "tessel/contracts/baselib.h"
#include "tessel/core/cmd_categories.h"
#include "tessel/core/denied_log.h"
#include "tessel/core/worker_thread.h"

namespace {

// The rights being served, the refusal met inside the outermost scope and whether its line was
// reported. Worker thread only.
CmdRightsPtr g_current;
// Whether g_current holds rights, for threads other than the one serving a command: a thread
// that writes to the console asks it while the worker sets and clears the scope.
std::atomic<bool> g_narrowed{false};
int g_depth = 0;
uint64_t g_outerSerial = 0;  // of the outermost scope, counted at each one
std::string g_refusal;
bool g_reported = false;

const struct {
  std::string_view name;
  eCmdRight right;
} kCategories[] = {{"read", eCmdRight::kRead},   {"write", eCmdRight::kWrite},
                   {"shell", eCmdRight::kShell}, {"files", eCmdRight::kFiles},
                   {"net", eCmdRight::kNet},     {"admin", eCmdRight::kAdmin}};

bool IsNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

// A group given by number or by a leading part of its word.
bool ParseGroup(std::string_view text, stRightItem& item, std::string& error) {
  if (IsNumber(text)) {
    item.level = std::stoi(std::string(text));
    if (cCmdFuncs::KnownLevel(item.level)) return true;
    error = "no group has the number " + std::string(text);
    return false;
  }
  if (!cCmdFuncs::KnownGroup(text)) {
    error = "no group's name starts with '" + std::string(text) + "'";
    return false;
  }
  item.word = text;
  return true;
}

bool ParseItem(std::string_view text, stRightItem& item, std::string& error) {
  using eKind = stRightItem::eKind;
  if (text.empty()) {
    error = "an empty item";
    return false;
  }
  if (text[0] == '@') {
    const std::string_view name = text.substr(1);
    if (name == "all") return item.kind = eKind::kAll, true;
    for (const auto& category : kCategories)
      if (category.name == name)
        return item.kind = eKind::kCategory, item.right = category.right, true;
    error = "unknown category '" + std::string(text) + "'";
    return false;
  }
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    item.kind = eKind::kGroup;
    return ParseGroup(text, item, error);
  }
  item.kind = eKind::kFunction;
  item.func = text.substr(colon + 1);
  if (!ParseGroup(text.substr(0, colon), item, error)) return false;
  if (!cCmdFuncs::KnownFunction(item.word, item.level, item.func)) {
    error = "no function '" + std::string(text) + "'";
    return false;
  }
  return true;
}

bool GroupMatches(const stRightItem& item, const cCmdFuncs& group) {
  if (item.level >= 0) return group.Level() == item.level;
  return StartsWith(group.Word(), item.word);
}

bool Matches(const stRightItem& item, const stCmdFunc& func) {
  using eKind = stRightItem::eKind;
  switch (item.kind) {
    case eKind::kAll:
      return true;
    case eKind::kCategory:
      return func.right == item.right;
    case eKind::kGroup:
      return func.group != nullptr && GroupMatches(item, *func.group);
    case eKind::kFunction:
      return func.group != nullptr && func.name == item.func && GroupMatches(item, *func.group);
  }
  return false;
}

bool AnyMatches(const std::vector<stRightItem>& items, const stCmdFunc& func) {
  for (const stRightItem& item : items)
    if (Matches(item, func)) return true;
  return false;
}

// Notes the refusal of `func` and makes its line the command's refusal.
void NoteRefusal(const stCmdRights& rights, const stCmdFunc& func) {
  g_refusal = RefusalLine(rights.account, func.name, func.right);
  cDeniedLog::Instance().Note(rights.account, rights.origin, func.name, CmdRightName(func.right));
  StopLuaCalls(g_refusal.c_str());
}

// Nothing with a destructor may live in a frame that raises a Lua error.
int RaiseRefusal(lua_State* L) {
  lua_pushlstring(L, g_refusal.data(), g_refusal.size());
  return lua_error(L);
}

}  // namespace

bool cRightRules::ParseItems(std::string_view text, std::vector<stRightItem>& items,
                             std::string& error) {
  items.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    stRightItem item;
    if (!ParseItem(text.substr(start, comma - start), item, error)) return false;
    items.push_back(std::move(item));
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

bool cRightRules::ParseTargets(std::string_view text, std::vector<std::string>& patterns,
                               std::string& error) {
  patterns.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string_view pattern = text.substr(start, comma - start);
    if (pattern.empty()) {
      error = "an empty target";
      return false;
    }
    patterns.emplace_back(pattern);
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

bool cRightRules::Allows(const stCmdFunc& func) const {
  if (m_bAllowList && !AnyMatches(m_allow, func)) return false;
  return !AnyMatches(m_deny, func);
}

bool cRightRules::MayReach(std::string_view process) const {
  if (m_targets.empty()) return true;
  for (const std::string& pattern : m_targets)
    if (MatchProcessPattern(pattern, process)) return true;
  return false;
}

bool stCmdRights::Allows(const stCmdFunc& func) const {
  // The login group stays open: a link can always log out.
  if (func.group != nullptr && IsLoginGroup(func.group->Word())) return true;
  for (const auto& set : rules)
    if (!set->Allows(func)) return false;
  return true;
}

void stCmdRights::AddRulesOf(const stCmdRights& other) {
  for (const auto& set : other.rules)
    if (std::find(rules.begin(), rules.end(), set) == rules.end()) rules.push_back(set);
}

bool stCmdRights::MayReach(std::string_view process) const {
  for (const auto& set : rules)
    if (!set->MayReach(process)) return false;
  return true;
}

bool MatchProcessPattern(std::string_view pattern, std::string_view name) {
  // Greedy match with backtracking to the last '*'.
  size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

namespace {

std::string ItemText(const stRightItem& item) {
  using eKind = stRightItem::eKind;
  const std::string group = item.level >= 0 ? std::to_string(item.level) : item.word;
  switch (item.kind) {
    case eKind::kAll:
      return "@all";
    case eKind::kCategory:
      for (const auto& category : kCategories)
        if (category.right == item.right) return "@" + std::string(category.name);
      return "@all";
    case eKind::kGroup:
      return group;
    case eKind::kFunction:
      return group + ":" + item.func;
  }
  return {};
}

std::string Joined(const std::vector<stRightItem>& items) {
  std::string text;
  for (const stRightItem& item : items) text += (text.empty() ? "" : ",") + ItemText(item);
  return text;
}

// One line of the text; false at its end.
bool NextLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t end = text.find('\n');
  line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return true;
}

// One rule set from its three lines.
bool RulesFromLines(std::string_view allow, std::string_view deny, std::string_view targets,
                    cRightRules& rules, std::string& error) {
  if (allow != "*") {
    if (allow.empty() || allow[0] != '+') return error = "bad allow line", false;
    rules.m_bAllowList = true;
    if (allow.size() > 1 && !cRightRules::ParseItems(allow.substr(1), rules.m_allow, error))
      return false;
  }
  if (deny.empty() || deny[0] != '-') return error = "bad deny line", false;
  if (deny.size() > 1 && !cRightRules::ParseItems(deny.substr(1), rules.m_deny, error))
    return false;
  if (targets.empty() || targets[0] != '@') return error = "bad targets line", false;
  return targets.size() == 1 ||
         cRightRules::ParseTargets(targets.substr(1), rules.m_targets, error);
}

}  // namespace

std::string CmdRightsText(const stCmdRights& rights) {
  std::string text = rights.account + "\n" + rights.origin + "\n";
  for (const auto& set : rights.rules) {
    text += set->m_bAllowList ? "+" + Joined(set->m_allow) + "\n" : "*\n";
    text += "-" + Joined(set->m_deny) + "\n";
    std::string targets;
    for (const std::string& pattern : set->m_targets)
      targets += (targets.empty() ? "" : ",") + pattern;
    text += "@" + targets + "\n";
  }
  return text;
}

bool CmdRightsFromText(std::string_view text, stCmdRights& out, std::string& error) {
  std::string_view account, origin, allow, deny, targets;
  if (!NextLine(text, account) || !NextLine(text, origin) || account.empty() || origin.empty()) {
    error = "no account or origin";
    return false;
  }
  // An origin names the process its account logged in to ("-": none); one without would read
  // as this process's own account in the audit lines.
  if (origin != "-" && origin.find('@') == std::string_view::npos) {
    error = "the origin names no process";
    return false;
  }
  out.account = account;
  out.origin = origin;
  out.rules.clear();
  while (NextLine(text, allow)) {
    if (!NextLine(text, deny) || !NextLine(text, targets))
      return error = "a rule set cut short", false;
    auto rules = std::make_shared<cRightRules>();
    if (!RulesFromLines(allow, deny, targets, *rules, error)) return false;
    out.rules.push_back(std::move(rules));
  }
  return true;
}

cCmdRightsScope::cCmdRightsScope(CmdRightsPtr rights)
    : m_former(g_current), m_bOuter(g_depth == 0) {
  TESSEL_ASSERT_WORKER();
  if (m_bOuter) {
    g_refusal.clear();
    g_reported = false;
    ++g_outerSerial;
  }
  ++g_depth;
  if (!rights || !m_former) {
    if (rights) g_current = std::move(rights);
    g_narrowed.store(g_current != nullptr, std::memory_order_relaxed);
    return;
  }
  // Nested: the lesser of both.
  auto both = std::make_shared<stCmdRights>(*rights);
  both->AddRulesOf(*m_former);
  g_current = std::move(both);
  g_narrowed.store(true, std::memory_order_relaxed);
}

cCmdRightsScope::~cCmdRightsScope() {
  g_current = std::move(m_former);
  g_narrowed.store(g_current != nullptr, std::memory_order_relaxed);
  --g_depth;
  if (m_bOuter) g_refusal.clear();
}

const CmdRightsPtr& cCmdRightsScope::Current() {
  return g_current;
}

bool cCmdRightsScope::Narrowed() {
  return g_narrowed.load(std::memory_order_relaxed);
}

uint64_t cCmdRightsScope::OuterSerial() {
  return g_depth > 0 ? g_outerSerial : 0;
}

const std::string& cCmdRightsScope::Refusal() {
  return g_refusal;
}

bool cCmdRightsScope::TakeRefusalReport() {
  if (g_refusal.empty() || g_reported) return false;
  g_reported = true;
  return true;
}

std::string RefusalLine(std::string_view account, std::string_view func, eCmdRight right) {
  return "refused: " + std::string(account) + " may not run " + std::string(func) + " (needs " +
         CmdRightName(right) + ")";
}

void CheckCmdCall(lua_State* L, const stCmdFunc& func) {
  const stCmdRights* rights = g_current.get();
  if (rights == nullptr) return;
  // After a refusal nothing of the command runs, whatever caught the error.
  if (!g_refusal.empty()) RaiseRefusal(L);
  if (rights->Allows(func)) return;
  NoteRefusal(*rights, func);
  RaiseRefusal(L);
}

void RequireCmdRight(std::string_view name, eCmdRight right) {
  const stCmdRights* rights = g_current.get();
  if (rights == nullptr) return;
  if (!g_refusal.empty()) throw std::runtime_error(g_refusal);
  const stCmdFunc func{std::string(name), right, nullptr, nullptr};
  if (rights->Allows(func)) return;
  NoteRefusal(*rights, func);
  throw std::runtime_error(g_refusal);
}

namespace {

// True when the current rights reach `process`; else the refusal is noted and made current.
bool ReachesOrRefuse(std::string_view func, std::string_view process) {
  const stCmdRights* rights = g_current.get();
  if (rights == nullptr) return true;
  if (!g_refusal.empty()) return false;
  if (rights->MayReach(process)) return true;
  g_refusal = "refused: " + rights->account + " may not run " + std::string(func) + " on " +
              std::string(process) + " (outside its targets)";
  cDeniedLog::Instance().Note(rights->account, rights->origin, func, "targets");
  StopLuaCalls(g_refusal.c_str());
  return false;
}

}  // namespace

void RequireCmdTarget(std::string_view func, std::string_view process) {
  if (!ReachesOrRefuse(func, process)) throw std::runtime_error(g_refusal);
}

void CheckCmdTarget(lua_State* L, std::string_view func, std::string_view process) {
  if (!ReachesOrRefuse(func, process)) RaiseRefusal(L);
}

namespace {

// Whether the way back `names` (the first name is where answers end) leads to the requester:
// its process, or its account logged in there as the way back's last hop.
bool EndsAtOrigin(const stCmdRights& rights, const std::vector<std::string>& names) {
  const std::string prefix = rights.account + "@";
  if (names.empty() || !rights.origin.starts_with(prefix)) return false;
  const std::string process = rights.origin.substr(prefix.size());
  if (names[0] == process) return true;
  return names.size() >= 2 && names[0] == rights.account && names[1] == process;
}

}  // namespace

void CheckCmdAnswerWay(lua_State* L, std::string_view func, const std::vector<std::string>& names) {
  const stCmdRights* rights = g_current.get();
  if (rights == nullptr || names.empty()) return;
  if (!g_refusal.empty()) RaiseRefusal(L);
  if (EndsAtOrigin(*rights, names) || rights->MayReach(names.front())) return;
  g_refusal = "refused: " + rights->account + " may not run " + std::string(func) +
              " answered on " + names.front() + " (outside its targets)";
  cDeniedLog::Instance().Note(rights->account, rights->origin, func, "targets");
  StopLuaCalls(g_refusal.c_str());
  RaiseRefusal(L);
}

void CheckNoRefusal(lua_State* L) {
  if (g_current && !g_refusal.empty()) RaiseRefusal(L);
}

namespace {

std::mutex& RevokedLock() {
  static std::mutex s_lock;
  return s_lock;
}

// What befell an account's deferred rights: every revocation and reload counts a revision.
struct stDeferredRevisions {
  uint64_t revision = 0;
  uint64_t revoked = 0;   // the revision of the last revocation; 0: none
  uint64_t reloaded = 0;  // the revision of the last reload; 0: none
  CmdRightsPtr reload;    // what the last reload read
  bool local = false;     // code of a login of this process was deferred under it
};

// Per account, guarded by RevokedLock.
std::map<std::string, stDeferredRevisions, std::less<>>& Revoked() {
  static std::map<std::string, stDeferredRevisions, std::less<>> s_revoked;
  return s_revoked;
}

stDeferredRevisions& RevisionsOf(std::string_view account) {
  auto it = Revoked().find(account);
  if (it == Revoked().end())
    it = Revoked().emplace(std::string(account), stDeferredRevisions{}).first;
  return it->second;
}

}  // namespace

void RevokeDeferredRights(std::string_view account) {
  std::lock_guard<std::mutex> hold(RevokedLock());
  stDeferredRevisions& revisions = RevisionsOf(account);
  revisions.revoked = ++revisions.revision;
}

void NoteReloadedRights(std::string_view account, CmdRightsPtr rights) {
  std::lock_guard<std::mutex> hold(RevokedLock());
  stDeferredRevisions& revisions = RevisionsOf(account);
  revisions.reloaded = ++revisions.revision;
  revisions.reload = std::move(rights);
}

uint64_t DeferredRightsRevision(std::string_view account, bool local) {
  std::lock_guard<std::mutex> hold(RevokedLock());
  // An account nothing befell has revision 0: only this process's own accounts are kept from a
  // mere look, so that the names of ever new origins a process link carries leave no entry.
  if (!local) {
    const auto it = Revoked().find(account);
    return it != Revoked().end() ? it->second.revision : 0;
  }
  stDeferredRevisions& revisions = RevisionsOf(account);
  revisions.local = revisions.local || local;
  return revisions.revision;
}

std::vector<std::string> DeferredRightsAccounts() {
  std::lock_guard<std::mutex> hold(RevokedLock());
  std::vector<std::string> names;
  for (const auto& [name, revisions] : Revoked())
    if (revisions.local) names.push_back(name);
  return names;
}

namespace {

// `rights` as `account`'s reloads and revocations since `revision` leave them.
CmdRightsPtr HeldTo(const CmdRightsPtr& rights, std::string_view account, uint64_t revision) {
  CmdRightsPtr reload;
  {
    std::lock_guard<std::mutex> hold(RevokedLock());
    const auto it = Revoked().find(account);
    if (it == Revoked().end() || it->second.revision == revision) return rights;
    if (it->second.revoked <= revision) {
      if (it->second.reloaded <= revision || !it->second.reload) return rights;
      reload = it->second.reload;
    }
  }
  if (reload) {
    // The rules it was deferred with and those of the account's file now, both.
    auto held = std::make_shared<stCmdRights>(*rights);
    held->AddRulesOf(*reload);
    return held;
  }
  auto nothing = std::make_shared<cRightRules>();
  nothing->m_bAllowList = true;
  auto revoked = std::make_shared<stCmdRights>();
  revoked->account = rights->account;
  revoked->origin = rights->origin;
  revoked->rules.push_back(std::move(nothing));
  return revoked;
}

}  // namespace

CmdRightsPtr DeferredRights(const CmdRightsPtr& rights, uint64_t revision,
                            uint64_t carrierRevision) {
  if (!rights) return rights;
  CmdRightsPtr held = HeldTo(rights, rights->account, revision);
  if (rights->carrier.empty()) return held;
  return HeldTo(held, rights->carrier, carrierRevision);
}
