// The environments of commands served for peers. A command that came over a link runs in an
// environment of that link's own in the group's state: it reads through to the group's globals,
// keeps what the peer defines, and never reaches the group's real globals or another link's
// environment (peer_sandbox.h builds it). A group keeps one per link, made at the link's first
// command there and dropped when the link goes down or logs out. Worker thread only.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

struct lua_State;
class cCmdFuncs;

// The link a command is served for: the endpoint that received it and the link's id there, and
// the origin another process carried with it ("" for the link's own account): the operators
// whose commands a process link carries each get environments of their own.
struct stPeerKey {
  const void* endpoint = nullptr;
  unsigned link = 0;
  std::string origin{};
  auto operator<=>(const stPeerKey&) const = default;
  bool SameLink(const stPeerKey& other) const {
    return endpoint == other.endpoint && link == other.link;
  }
};

// While it lives, the commands run are served for `key` (scopes nest). Code deferred in it
// (a coroutine of StartYield) is resumed inside the same scope later; once the link's
// environments were dropped, such code runs in a dead scope, where no command runs.
class cPeerEnvScope {
 public:
  explicit cPeerEnvScope(const stPeerKey& key);
  ~cPeerEnvScope();
  cPeerEnvScope(const cPeerEnvScope&) = delete;
  cPeerEnvScope& operator=(const cPeerEnvScope&) = delete;

  // The innermost scope, null when a command is not served for a peer (the local console).
  static const cPeerEnvScope* Current();
  const stPeerKey& Key() const { return m_key; }
  // False when the link this scope was made for is gone.
  bool Alive() const { return m_bAlive; }

 private:
  friend class cPeerDeferContext;
  cPeerEnvScope(const stPeerKey& key, bool alive);

  stPeerKey m_key;
  bool m_bAlive;
  const cPeerEnvScope* m_pOuter;
};

// The peer environments of one group's state.
class cPeerEnvs {
 public:
  // Most environments of carried origins a group keeps: a process link names its origins, so
  // ever new names would otherwise each leave one for the link's life. Beyond, the origin
  // environment used least recently and not in use goes (what that origin defined with it).
  static constexpr size_t kMaxOrigins = 1024;

  explicit cPeerEnvs(const cCmdFuncs& funcs);
  ~cPeerEnvs();
  cPeerEnvs(const cPeerEnvs&) = delete;
  cPeerEnvs& operator=(const cPeerEnvs&) = delete;

  // Holds the environment of the current scope in use while a chunk runs, so that a drop in
  // the middle (a Logout) frees it only afterwards.
  class cUse {
   public:
    cUse() = default;
    ~cUse();
    cUse(const cUse&) = delete;
    cUse& operator=(const cUse&) = delete;

   private:
    friend class cPeerEnvs;
    cPeerEnvs* m_pEnvs = nullptr;
    stPeerKey m_key;
  };

  // Gives the function on top of L's stack (the state's main thread) the environment of the
  // current scope's link, made on first use. Without a scope it does nothing and returns true.
  // False, with an error message in place of the function, when it cannot run: the scope is
  // dead or the environment could not be made.
  bool Apply(lua_State* L, cUse& use);

  // Drops the environments of `key`'s link in every group, those of the origins it carried
  // included (one in use goes when its command ends). Off the worker (an endpoint destroyed
  // after a fault ended it) entries are only forgotten.
  static void Drop(const stPeerKey& key);
  // Drops the environments of every link of an endpoint.
  static void DropEndpoint(const void* endpoint);
  // Forgets every environment without touching the state (it is being closed).
  void Forget();
  size_t Count() const { return m_envs.size(); }
  // The links and origins whose deferred code may hold a token of theirs: at most about twice
  // as many as deferred code holds now, whatever number of origins deferred code before.
  static size_t DeferTokenCount();

 private:
  struct stEnv {
    int ref = 0;  // the environment table in the registry
    int busy = 0;
    bool dropped = false;
    uint64_t lastUse = 0;
  };
  static void DropKey(const stPeerKey& key);
  void MakeRoomForOrigin();
  void DropOwn(const stPeerKey& key);
  void Release(const stPeerKey& key);

  const cCmdFuncs& m_funcs;
  lua_State* m_pLua = nullptr;
  std::map<stPeerKey, stEnv> m_envs;
  size_t m_nOrigins = 0;  // entries of m_envs with an origin
  uint64_t m_nUses = 0;
  bool m_bBoundSaid = false;
};
