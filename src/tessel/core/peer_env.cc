#include "tessel/core/peer_env.h"

#include <lua.hpp>

#include <algorithm>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/core/audit_scope.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/peer_sandbox.h"
#include "tessel/core/send_hops.h"
#include "tessel/core/worker_thread.h"

namespace {

const cPeerEnvScope* g_current = nullptr;

// Every group's environments, for the drops; groups are made on any thread (singletons on
// first use), so the list has a lock. Never destroyed: groups outlive static destruction order.
std::mutex& AllLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::vector<cPeerEnvs*>& All() {
  static auto* all = new std::vector<cPeerEnvs*>;
  return *all;
}

// A token per link that deferred code holds: false once the link's environments are dropped.
std::map<stPeerKey, std::shared_ptr<bool>>& Tokens() {
  static auto* tokens = new std::map<stPeerKey, std::shared_ptr<bool>>;
  return *tokens;
}

// A token no deferred code holds any more goes, so that code deferred under ever new origins of
// a process link (each StartYield's coroutine ending soon) leaves no entry per origin for the
// link's life. Pruned whenever the map doubled since the last prune.
size_t g_pruneAt = 64;

void PruneTokens() {
  if (Tokens().size() < g_pruneAt) return;
  std::erase_if(Tokens(), [](const auto& entry) { return entry.second.use_count() == 1; });
  g_pruneAt = std::max<size_t>(64, 2 * Tokens().size());
}

void KillToken(const stPeerKey& key) {
  auto it = Tokens().find(key);
  if (it == Tokens().end()) return;
  *it->second = false;
  Tokens().erase(it);
}

struct stMakeEnv {
  const cCmdFuncs* funcs;
  int ref;
};

struct stEnvRights {
  int ref;
  stDefinerRights rights;
};

int SetRightsProtected(lua_State* L) {
  auto* set = static_cast<stEnvRights*>(lua_touserdata(L, 1));
  lua_rawgeti(L, LUA_REGISTRYINDEX, set->ref);
  SetPeerEnvRights(L, -1, set->rights);
  return 0;
}

int MakeEnvProtected(lua_State* L) {
  auto* make = static_cast<stMakeEnv*>(lua_touserdata(L, 1));
  PushPeerEnv(L, *make->funcs);
  make->ref = luaL_ref(L, LUA_REGISTRYINDEX);
  return 0;
}

// Whether the rights are those of a login of this process, not an origin another one sent.
bool IsOwnLogin(const stCmdRights& rights) {
  return rights.origin == rights.account + "@" + GetHost().GetAccount();
}

}  // namespace

// Deferred code resumes inside the scope that was current when it was deferred, or in a dead
// scope when that link is gone meanwhile (code deferred from the local console has none). It
// keeps the rights of the account whose command deferred it, and of the link a carried origin
// came by, until either account is kicked, and the audit trail hears of each resume; what it
// sends with an origin goes with the hop count of that command. Each resume
// runs under the limits of a command: a timer's turn holds the worker no longer than a command may.
class cPeerDeferContext : public cLuaDeferContext {
 public:
  cPeerDeferContext(lua_State* co, const stPeerKey& key, std::shared_ptr<bool> alive,
                    CmdRightsPtr rights, std::unique_ptr<cAuditDeferred> audit)
      : m_co(co),
        m_key(key),
        m_alive(std::move(alive)),
        m_rights(std::move(rights)),
        m_revision(m_rights ? DeferredRightsRevision(m_rights->account, IsOwnLogin(*m_rights)) : 0),
        m_carrierRevision(m_rights && !m_rights->carrier.empty()
                              ? DeferredRightsRevision(m_rights->carrier, true)
                              : 0),
        m_audit(std::move(audit)),
        m_hops(cSendHopsScope::Current()) {}
  void Run(void (*resume)(void*), void* arg) override {
    const cLuaCommandLimit limit(m_co);
    const cSendHopsScope hops(m_hops);
    cCmdRightsScope rights(DeferredRights(m_rights, m_revision, m_carrierRevision));
    std::unique_ptr<cPeerEnvScope> scope;
    if (m_alive) scope.reset(new cPeerEnvScope(m_key, *m_alive));
    if (m_audit)
      m_audit->Run(resume, arg);
    else
      resume(arg);
  }
  void Done(bool ok, const char* message) override {
    if (m_audit) m_audit->Done(ok, message);
  }
  bool ForLink() const override { return m_alive != nullptr; }

