#include "tessel/core/os_wait_guard.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <lua.hpp>

#include "tessel/core/config_stores.h"
#include "tessel/core/lua_limits.h"
#include "tessel/util/shell.h"

namespace {

using Clock = std::chrono::steady_clock;

// The shell lines' time limit when none is configured, and the longest, as the shell jobs that
// run lines off the worker hold them.
constexpr int kDefaultShellSeconds = 60;
constexpr int kMaxShellSeconds = 4294967;

int ShellSeconds() {
  const int limit = GetConfigValue("shell_time_limit", kDefaultShellSeconds);
  return limit > 0 ? std::min(limit, kMaxShellSeconds) : kDefaultShellSeconds;
}

// Lua's own function, kept as upvalue 1, run in this call's frame (whose environment is its own).
int CallOwn(lua_State* L) {
  return lua_tocfunction(L, lua_upvalueindex(1))(L);
}

// system() waited for the line for as long as it ran, with the console's input as the line's:
// a line that waited (for input, for the network, for ever) held every link of the process.
// No object with a destructor is alive when the error is raised.
int BoundedExecute(lua_State* L) {
  if (lua_isnoneornil(L, 1)) return CallOwn(L);  // whether a shell exists
  const char* line = luaL_checkstring(L, 1);
  const int seconds = ShellSeconds();
  stShellWait wait;
  {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    wait =
        RunShellWhile(line, [deadline] { return !LuaCommandOverdue() && Clock::now() < deadline; });
  }
  if (!wait.killed) {
    lua_pushinteger(L, wait.waitStatus);
    return 1;
  }
  char what[256];
  std::snprintf(what, sizeof what, "os.execute killed its line (%.160s): ", line);
  if (LuaCommandOverdue()) StopOverdueCommand(L, what);
  return luaL_error(L, "%sit ran %d s (shell_time_limit in config/config_int.ini)", what, seconds);
}

// Puts `fn` in place of the function `name` of the table on top, with Lua's function as its
// upvalue and that function's environment. Only Lua's own functions (C functions without
// upvalues) are replaced, so a second call changes nothing.
void Replace(lua_State* L, const char* name, lua_CFunction fn) {
  lua_getfield(L, -1, name);
  if (!lua_iscfunction(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  if (lua_getupvalue(L, -1, 1) != nullptr) {
    lua_pop(L, 2);
    return;
  }
  lua_getfenv(L, -1);
  lua_pushvalue(L, -2);
  lua_pushcclosure(L, fn, 1);
  lua_insert(L, -2);
  lua_setfenv(L, -2);
  lua_setfield(L, -3, name);
  lua_pop(L, 1);
}

}  // namespace

void BoundOsWaits(lua_State* L) {
  lua_getglobal(L, "os");
  if (lua_istable(L, -1)) Replace(L, "execute", &BoundedExecute);
  lua_pop(L, 1);
}
