// A peer's environment E: an empty table whose metatable reads a name from the link's builtins
// B, else (B's own metatable) from the group's globals, refuses to store a name the group
// registered, and cannot be read or replaced (__metatable), so B is reachable through nothing
// else. Tables that are not the link's own (the globals, the library tables, the string
// metatable, every environment) are listed in a weak set of the state; the link's own getfenv,
// setfenv, rawset and getmetatable never hand them out or change them.
#include "tessel/core/peer_sandbox.h"

#include <lua.hpp>

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "tessel/contracts/baselib.h"
#include "tessel/core/cmd_funcs.h"
#include "tessel/core/lua_limits.h"

namespace {

// What a peer's environment holds in place of the group's builtins. Every other name reads
// through to the group's globals. This is the one list of a link's builtins.
enum class eBuiltin {
  kSelf,      // the environment itself
  kCopy,      // a copy of the library table, the link's own to change
  kPackage,   // a package table of the link's own: its loaded modules, its loaders
  kOwn,       // a function of the link's own (below)
  kInOwnEnv,  // the builtin, run so that the chunks it loads run in the link's environment
  kHidden,    // false: nothing of it can be made safe for a link
};

int PeerGetfenv(lua_State* L);
int PeerSetfenv(lua_State* L);
int PeerRawset(lua_State* L);
int PeerGetmetatable(lua_State* L);
int PeerCollectgarbage(lua_State* L);
int PeerCoCreate(lua_State* L);
int PeerCoWrap(lua_State* L);

struct stBuiltin {
  const char* name;
  eBuiltin kind;
  lua_CFunction own = nullptr;
};

const stBuiltin kBuiltins[] = {
    {"_G", eBuiltin::kSelf},
    {"string", eBuiltin::kCopy},
    {"table", eBuiltin::kCopy},
    {"math", eBuiltin::kCopy},
    {"os", eBuiltin::kCopy},
    {"io", eBuiltin::kCopy},
    {"coroutine", eBuiltin::kCopy},
    {"package", eBuiltin::kPackage},
    {"getfenv", eBuiltin::kOwn, &PeerGetfenv},
    {"setfenv", eBuiltin::kOwn, &PeerSetfenv},
    {"rawset", eBuiltin::kOwn, &PeerRawset},
    {"getmetatable", eBuiltin::kOwn, &PeerGetmetatable},
    {"collectgarbage", eBuiltin::kOwn, &PeerCollectgarbage},
    {"loadstring", eBuiltin::kInOwnEnv},
    {"load", eBuiltin::kInOwnEnv},
    {"loadfile", eBuiltin::kInOwnEnv},
    {"dofile", eBuiltin::kInOwnEnv},
    {"require", eBuiltin::kInOwnEnv},
    {"debug", eBuiltin::kHidden},     // reaches every table, upvalue and hook of the state
    {"module", eBuiltin::kHidden},    // writes the state's shared module table and the caller's
    {"newproxy", eBuiltin::kHidden},  // a finaliser would run later, inside another command
};

const char kForeignKey[] = "tessel.peer.foreign";
// The state's weak table of the links' environments (and the tables they gave to setfenv), each
// with a holder of its link's rights.
const char kOwnersKey[] = "tessel.peer.owners";
const char kRightsHolder[] = "tessel.peer.rights";

// Upvalues of the link's own functions.
constexpr int kEnv = lua_upvalueindex(1);
constexpr int kForeign = lua_upvalueindex(2);
constexpr int kFuncs = lua_upvalueindex(3);
constexpr int kOwned = lua_upvalueindex(4);  // weak set of tables the link gave to setfenv

const cCmdFuncs& Funcs(lua_State* L, int index) {
  return *static_cast<const cCmdFuncs*>(lua_touserdata(L, index));
}

bool IsGroupFunction(lua_State* L, int funcs, int key) {
  return lua_type(L, key) == LUA_TSTRING && Funcs(L, funcs).Has(lua_tostring(L, key));
}

int RefuseGroupFunction(lua_State* L, int key) {
  return luaL_error(L, "%s is a function of the group: a command from a link cannot replace it",
                    lua_tostring(L, key));
}

// Whether the value at `index` is a table that is not the link's: the globals, a library
// table, another link's environment.
bool IsForeign(lua_State* L, int index) {
  if (!lua_istable(L, index) || lua_rawequal(L, index, kEnv)) return false;
  lua_pushvalue(L, index);
  lua_rawget(L, kForeign);
  const bool foreign = lua_toboolean(L, -1) != 0;
  lua_pop(L, 1);
  return foreign;
}

// As the builtins find their function: the one given, or the one at a call level.
void PushFunction(lua_State* L, bool optional) {
  if (lua_isfunction(L, 1)) {
    lua_pushvalue(L, 1);
    return;
  }
  const int level = optional ? luaL_optint(L, 1, 1) : luaL_checkint(L, 1);
  luaL_argcheck(L, level >= 0, 1, "level must be non-negative");
  lua_Debug ar;
  if (lua_getstack(L, level, &ar) == 0) luaL_argerror(L, 1, "invalid level");
  lua_getinfo(L, "f", &ar);
  if (lua_isnil(L, -1)) luaL_error(L, "no function environment for tail call at level %d", level);
}

// getfenv: the builtin's answer, except that a table not the link's own reads as the link's
// environment (the globals of a C function or of the console's functions, for instance).
int PeerGetfenv(lua_State* L) {
  PushFunction(L, true);
  if (lua_iscfunction(L, -1)) {
    lua_pushvalue(L, LUA_GLOBALSINDEX);
  } else {
    lua_getfenv(L, -1);
  }
  if (IsForeign(L, -1)) lua_pushvalue(L, kEnv);
  return 1;
}

// Pushes a new table whose keys the collector may take.
void PushWeakKeys(lua_State* L) {
  lua_newtable(L);
  lua_createtable(L, 0, 1);
  lua_pushliteral(L, "k");
  lua_setfield(L, -2, "__mode");
  lua_setmetatable(L, -2);
}

// Pushes the state's table of owners, made on first use.
void PushOwners(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, kOwnersKey);
  if (lua_istable(L, -1)) return;
  lua_pop(L, 1);
  PushWeakKeys(L);
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, kOwnersKey);
}

