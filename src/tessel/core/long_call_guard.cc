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

// Elements table.concat joins between two looks at the clock.
constexpr lua_Integer kConcatChunk = 1 << 14;

// table.concat of a long range, in a command with a time limit: Lua's function joins it in C at
// one instruction for the hook (a table of 4 million numbers, each made a string, held the worker
// 3 s under a 1 s limit). The range is joined by Lua's own function kConcatChunk elements at a
// time, the clock read before each, the pieces joined with the separator: the text and the
// errors (naming the element) are Lua's.
int CheckedConcat(lua_State* L) {
  const int sepType = lua_type(L, 2);
  if (!LuaCommandTimed() || lua_type(L, 1) != LUA_TTABLE ||
      !(sepType <= LUA_TNIL || sepType == LUA_TSTRING || sepType == LUA_TNUMBER) ||
      !(lua_isnoneornil(L, 3) || lua_isnumber(L, 3)) ||
      !(lua_isnoneornil(L, 4) || lua_isnumber(L, 4)))
    return Checked(L);
  const lua_Integer first = luaL_optint(L, 3, 1);
  const lua_Integer last = luaL_opt(L, luaL_checkint, 4, luaL_getn(L, 1));
  if (last - first < kConcatChunk) return Checked(L);
  size_t sepLength = 0;
  const char* sep = luaL_optlstring(L, 2, "", &sepLength);
  const lua_CFunction concat = lua_tocfunction(L, lua_upvalueindex(1));
  lua_settop(L, 4);
  luaL_Buffer joined;
  luaL_buffinit(L, &joined);
  for (lua_Integer from = first; from <= last; from += kConcatChunk) {
    if (LuaCommandOverdue()) StopOverdueCommand(L);
    const lua_Integer to = std::min(last, from + kConcatChunk - 1);
    lua_pushinteger(L, from);
    lua_replace(L, 3);
    lua_pushinteger(L, to);
    lua_replace(L, 4);
    concat(L);
    luaL_addvalue(&joined);
    if (to < last) luaL_addlstring(&joined, sep, sepLength);
  }
  luaL_pushresult(&joined);
  return 1;
}

// The registry's key of the metatable newproxy's metatables get (the proxies' mark).
// Finalisers running inside one another at most (Lua's own bound on nested C calls).
constexpr int kMaxFinaliserDepth = 200;
const char kProxyGuardKey[] = "tessel.proxy.guard";

// A finaliser of Lua code (upvalue 1), called by the collector with its userdata. Lua 5.1 turns
// the hooks off while a finaliser runs, so the time limit never stopped one and
// `getmetatable(p).__gc = function() while true do end end` held the worker for good once p
// was collected. The function runs in a coroutine of its own, where the hook is on; an error
// (the time limit's too) goes on to whatever the collection ran in, as a finaliser's does.
// A coroutine counts its C calls from nothing, so finalisers that collect (running the next one
// inside) are held here to the depth Lua allows C calls.
int RunFinaliser(lua_State* L) {
  static thread_local int depth = 0;
  if (depth >= kMaxFinaliserDepth) luaL_error(L, "C stack overflow");
  lua_State* co = lua_newthread(L);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_pushvalue(L, 1);
  lua_xmove(L, co, 2);
  ++depth;
  const int status = lua_resume(co, 1);
  --depth;
  if (status == LUA_YIELD) luaL_error(L, "attempt to yield across metamethod/C-call boundary");
  if (status != 0) {
    lua_xmove(co, L, 1);
    lua_error(L);
  }
  return 0;
}

bool IsKey(lua_State* L, int index, std::string_view key) {
  return lua_type(L, index) == LUA_TSTRING && std::string_view(lua_tostring(L, index)) == key;
}

// A proxy's metatable R is never handed out: Lua's collector reads R.__gc as it stands, and an
// assignment to a field R holds already (a second __gc), or rawset, stored a finaliser past any
// __newindex, which then ran with the hooks off and held the worker for good. getmetatable gives
// an empty face F of R (R.__metatable) whose fields read and write R's (upvalue 1), and rawset on
// F writes through it too, so every __gc stored in R runs as RunFinaliser.
// __index of F: R's field; __metatable reads nil while it is F itself, as R's did before.
int ReadProxyField(lua_State* L) {
  lua_settop(L, 2);
  lua_rawget(L, lua_upvalueindex(1));
  if (lua_rawequal(L, -1, 1)) lua_pushnil(L);
  return 1;
}

// __newindex of F: a Lua function stored as __gc runs as RunFinaliser; __metatable set to nil
// makes getmetatable give F again.
int WriteProxyField(lua_State* L) {
  lua_settop(L, 3);
  if (IsKey(L, 2, "__gc") && lua_isfunction(L, 3) && !lua_iscfunction(L, 3)) {
    lua_pushcclosure(L, &RunFinaliser, 1);
  } else if (IsKey(L, 2, "__metatable") && lua_isnil(L, 3)) {
    lua_settop(L, 2);
    lua_pushvalue(L, 1);
  }
  lua_rawset(L, lua_upvalueindex(1));
  return 0;
}

