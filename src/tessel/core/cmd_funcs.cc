#include "tessel/core/cmd_funcs.h"

#include <lua.hpp>

namespace {

// The globals' __newindex while a group binds: enters a function under its name, then stores
// the value as it was given.
int RecordGlobal(lua_State* L) {
  auto* funcs = static_cast<cCmdFuncs*>(lua_touserdata(L, lua_upvalueindex(1)));
  if (lua_type(L, 2) == LUA_TSTRING && lua_isfunction(L, 3)) funcs->Add(lua_tostring(L, 2));
  lua_rawset(L, 1);
  return 0;
}

// Moves every entry of the table at `from` into the table at `to`, leaving `from` empty; with
// `keep` an entry `to` holds already stays as it is.
void MoveEntries(lua_State* L, int from, int to, bool keep) {
  lua_pushnil(L);
  while (lua_next(L, from) != 0) {
    lua_pushvalue(L, -2);
    lua_rawget(L, to);
    const bool held = !lua_isnil(L, -1);
    lua_pop(L, 1);
    if (!(keep && held)) {
      lua_pushvalue(L, -2);
      lua_insert(L, -2);
      lua_rawset(L, to);
    } else {
      lua_pop(L, 1);
    }
    // Clearing a field met by the traversal is allowed during it.
    lua_pushvalue(L, -1);
    lua_pushnil(L);
    lua_rawset(L, from);
  }
}

}  // namespace

const char* CmdRightName(eCmdRight right) {
  switch (right) {
    case eCmdRight::kRead:
      return "@read";
    case eCmdRight::kWrite:
      return "@write";
    case eCmdRight::kShell:
      return "@shell";
    case eCmdRight::kFiles:
      return "@files";
    case eCmdRight::kNet:
      return "@net";
    case eCmdRight::kAdmin:
      return "@admin";
    case eCmdRight::kUnset:
      break;
  }
  return "";
}

void cCmdFuncs::Add(std::string_view name) {
  if (!Has(name)) m_funcs.emplace(std::string(name), stFunc{});
}

bool cCmdFuncs::SetRight(std::string_view name, eCmdRight right) {
  auto it = m_funcs.find(name);
  if (it == m_funcs.end()) return false;
  it->second.right = right;
  return true;
}

eCmdRight cCmdFuncs::GetRight(std::string_view name) const {
  auto it = m_funcs.find(name);
  return it != m_funcs.end() ? it->second.right : eCmdRight::kUnset;
}

std::vector<std::string> cCmdFuncs::Names() const {
  std::vector<std::string> names;
  names.reserve(m_funcs.size());
  for (const auto& entry : m_funcs) names.push_back(entry.first);
  return names;
}

// The globals move aside while the group binds and come back afterwards (those the binding
// did not set again), so that every name it sets, a builtin's included, passes the recorder;
// reads reach the moved globals through __index.
void cCmdFuncs::Record(lua_State* L, void (*bind)(lua_State*, void*), void* context) {
  lua_newtable(L);
  const int aside = lua_gettop(L);
  MoveEntries(L, LUA_GLOBALSINDEX, aside, false);
  lua_createtable(L, 0, 2);
  lua_pushvalue(L, aside);
  lua_setfield(L, -2, "__index");
  lua_pushlightuserdata(L, this);
  lua_pushcclosure(L, &RecordGlobal, 1);
  lua_setfield(L, -2, "__newindex");
  lua_setmetatable(L, LUA_GLOBALSINDEX);
  bind(L, context);
  lua_pushnil(L);
  lua_setmetatable(L, LUA_GLOBALSINDEX);
  MoveEntries(L, aside, LUA_GLOBALSINDEX, true);
  lua_settop(L, aside - 1);
}