int DropRightsHolder(lua_State* L) {
  static_cast<stDefinerRights*>(lua_touserdata(L, 1))->~stDefinerRights();
  return 0;
}

// The table at `table` answers to the rights of the link's environment as well.
void ShareOwner(lua_State* L, int table) {
  PushOwners(L);
  lua_pushvalue(L, kEnv);
  lua_rawget(L, -2);
  if (lua_isuserdata(L, -1)) {
    lua_pushvalue(L, table);
    lua_insert(L, -2);
    lua_rawset(L, -3);
  } else {
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
}

// coroutine.create: the thread answers to the rights of the link's environment as well, so a
// function of another (the console's) that it runs still counts as called by the link's code.
int PeerCoCreate(lua_State* L) {
  luaL_argcheck(L, lua_isfunction(L, 1) && !lua_iscfunction(L, 1), 1, "Lua function expected");
  lua_State* thread = lua_newthread(L);
  lua_pushvalue(L, 1);
  lua_xmove(L, thread, 1);
  ShareOwner(L, lua_gettop(L));
  return 1;
}

// The resume of a thread coroutine.wrap made, as the builtin's.
int ResumeWrapped(lua_State* L) {
  lua_State* thread = lua_tothread(L, lua_upvalueindex(1));
  const int args = lua_gettop(L);
  if (!lua_checkstack(thread, args)) return luaL_error(L, "too many arguments to resume");
  if (lua_status(thread) == 0 && lua_gettop(thread) == 0) {
    lua_pushliteral(L, "cannot resume dead coroutine");
  } else {
    lua_xmove(L, thread, args);
    const int status = lua_resume(thread, args);
    if (status == 0 || status == LUA_YIELD) {
      const int results = lua_gettop(thread);
      if (!lua_checkstack(L, results)) return luaL_error(L, "too many results to resume");
      lua_xmove(thread, L, results);
      return results;
    }
    lua_xmove(thread, L, 1);
  }
  if (lua_isstring(L, -1)) {
    luaL_where(L, 1);
    lua_insert(L, -2);
    lua_concat(L, 2);
  }
  return lua_error(L);
}

// coroutine.wrap: of a thread made as coroutine.create makes it.
int PeerCoWrap(lua_State* L) {
  PeerCoCreate(L);
  lua_pushcclosure(L, &ResumeWrapped, 1);
  return 1;
}

// setfenv: only of a function whose environment is the link's (or a table the link gave it
// before), and never to a table that is not the link's. Level 0 names this C function, so a
// thread's globals stay as they are.
int PeerSetfenv(lua_State* L) {
  luaL_checktype(L, 2, LUA_TTABLE);
  PushFunction(L, false);
  const int fn = lua_gettop(L);
  if (lua_iscfunction(L, fn))
    return luaL_error(L, "'setfenv' cannot change environment of given object");
  lua_getfenv(L, fn);
  lua_pushvalue(L, -1);
  lua_rawget(L, kOwned);
  const bool owned = lua_rawequal(L, -2, kEnv) || lua_toboolean(L, -1);
  lua_pop(L, 2);
  if (!owned) return luaL_error(L, "setfenv: the function's environment is not the link's own");
  if (IsForeign(L, 2)) return luaL_error(L, "setfenv: the table is not the link's own");
  lua_pushvalue(L, 2);
  lua_pushboolean(L, 1);
  lua_rawset(L, kOwned);
  ShareOwner(L, 2);
  lua_pushvalue(L, 2);
  lua_setfenv(L, fn);
  lua_pushvalue(L, fn);
  return 1;
}

// rawset: on the environment as its __newindex allows; never on a table not the link's own.
int PeerRawset(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  luaL_checkany(L, 2);
  luaL_checkany(L, 3);
  if (lua_rawequal(L, 1, kEnv) && IsGroupFunction(L, kFuncs, 2)) return RefuseGroupFunction(L, 2);
  if (IsForeign(L, 1)) return luaL_error(L, "rawset: the table is not the link's own");
  lua_settop(L, 3);
  lua_rawset(L, 1);
  return 1;
}

// getmetatable: of tables only. Strings and userdata share their metatables with every link
// and the console (the string library hangs there).
int PeerGetmetatable(lua_State* L) {
  luaL_checkany(L, 1);
  if (!lua_istable(L, 1) || !lua_getmetatable(L, 1)) {
    lua_pushnil(L);
    return 1;
  }
  luaL_getmetafield(L, 1, "__metatable");
  return 1;
}

// collectgarbage: what runs the collector or reads it. The collector is the state's, shared by
// every link and the console: stopped ("stop") or slowed ("setpause") by one link, the state
// filled to its memory cap and then failed every command of everyone in the group.
int PeerCollectgarbage(lua_State* L) {
  // A collection of a full state takes long, out of the time limit's hook.
  if (LuaCommandOverdue()) StopOverdueCommand(L);
  const std::string_view option = luaL_optstring(L, 1, "collect");
  if (option == "collect") {
    lua_pushnumber(L, lua_gc(L, LUA_GCCOLLECT, 0));
  } else if (option == "count") {
    lua_pushnumber(L, lua_gc(L, LUA_GCCOUNT, 0) + lua_gc(L, LUA_GCCOUNTB, 0) / 1024.0);
  } else if (option == "step") {
    lua_pushboolean(L, lua_gc(L, LUA_GCSTEP, luaL_optint(L, 2, 0)));
  } else {
    return luaL_error(L,
                      "collectgarbage('%s') would change the collector every link and the "
                      "console share: a command from a link cannot do it",
                      lua_tostring(L, 1));
  }
  return 1;
}

// A builtin that loads chunks, run with the link's environment as the thread's globals and
// the link's loaded modules as the state's: every chunk it loads gets that environment, and a
// module it loads is the link's own. They are compiled without tail calls. Upvalues: the
// environment, the builtin, the loaded table.
int InOwnEnv(lua_State* L) {
  const int args = lua_gettop(L);
  luaL_checkstack(L, 4, "too many arguments");
  lua_getfield(L, LUA_REGISTRYINDEX, "_LOADED");
  lua_insert(L, 1);
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  lua_insert(L, 2);
  lua_pushvalue(L, lua_upvalueindex(2));
  lua_insert(L, 3);
  // Nothing between the swap and the call can raise an error: the swap is always undone.
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_replace(L, LUA_GLOBALSINDEX);
  lua_pushvalue(L, lua_upvalueindex(3));
  lua_setfield(L, LUA_REGISTRYINDEX, "_LOADED");
  // The link's chunks keep every caller on the stack (DefinerRights looks there).
  HoldNoTailCalls(true);
  const int rc = lua_pcall(L, args, LUA_MULTRET, 0);
  HoldNoTailCalls(false);
  lua_pushvalue(L, 2);
  lua_replace(L, LUA_GLOBALSINDEX);
  lua_pushvalue(L, 1);
  lua_setfield(L, LUA_REGISTRYINDEX, "_LOADED");
  if (rc != 0) return lua_error(L);
  return lua_gettop(L) - 2;
}

// Pushes the value at `index` wrapped by InOwnEnv; the environment is at `env`, the link's
// loaded table at `loaded`.
void PushInOwnEnv(lua_State* L, int index, int env, int loaded) {
  if (!lua_isfunction(L, index)) {
    lua_pushvalue(L, index);
    return;
  }
  lua_pushvalue(L, env);
  lua_pushvalue(L, index);
  lua_pushvalue(L, loaded);
  lua_pushcclosure(L, &InOwnEnv, 3);
}

// Pushes a copy of the table at `index` (nil stays nil).
void PushCopy(lua_State* L, int index) {
  if (!lua_istable(L, index)) {
    lua_pushnil(L);
    return;
  }
  lua_newtable(L);
  lua_pushnil(L);
  while (lua_next(L, index) != 0) {
    lua_pushvalue(L, -2);
    lua_insert(L, -2);
    lua_rawset(L, -4);
  }
}

// The state's weak set of tables that are no link's own, made with the first environment.
void PushForeignSet(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, kForeignKey);
  if (lua_istable(L, -1)) return;
  lua_pop(L, 1);
  PushWeakKeys(L);
  const int set = lua_gettop(L);
  auto mark = [&](int index) {
    if (!lua_istable(L, index)) return;
    lua_pushvalue(L, index);
    lua_pushboolean(L, 1);
    lua_rawset(L, set);
  };
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  mark(-1);
  for (const char* name :
       {"string", "table", "math", "os", "io", "coroutine", "package", "debug", "_G"}) {
    lua_getfield(L, -1, name);
    mark(-1);
    if (std::string_view(name) == "package") {
      for (const char* part : {"loaded", "loaders", "preload"}) {
        lua_getfield(L, -1, part);
        mark(-1);
        lua_pop(L, 1);
      }
    }
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  lua_pushliteral(L, "");
  if (lua_getmetatable(L, -1)) {
    mark(-1);
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  lua_pushvalue(L, set);
  lua_setfield(L, LUA_REGISTRYINDEX, kForeignKey);
}

// The link's package table: the group's, with the link's own loaded table (the link's copies
// of the libraries, the environment as _G), its loaders and seeall wrapped by InOwnEnv.
void PushPackage(lua_State* L, int base, int env, int loaded) {
  lua_getfield(L, LUA_GLOBALSINDEX, "package");
  const int real = lua_gettop(L);
  PushCopy(L, real);
  if (lua_isnil(L, -1)) {
    lua_remove(L, real);
    return;
  }
  const int own = lua_gettop(L);
  for (const stBuiltin& builtin : kBuiltins) {
    if (builtin.kind != eBuiltin::kCopy) continue;
    lua_getfield(L, base, builtin.name);
    lua_setfield(L, loaded, builtin.name);
  }
  lua_pushvalue(L, env);
  lua_setfield(L, loaded, "_G");
  lua_pushvalue(L, own);
  lua_setfield(L, loaded, "package");
  lua_pushvalue(L, loaded);
  lua_setfield(L, own, "loaded");
  lua_getfield(L, real, "loaders");
  if (lua_istable(L, -1)) {
    lua_newtable(L);
    for (int i = 1;; ++i) {
      lua_rawgeti(L, -2, i);
      if (lua_isnil(L, -1)) break;
      PushInOwnEnv(L, lua_gettop(L), env, loaded);
      lua_rawseti(L, -3, i);
      lua_pop(L, 1);
    }
    lua_pop(L, 1);
    lua_setfield(L, own, "loaders");
  }
  lua_pop(L, 1);
  lua_getfield(L, real, "seeall");
  PushInOwnEnv(L, lua_gettop(L), env, loaded);
  lua_setfield(L, own, "seeall");
  lua_pop(L, 1);
  lua_getfield(L, real, "preload");
  PushCopy(L, lua_gettop(L));
  lua_setfield(L, own, "preload");
  lua_pop(L, 1);
  lua_remove(L, real);
}

// A function of the link's own, with its upvalues.
void PushOwnFunction(lua_State* L, lua_CFunction own, int env, int foreign, int owned,
                     const cCmdFuncs& funcs) {
  lua_pushvalue(L, env);
  lua_pushvalue(L, foreign);
  lua_pushlightuserdata(L, const_cast<cCmdFuncs*>(&funcs));
  lua_pushvalue(L, owned);
  lua_pushcclosure(L, own, 4);
}

// B: the link's builtins, by the list above.
void FillBase(lua_State* L, int base, int env, int foreign, int owned, const cCmdFuncs& funcs) {
  lua_newtable(L);
  const int loaded = lua_gettop(L);
  for (const stBuiltin& builtin : kBuiltins) {
    switch (builtin.kind) {
      case eBuiltin::kSelf:
        lua_pushvalue(L, env);
        break;
      case eBuiltin::kCopy:
        lua_getfield(L, LUA_GLOBALSINDEX, builtin.name);
        PushCopy(L, lua_gettop(L));
        lua_remove(L, -2);
        if (std::string_view(builtin.name) == "coroutine") {
          PushOwnFunction(L, &PeerCoCreate, env, foreign, owned, funcs);
          lua_setfield(L, -2, "create");
          PushOwnFunction(L, &PeerCoWrap, env, foreign, owned, funcs);
          lua_setfield(L, -2, "wrap");
        }
        break;
      case eBuiltin::kPackage:
        PushPackage(L, base, env, loaded);
        break;
      case eBuiltin::kOwn:
        PushOwnFunction(L, builtin.own, env, foreign, owned, funcs);
        break;
      case eBuiltin::kInOwnEnv:
        lua_getfield(L, LUA_GLOBALSINDEX, builtin.name);
        PushInOwnEnv(L, lua_gettop(L), env, loaded);
        lua_remove(L, -2);
        break;
      case eBuiltin::kHidden:
        lua_pushboolean(L, 0);
        break;
    }
    lua_setfield(L, base, builtin.name);
  }
  lua_pop(L, 1);
}

// E's __newindex: any name but the group's own functions.
int PeerNewindex(lua_State* L) {
  if (IsGroupFunction(L, lua_upvalueindex(1), 2)) return RefuseGroupFunction(L, 2);
  lua_settop(L, 3);
  lua_rawset(L, 1);
  return 0;
}

}  // namespace

void PushPeerEnv(lua_State* L, const cCmdFuncs& funcs) {
  PushForeignSet(L);
  const int foreign = lua_gettop(L);
  lua_newtable(L);
  const int env = lua_gettop(L);
  lua_newtable(L);
  const int base = lua_gettop(L);
  PushWeakKeys(L);
  const int owned = lua_gettop(L);
  FillBase(L, base, env, foreign, owned, funcs);

  // Reads go to B, then to the globals: table lookups only, as fast as the globals' own.
  lua_createtable(L, 0, 1);
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  lua_setfield(L, -2, "__index");
  lua_setmetatable(L, base);
  lua_createtable(L, 0, 3);
  lua_pushvalue(L, base);
  lua_setfield(L, -2, "__index");
  lua_pushlightuserdata(L, const_cast<cCmdFuncs*>(&funcs));
  lua_pushcclosure(L, &PeerNewindex, 1);
  lua_setfield(L, -2, "__newindex");
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "__metatable");
  lua_setmetatable(L, env);

  lua_pushvalue(L, env);
  lua_pushboolean(L, 1);
  lua_rawset(L, foreign);
  lua_pushvalue(L, env);
  lua_replace(L, foreign);
  lua_settop(L, foreign);
}