// Pushes the __newindex of the table at `index`'s metatable when it is WriteProxyField (the
// table is a proxy's face); false, pushing nothing, otherwise.
bool PushFaceWriter(lua_State* L, int index) {
  if (lua_type(L, index) != LUA_TTABLE || !lua_getmetatable(L, index)) return false;
  lua_pushliteral(L, "__newindex");
  lua_rawget(L, -2);
  lua_remove(L, -2);
  if (lua_tocfunction(L, -1) == &WriteProxyField) return true;
  lua_pop(L, 1);
  return false;
}

// rawset (Lua's, upvalue 1): on a proxy's face it writes R's field as an assignment does.
int CheckedRawset(lua_State* L) {
  if (lua_gettop(L) < 3 || !PushFaceWriter(L, 1)) return Checked(L);
  lua_insert(L, 1);
  lua_settop(L, 4);
  lua_pushvalue(L, 2);
  lua_insert(L, 1);
  lua_call(L, 3, 0);
  return 1;
}

}  // namespace

void GiveMetatableFace(lua_State* L, int meta) {
  if (meta < 0) meta = lua_gettop(L) + meta + 1;
  lua_newtable(L);
  lua_createtable(L, 0, 3);
  lua_pushvalue(L, meta);
  lua_pushcclosure(L, &ReadProxyField, 1);
  lua_setfield(L, -2, "__index");
  lua_pushvalue(L, meta);
  lua_pushcclosure(L, &WriteProxyField, 1);
  lua_setfield(L, -2, "__newindex");
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "__metatable");
  lua_setmetatable(L, -2);
  lua_setfield(L, meta, "__metatable");
}

namespace {

// Whether the userdata at 1 is a proxy: its metatable is one Lua's newproxy (upvalue 1) made and
// keeps in its own upvalue. true when that list cannot be read (Lua's function then decides).
bool IsProxy(lua_State* L) {
  if (!lua_getmetatable(L, 1)) return false;
  if (lua_getupvalue(L, lua_upvalueindex(1), 1) == nullptr) lua_pushnil(L);
  bool proxy = true;
  if (lua_istable(L, -1)) {
    lua_pushvalue(L, -2);
    lua_rawget(L, -2);
    proxy = lua_toboolean(L, -1) != 0;
    lua_pop(L, 1);
  }
  lua_pop(L, 2);
  return proxy;
}

// newproxy (Lua's, upvalue 1, a closure of its own): a proxy with a metatable of its own
// (newproxy(true)) gets the guard on that metatable. Lua's function is called, so its argument
// error (also for a userdata that is no proxy, which Lua's function would name '?') is raised
// here first, to name newproxy as Lua does.
int CheckedNewproxy(lua_State* L) {
  if (LuaCommandOverdue()) StopOverdueCommand(L);
  const int type = lua_type(L, 1);
  luaL_argcheck(L, type <= LUA_TBOOLEAN || (type == LUA_TUSERDATA && IsProxy(L)), 1,
                "boolean or proxy expected");
  lua_settop(L, 1);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, 1, 1);
  if (!lua_getmetatable(L, 1)) return 1;
  if (lua_getmetatable(L, 2)) {
    lua_settop(L, 1);
    return 1;
  }
  // The mark of a metatable that has its face: one for every proxy of the state, no code's to
  // change.
  lua_getfield(L, LUA_REGISTRYINDEX, kProxyGuardKey);
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    lua_createtable(L, 0, 1);
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    lua_pushvalue(L, -1);
    lua_setfield(L, LUA_REGISTRYINDEX, kProxyGuardKey);
  }
  lua_setmetatable(L, 2);
  GiveMetatableFace(L, 2);
  lua_settop(L, 1);
  return 1;
}

// Puts CheckedNewproxy in the place of the global newproxy (once).
void GuardNewproxy(lua_State* L) {
  lua_getglobal(L, "newproxy");
  if (!lua_iscfunction(L, -1) || lua_tocfunction(L, -1) == &CheckedNewproxy) {
    lua_pop(L, 1);
    return;
  }
  lua_pushcclosure(L, &CheckedNewproxy, 1);
  lua_setglobal(L, "newproxy");
}

// Whether the value on top is a C function without upvalues (not already wrapped).
bool IsPlainCFunction(lua_State* L) {
  if (!lua_iscfunction(L, -1)) return false;
  if (lua_getupvalue(L, -1, 1) == nullptr) return true;
  lua_pop(L, 1);
  return false;
}

lua_CFunction GuardOf(const char* library, std::string_view name) {
  if (library == nullptr) return name == "rawset" ? &CheckedRawset : &Checked;
  if (name == "rep") return &CheckedRep;
  if (name == "sort") return &CheckedSort;
  if (name == "concat") return &CheckedConcat;
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
  GuardFields(L, nullptr, {"loadstring", "load", "collectgarbage", "rawset"});
  GuardNewproxy(L);
}
