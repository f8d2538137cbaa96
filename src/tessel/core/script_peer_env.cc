#include "tessel/core/script_peer_env.h"

#include <lua.hpp>

#include <new>

#include "tessel/contracts/baselib.h"
#include "tessel/core/cmd_funcs.h"

namespace {

// The registry entry of the state's environments: a userdata that lives as long as the state.
const char kEnvsKey[] = "tessel.script.peerenvs";

// The state has no group functions: every name may be set in a link's environment, and what
// the program's script defines reads through to every link.
struct stEnvs {
  cCmdFuncs funcs;
  cPeerEnvs envs{funcs};
};

int CloseEnvs(lua_State* L) {
  auto* held = static_cast<stEnvs*>(lua_touserdata(L, 1));
  held->envs.Forget();  // the state is being closed: its tables go with it
  held->~stEnvs();
  return 0;
}

// Finds or makes the state's environments; raises a Lua error when memory runs out.
int FindEnvs(lua_State* L) {
  auto** out = static_cast<stEnvs**>(lua_touserdata(L, 1));
  lua_getfield(L, LUA_REGISTRYINDEX, kEnvsKey);
  if (lua_isuserdata(L, -1)) {
    *out = static_cast<stEnvs*>(lua_touserdata(L, -1));
    return 0;
  }
  void* place = lua_newuserdata(L, sizeof(stEnvs));
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, &CloseEnvs);
  lua_setfield(L, -2, "__gc");
  lua_setmetatable(L, -2);
  *out = new (place) stEnvs;
  lua_setfield(L, LUA_REGISTRYINDEX, kEnvsKey);
  return 0;
}

// RunScriptString's text, served for a link, runs in that link's environment of the script's
// state: in the state's globals, a narrowed account (gm, deny = @shell) replaced a function of
// the script there, and the console's next RunScript of it, or a timer's, ran the account's code
// with every right. What the text defines now stays the link's and answers to its rights.
int RunTextForLink(KLuaScript& script, const char* text) {
  cPeerEnvs::cUse env;
  return script._DoString(text, 0, [&env](lua_State* L) { return cScriptPeerEnvs::Apply(L, env); });
}

const bool g_runnerInstalled = (SetLuaTextRunner(&RunTextForLink), true);

}  // namespace

int cScriptPeerEnvs::Apply(lua_State* L, cPeerEnvs::cUse& use) {
  (void)g_runnerInstalled;
  if (cPeerEnvScope::Current() == nullptr) return 0;
  // As a group's link texts: compiled without tail calls (cCmd::LoadText).
  if (const int rc = RecompileWithoutTailCalls(L); rc != 0) return rc;
  stEnvs* envs = nullptr;
  if (lua_cpcall(L, &FindEnvs, &envs) != 0) {
    lua_remove(L, -2);  // the chunk; the message stays
    return LUA_ERRRUN;
  }
  return envs->envs.Apply(L, use) ? 0 : LUA_ERRRUN;
}