void SetPeerEnvRights(lua_State* L, int env, const stDefinerRights& rights) {
  if (env < 0) env = lua_gettop(L) + env + 1;
  PushOwners(L);
  lua_pushvalue(L, env);
  lua_rawget(L, -2);
  if (!lua_isuserdata(L, -1)) {
    lua_pop(L, 1);
    new (lua_newuserdata(L, sizeof(stDefinerRights))) stDefinerRights();
    if (luaL_newmetatable(L, kRightsHolder) != 0) {
      lua_pushcfunction(L, &DropRightsHolder);
      lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2);
    lua_pushvalue(L, env);
    lua_pushvalue(L, -2);
    lua_rawset(L, -4);
  }
  *static_cast<stDefinerRights*>(lua_touserdata(L, -1)) = rights;
  lua_pop(L, 2);
}

namespace {

// The most levels of a stack looked at: Lua finds a level by counting from the top, so a walk
// of every level of a deep recursion, at each guarded call, would cost its depth squared.
constexpr int kMostLevels = 200;

// Rights that allow nothing, for code whose account cannot be told.
CmdRightsPtr NoRights(const std::string& who) {
  auto rules = std::make_shared<cRightRules>();
  rules->m_bAllowList = true;
  auto rights = std::make_shared<stCmdRights>();
  rights->account = who;
  rights->origin = "-";
  rights->rules.push_back(std::move(rules));
  return rights;
}

// A deeper stack may hide a link's code below the levels looked at.
CmdRightsPtr TooDeep() {
  static const CmdRightsPtr s_rights =
      NoRights("code called more than " + std::to_string(kMostLevels) + " levels deep");
  return s_rights;
}

CmdRightsPtr MetamethodRights() {
  static const CmdRightsPtr s_rights = NoRights("a C function set as a metamethod");
  return s_rights;
}

// Whether the value at `index` is a table whose metatable holds a C function under any key.
bool HasCMetamethod(lua_State* L, int index) {
  if (!lua_istable(L, index) || !lua_getmetatable(L, index)) return false;
  bool found = false;
  for (lua_pushnil(L); !found && lua_next(L, -2) != 0; lua_pop(L, 1))
    found = lua_iscfunction(L, -1) != 0;
  lua_pop(L, found ? 2 : 1);  // the key and the metatable, or the metatable
  return found;
}

// Adds the rights the holder on top holds (popped) to `found`, unless they are the current ones.
void AddHeldRights(lua_State* L, CmdRightsPtr& found, std::shared_ptr<stCmdRights>& merged) {
  const CmdRightsPtr& current = cCmdRightsScope::Current();
  const auto* held = static_cast<const stDefinerRights*>(lua_touserdata(L, -1));
  const CmdRightsPtr rights =
      held != nullptr ? DeferredRights(held->rights, held->revision, held->carrierRevision)
                      : nullptr;
  lua_pop(L, 1);
  if (!rights || rights == found || rights == current ||
      (current && current->origin == rights->origin))
    return;
  if (found && !merged) merged = std::make_shared<stCmdRights>(*found);
  if (merged) merged->AddRulesOf(*rights);
  if (!found) found = rights;
}

}  // namespace