 private:
  lua_State* m_co;  // lives as long as this context: both go when the coroutine is dropped
  stPeerKey m_key;
  std::shared_ptr<bool> m_alive;  // null: not deferred for a peer
  CmdRightsPtr m_rights;
  uint64_t m_revision;
  uint64_t m_carrierRevision;  // of the account of the link a carried origin came by
  std::unique_ptr<cAuditDeferred> m_audit;
  uint32_t m_hops;  // what the command that left it sent with an origin went with
};

namespace {

std::unique_ptr<cLuaDeferContext> MakeDeferContext(lua_State* co) {
  const cPeerEnvScope* scope = cPeerEnvScope::Current();
  const CmdRightsPtr& rights = cCmdRightsScope::Current();
  std::unique_ptr<cAuditDeferred> audit = cAuditDeferred::Capture();
  if (scope == nullptr)
    return std::make_unique<cPeerDeferContext>(co, stPeerKey{}, nullptr, rights, std::move(audit));
  std::shared_ptr<bool> alive;
  if (scope->Alive()) {
    PruneTokens();
    std::shared_ptr<bool>& token = Tokens()[scope->Key()];
    if (!token) token = std::make_shared<bool>(true);
    alive = token;
  } else {
    alive = std::make_shared<bool>(false);
  }
  return std::make_unique<cPeerDeferContext>(co, scope->Key(), std::move(alive), rights,
                                             std::move(audit));
}

// Installed at load: code deferred from the local console is audited too.
const bool g_deferMakerInstalled = (SetLuaDeferContextMaker(&MakeDeferContext), true);

}  // namespace

cPeerEnvScope::cPeerEnvScope(const stPeerKey& key) : cPeerEnvScope(key, true) {}

cPeerEnvScope::cPeerEnvScope(const stPeerKey& key, bool alive)
    : m_key(key), m_bAlive(alive), m_pOuter(g_current) {
  TESSEL_ASSERT_WORKER();
  static const bool installed = (SetLuaDeferContextMaker(&MakeDeferContext), true);
  (void)installed;
  g_current = this;
}

cPeerEnvScope::~cPeerEnvScope() {
  g_current = m_pOuter;
}

const cPeerEnvScope* cPeerEnvScope::Current() {
  return g_current;
}

cPeerEnvs::cPeerEnvs(const cCmdFuncs& funcs) : m_funcs(funcs) {
  std::lock_guard<std::mutex> hold(AllLock());
  All().push_back(this);
}

cPeerEnvs::~cPeerEnvs() {
  std::lock_guard<std::mutex> hold(AllLock());
  All().erase(std::find(All().begin(), All().end(), this));
}

cPeerEnvs::cUse::~cUse() {
  if (m_pEnvs == nullptr) return;
  auto it = m_pEnvs->m_envs.find(m_key);
  if (it == m_pEnvs->m_envs.end()) return;
  if (--it->second.busy == 0 && it->second.dropped) m_pEnvs->Release(m_key);
}

