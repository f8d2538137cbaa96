#include "tessel/core/long_call_guard.h"

#include <lua.hpp>

#include <algorithm>
#include <cstdint>
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

// Comparisons of a sort between two looks at the clock; comparing strings costs one more per
// 64 bytes Lua compares.
constexpr std::uint64_t kCheckEvery = 1 << 12;
constexpr std::size_t kBytesPerComparison = 64;
thread_local std::uint64_t t_comparisons = 0;
thread_local std::uint64_t t_nextCheck = kCheckEvery;

// The comparator table.sort gets when none is given: Lua's own `<`, reading the clock as it
// goes (one sort of long strings makes its comparisons in C, each one instruction for the hook).
int TimedLessThan(lua_State* L) {
  std::size_t bytes = 0;
  if (lua_type(L, 1) == LUA_TSTRING && lua_type(L, 2) == LUA_TSTRING)
    bytes = std::min(lua_objlen(L, 1), lua_objlen(L, 2));
  t_comparisons += 1 + bytes / kBytesPerComparison;
  if (t_comparisons >= t_nextCheck) {
    t_nextCheck = t_comparisons + kCheckEvery;
    if (LuaCommandOverdue()) StopOverdueCommand(L);
  }
  lua_pushboolean(L, lua_lessthan(L, 1, 2));
  return 1;
}

// table.sort: a sort without a comparator, in a command with a time limit, compares with
// TimedLessThan, which orders as Lua's own comparison does.
int CheckedSort(lua_State* L) {
  if (lua_type(L, 1) == LUA_TTABLE && lua_isnoneornil(L, 2) && LuaCommandTimed()) {
    lua_settop(L, 1);
    lua_pushcfunction(L, &TimedLessThan);
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

lua_CFunction GuardOf(const char* library, std::string_view name) {
  if (library == nullptr) return &Checked;
  if (name == "rep") return &CheckedRep;
  if (name == "sort") return &CheckedSort;
  return &Checked;
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
    lua_pushcclosure(L, GuardOf(library, name), 1);
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