// Every Lua function on the stack counts, the caller's own chunk too: a function one link stored
// where another account or the console calls it runs with the lesser of both rights. So does the
// link that made the coroutine running, when it is one. A stack deeper than the levels looked at
// allows nothing once links have environments here.
CmdRightsPtr DefinerRights(lua_State* L, int firstArg) {
  lua_getfield(L, LUA_REGISTRYINDEX, kOwnersKey);
  const int owners = lua_gettop(L);
  if (!lua_istable(L, owners)) {
    lua_pop(L, 1);
    return nullptr;
  }
  // Only the call's own arguments, below the owners table pushed here: a call of fewer than two
  // arguments would have the owners table looked at (and its metatable walked) at each call.
  if ((firstArg < owners && HasCMetamethod(L, firstArg)) ||
      (firstArg + 1 < owners && HasCMetamethod(L, firstArg + 1))) {
    lua_pop(L, 1);
    return MetamethodRights();
  }
  CmdRightsPtr found;
  std::shared_ptr<stCmdRights> merged;
  if (lua_pushthread(L) == 0) {
    lua_rawget(L, owners);
    AddHeldRights(L, found, merged);
  } else {
    lua_pop(L, 1);
  }
  lua_Debug ar;
  int level = 0;
  for (; level < kMostLevels && lua_getstack(L, level, &ar); ++level) {
    lua_getinfo(L, "f", &ar);
    if (lua_isfunction(L, -1) && !lua_iscfunction(L, -1)) {
      lua_getfenv(L, -1);
      lua_rawget(L, owners);
      AddHeldRights(L, found, merged);
    }
    lua_pop(L, 1);
  }
  lua_settop(L, owners - 1);
  if (level == kMostLevels && lua_getstack(L, level, &ar)) return TooDeep();
  return merged ? CmdRightsPtr(merged) : found;
}