bool cPeerEnvs::Apply(lua_State* L, cUse& use) {
  TESSEL_ASSERT_WORKER();
  const cPeerEnvScope* scope = cPeerEnvScope::Current();
  if (scope == nullptr) return true;
  if (!scope->Alive()) {
    lua_pop(L, 1);
    lua_pushliteral(L, "the link this command was served for is gone: it runs nothing more");
    return false;
  }
  m_pLua = L;
  auto it = m_envs.find(scope->Key());
  if (it == m_envs.end()) {
    if (!scope->Key().origin.empty()) MakeRoomForOrigin();
    stMakeEnv make{&m_funcs, LUA_NOREF};
    if (lua_cpcall(L, &MakeEnvProtected, &make) != 0) {
      lua_remove(L, -2);  // the function; the message stays
      return false;
    }
    it = m_envs.emplace(scope->Key(), stEnv{make.ref, 0, false, 0}).first;
    if (!it->first.origin.empty()) ++m_nOrigins;
  }
  // What the link defines answers to the rights it runs with now, wherever it is called.
  const CmdRightsPtr& rights = cCmdRightsScope::Current();
  stEnvRights set{it->second.ref, {rights, 0, 0}};
  if (rights) set.rights.revision = DeferredRightsRevision(rights->account);
  if (rights && !rights->carrier.empty())
    set.rights.carrierRevision = DeferredRightsRevision(rights->carrier);
  if (lua_cpcall(L, &SetRightsProtected, &set) != 0) {
    lua_remove(L, -2);  // the function; the message stays
    return false;
  }
  lua_rawgeti(L, LUA_REGISTRYINDEX, it->second.ref);
  lua_setfenv(L, -2);
  ++it->second.busy;
  it->second.lastUse = ++m_nUses;
  use.m_pEnvs = this;
  use.m_key = scope->Key();
  return true;
}

// The origins' environments stay within their bound: the one used least recently and not in use
// goes, once the group holds as many as it keeps. Said once per group.
void cPeerEnvs::MakeRoomForOrigin() {
  if (m_nOrigins < kMaxOrigins) return;
  auto oldest = m_envs.end();
  for (auto it = m_envs.begin(); it != m_envs.end(); ++it)
    if (!it->first.origin.empty() && it->second.busy == 0 &&
        (oldest == m_envs.end() || it->second.lastUse < oldest->second.lastUse))
      oldest = it;
  if (oldest == m_envs.end()) return;
  if (!m_bBoundSaid)
    std::cout << "peer environments: a group keeps those of at most " << kMaxOrigins
              << " origins; the one used least recently goes with what it defined" << std::endl;
  m_bBoundSaid = true;
  Release(oldest->first);
}

void cPeerEnvs::Drop(const stPeerKey& key) {
  std::vector<stPeerKey> keys{key};
  {
    std::lock_guard<std::mutex> hold(AllLock());
    for (cPeerEnvs* envs : All())
      for (const auto& entry : envs->m_envs)
        if (entry.first.SameLink(key)) keys.push_back(entry.first);
  }
  for (const auto& entry : Tokens())
    if (entry.first.SameLink(key)) keys.push_back(entry.first);
  for (const stPeerKey& each : keys) DropKey(each);
}

void cPeerEnvs::DropKey(const stPeerKey& key) {
  KillToken(key);
  std::lock_guard<std::mutex> hold(AllLock());
  for (cPeerEnvs* envs : All()) envs->DropOwn(key);
}

void cPeerEnvs::DropEndpoint(const void* endpoint) {
  std::vector<stPeerKey> keys;
  {
    std::lock_guard<std::mutex> hold(AllLock());
    for (cPeerEnvs* envs : All())
      for (const auto& entry : envs->m_envs)
        if (entry.first.endpoint == endpoint) keys.push_back(entry.first);
  }
  for (const auto& entry : Tokens())
    if (entry.first.endpoint == endpoint) keys.push_back(entry.first);
  for (const stPeerKey& key : keys) DropKey(key);
}

void cPeerEnvs::DropOwn(const stPeerKey& key) {
  auto it = m_envs.find(key);
  if (it == m_envs.end()) return;
  if (it->second.busy > 0) {
    it->second.dropped = true;
  } else {
    Release(key);
  }
}

void cPeerEnvs::Release(const stPeerKey& key) {
  auto it = m_envs.find(key);
  if (it == m_envs.end()) return;
  // Off the worker (an endpoint destroyed after a fault ended the worker) the state is not
  // touched: the entry is only forgotten, and the table goes with the state.
  if (m_pLua != nullptr && OnWorkerThread()) luaL_unref(m_pLua, LUA_REGISTRYINDEX, it->second.ref);
  if (!it->first.origin.empty()) --m_nOrigins;
  m_envs.erase(it);
}

size_t cPeerEnvs::DeferTokenCount() {
  return Tokens().size();
}

void cPeerEnvs::Forget() {
  m_envs.clear();
  m_nOrigins = 0;
  m_pLua = nullptr;
}
