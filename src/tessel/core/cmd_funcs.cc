#include "tessel/core/cmd_funcs.h"

#include <lua.hpp>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "tessel/core/cmd_categories.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/denied_log.h"
#include "tessel/core/peer_sandbox.h"

namespace {

// Every group's table, for the checks of account rules; groups are made on any thread.
std::mutex& GroupsLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::vector<const cCmdFuncs*>& Groups() {
  static auto* groups = new std::vector<const cCmdFuncs*>;
  return *groups;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

// Raises the error on top again; called from the guard, the function had no name of its own,
// so an argument error names it as the caller wrote it.
int RaiseNamed(lua_State* L, const stCmdFunc& func) {
  const char* message = lua_tostring(L, -1);
  const char* unnamed = message != nullptr ? std::strstr(message, " to '?'") : nullptr;
  if (unnamed != nullptr) {
    lua_pushlstring(L, message, static_cast<size_t>(unnamed - message) + 5);
    lua_pushlstring(L, func.name.data(), func.name.size());
    lua_pushstring(L, unnamed + 6);
    lua_concat(L, 3);
  }
  return lua_error(L);
}

int GuardedCall(lua_State* L);

// Whether a function on the stack was defined by a link whose rights are not the current ones.
bool DefinedElsewhere(lua_State* L) {
  return DefinerRights(L) != nullptr;
}

// In a coroutine, where a yield must stay possible, the call itself is checked against the rights
// of the links that defined the functions calling it: false with the refusal on top.
bool DefinersAllow(lua_State* L, const stCmdFunc& func) {
  const CmdRightsPtr definers = DefinerRights(L);
  if (!definers || definers->Allows(func)) return true;
  const std::string line = RefusalLine(definers->account, func.name, func.right);
  cDeniedLog::Instance().Note(definers->account, definers->origin, func.name,
                              CmdRightName(func.right));
  lua_pushlstring(L, line.data(), line.size());
  return false;
}

bool OnMainThread(lua_State* L) {
  const bool main = lua_pushthread(L) != 0;
  lua_pop(L, 1);
  return main;
}

// Calls the guard again, without this step, with the lesser of the current rights and theirs; a
// protected call, so that the scope ends before the error goes on. False: the error is on top.
bool CallAsDefiners(lua_State* L) {
  const int args = lua_gettop(L);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_pushvalue(L, lua_upvalueindex(2));
  lua_pushboolean(L, 1);
  lua_pushcclosure(L, &GuardedCall, 3);
  lua_insert(L, 1);
  const cCmdRightsScope scope(DefinerRights(L, 2));
  return lua_pcall(L, args, LUA_MULTRET, 0) == 0;
}

// A guarded function: checks the rights, then calls the function in place when it is a plain C
// function (a yield stays possible), else through Lua. Upvalues: the function, its entry (and a
// third while it runs with the rights of the links that defined the functions calling it: what it
// checks itself and the origin of what it sends on are theirs as well; in a coroutine only the
// call itself is checked against them).
int GuardedCall(lua_State* L) {
  auto* func = static_cast<stCmdFunc*>(lua_touserdata(L, lua_upvalueindex(2)));
  CheckCmdCall(L, *func);
  if (lua_isnone(L, lua_upvalueindex(3)) && OnMainThread(L) && DefinedElsewhere(L)) {
    if (!CallAsDefiners(L)) return lua_error(L);
    return lua_gettop(L);
  }
  if (!OnMainThread(L) && !DefinersAllow(L, *func)) return lua_error(L);
  if (func->direct != nullptr) {
    const int results = func->direct(L);
    if (results >= 0) CheckNoRefusal(L);
    return results;
  }
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  if (lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0) != 0) return RaiseNamed(L, *func);
  CheckNoRefusal(L);
  return lua_gettop(L);
}

// The globals' __newindex while a group binds: enters a function under its name and stores it
// guarded; any other value is stored as it was given.
int RecordGlobal(lua_State* L) {
  auto* funcs = static_cast<cCmdFuncs*>(lua_touserdata(L, lua_upvalueindex(1)));
  if (lua_type(L, 2) == LUA_TSTRING && lua_iscfunction(L, 3)) {
    lua_settop(L, 3);
    funcs->Define(L, lua_tostring(L, 2));
    return 0;
  }
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

cCmdFuncs::~cCmdFuncs() {
  std::lock_guard<std::mutex> hold(GroupsLock());
  auto& groups = Groups();
  groups.erase(std::remove(groups.begin(), groups.end(), this), groups.end());
}

void cCmdFuncs::SetGroup(std::string_view word) {
  std::lock_guard<std::mutex> hold(GroupsLock());
  m_word = word;
  if (StandardLevel(word) >= 0) m_level = StandardLevel(word);
  if (std::find(Groups().begin(), Groups().end(), this) == Groups().end()) Groups().push_back(this);
}

void cCmdFuncs::SetLevel(int level) {
  std::lock_guard<std::mutex> hold(GroupsLock());
  if (m_level < 0) m_level = level;
}

void cCmdFuncs::Add(std::string_view name) {
  if (Has(name)) return;
  stFunc func{std::string(name), StandardRight(m_word, name), this, nullptr};
  m_funcs.emplace(std::string(name), std::move(func));
}

const cCmdFuncs::stFunc* cCmdFuncs::Find(std::string_view name) const {
  auto it = m_funcs.find(name);
  return it != m_funcs.end() ? &it->second : nullptr;
}

void cCmdFuncs::Define(lua_State* L, const char* name) {
  Add(name);
  auto it = m_funcs.find(std::string_view(name));
  PushGuarded(L, lua_gettop(L), it->second);
  lua_remove(L, -2);
  // Raw: while the group binds, the globals' __newindex is the recorder that calls this.
  lua_pushstring(L, name);
  lua_insert(L, -2);
  lua_rawset(L, LUA_GLOBALSINDEX);
}

void cCmdFuncs::PushGuarded(lua_State* L, int index, stCmdFunc& func) {
  // A plain C function (no upvalues) is called in place by the guard, which then needs the
  // function's own environment.
  func.direct = nullptr;
  if (lua_iscfunction(L, index) && lua_getupvalue(L, index, 1) == nullptr) {
    func.direct = lua_tocfunction(L, index);
  } else if (lua_iscfunction(L, index)) {
    lua_pop(L, 1);
  }
  lua_pushvalue(L, index);
  lua_pushlightuserdata(L, &func);
  lua_pushcclosure(L, &GuardedCall, 2);
  lua_getfenv(L, index);
  lua_setfenv(L, -2);
}

bool cCmdFuncs::KnownGroup(std::string_view prefix) {
  for (int level = 0; level < kStandardGroups; ++level)
    if (StartsWith(StandardWords()[level], prefix)) return true;
  std::lock_guard<std::mutex> hold(GroupsLock());
  for (const cCmdFuncs* group : Groups())
    if (StartsWith(group->m_word, prefix)) return true;
  return false;
}

bool cCmdFuncs::KnownLevel(int level) {
  if (level >= 0 && level < kStandardGroups) return true;
  std::lock_guard<std::mutex> hold(GroupsLock());
  for (const cCmdFuncs* group : Groups())
    if (group->m_level == level) return true;
  return false;
}

bool cCmdFuncs::KnownFunction(std::string_view prefix, int level, std::string_view func) {
  for (int standard = 0; standard < kStandardGroups; ++standard) {
    const bool named =
        prefix.empty() ? standard == level : StartsWith(StandardWords()[standard], prefix);
    if (named && StandardFunction(standard, func)) return true;
  }
  std::lock_guard<std::mutex> hold(GroupsLock());
  for (const cCmdFuncs* group : Groups()) {
    const bool named = prefix.empty() ? group->m_level == level : StartsWith(group->m_word, prefix);
    if (named && group->Has(func)) return true;
  }
  return false;
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
