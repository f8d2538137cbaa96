#include "tessel/core/long_call_guard.h"

#include <lua.hpp>

#include <initializer_list>
#include <string_view>

#include "tessel/core/lua_limits.h"

namespace {

// Lua's function (upvalue 1, a C function without upvalues of its own), run in this call's
// frame once the running command is known to be within its time: its argument errors still
// name it.
int Checked(lua_State* L) {
  if (LuaCommandOverdue()) StopOverdueCommand(L);
  return lua_tocfunction(L, lua_upvalueindex(1))(L);
}

// string.rep: an empty string or a count below one gives "" at once (wrong arguments go to
// Lua's own function, which names them).
int CheckedRep(lua_State* L) {
  size_t length = 0;
  if (lua_isstring(L, 1) && lua_isnumber(L, 2)) {
    lua_tolstring(L, 1, &length);
    if (length == 0 || lua_tointeger(L, 2) <= 0) {
      lua_pushliteral(L, "");
      return 1;
    }
  }
  return Checked(L);
}

// Whether the value on top is a C function without upvalues (not already wrapped).
bool IsPlainCFunction(lua_State* L) {
  if (!lua_iscfunction(L, -1)) return false;
  if (lua_getupvalue(L, -1, 1) == nullptr) return true;
  lua_pop(L, 1);
  return false;
}

// The functions `names` of the library table `library` (the globals when null).
void GuardFields(lua_State* L, const char* library, std::initializer_list<const char*> names) {
  if (library != nullptr) {
    lua_getglobal(L, library);
  } else {
    lua_pushvalue(L, LUA_GLOBALSINDEX);
  }
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  for (const char* name : names) {
    lua_getfield(L, -1, name);
    if (!IsPlainCFunction(L)) {
      lua_pop(L, 1);
      continue;
    }
    const bool rep = library != nullptr && std::string_view(name) == "rep";
    lua_pushcclosure(L, rep ? &CheckedRep : &Checked, 1);
    lua_setfield(L, -2, name);
  }
  lua_pop(L, 1);
}

}  // namespace

void GuardLongCalls(lua_State* L) {
  GuardFields(L, "string", {"rep", "upper", "lower", "reverse"});
  GuardFields(L, "table", {"concat", "sort", "insert", "remove", "maxn"});
  GuardFields(L, nullptr, {"loadstring", "load", "collectgarbage"});
}
