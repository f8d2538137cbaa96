// The checks on the Lua builtins that reach the operating system (GuardOsBuiltins, declared
// with the rights in cmd_rights.h).
#include <lua.hpp>

#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/long_call_guard.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/os_wait_guard.h"
#include "tessel/core/pattern_guard.h"

namespace {

// One entry per builtin name, shared by every state (the same C functions everywhere); entries
// are never removed, so the guards may point at them.
stCmdFunc& BuiltinFunc(const std::string& name) {
  static auto* lock = new std::mutex;
  static auto* funcs = new std::map<std::string, stCmdFunc>;
  std::lock_guard<std::mutex> hold(*lock);
  return funcs->try_emplace(name, stCmdFunc{name, eCmdRight::kShell, nullptr, nullptr})
      .first->second;
}

// With a key and its value on top of the stack: stores the value guarded under the key in the
// table at `table` (a value that is no function is left as it is).
void GuardField(lua_State* L, int table, const std::string& name) {
  if (!lua_isfunction(L, -1)) {
    lua_pop(L, 2);
    return;
  }
  cCmdFuncs::PushGuarded(L, lua_gettop(L), BuiltinFunc(name));
  lua_remove(L, -2);
  lua_settable(L, table);
}

void GuardNamed(lua_State* L, int table, const char* field, const std::string& name) {
  lua_pushstring(L, field);
  lua_getfield(L, table, field);
  GuardField(L, table, name);
}

// Every function of the table at global `lib` ("io", "debug"), or the names given.
void GuardLibrary(lua_State* L, const char* lib, const std::vector<const char*>& only) {
  lua_getfield(L, LUA_GLOBALSINDEX, lib);
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  const int table = lua_gettop(L);
  std::vector<std::string> names;
  if (only.empty()) {
    for (lua_pushnil(L); lua_next(L, table) != 0; lua_pop(L, 1))
      if (lua_type(L, -2) == LUA_TSTRING && lua_isfunction(L, -1))
        names.emplace_back(lua_tostring(L, -2));
  } else {
    names.assign(only.begin(), only.end());
  }
  for (const std::string& name : names)
    GuardNamed(L, table, name.c_str(), std::string(lib) + "." + name);
  lua_pop(L, 1);
}

// Lua makes the files' metatable its own __index, so any file hands it out (`io.stdout.__index`):
// a command from a link could change the one table every file of the state shares, and a method
// or a finaliser of its choosing would run later in the command of whoever uses a file, with
// that command's rights. A table of the methods alone takes the place of __index: files read
// their methods from it, and no field of a file leads to a table.
void SeparateFileMethods(lua_State* L, int meta, const std::vector<std::string>& names) {
  lua_getfield(L, meta, "__index");
  const bool own = lua_rawequal(L, -1, meta) != 0;
  lua_pop(L, 1);
  if (!own) return;
  lua_createtable(L, 0, static_cast<int>(names.size()));
  for (const std::string& name : names) {
    lua_getfield(L, meta, name.c_str());
    lua_setfield(L, -2, name.c_str());
  }
  lua_setfield(L, meta, "__index");
}

// The methods of open files.
void GuardFileMethods(lua_State* L) {
  luaL_getmetatable(L, LUA_FILEHANDLE);
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  const int table = lua_gettop(L);
  std::vector<std::string> names;
  for (lua_pushnil(L); lua_next(L, table) != 0; lua_pop(L, 1))
    if (lua_type(L, -2) == LUA_TSTRING && lua_isfunction(L, -1) &&
        std::string(lua_tostring(L, -2)).rfind("__", 0) != 0)
      names.emplace_back(lua_tostring(L, -2));
  for (const std::string& name : names) GuardNamed(L, table, name.c_str(), "file:" + name);
  SeparateFileMethods(L, table, names);
  // getmetatable(io.stdout).__gc = function() while 1 do end end ran the loop with the hooks off
  // at the next file collected, holding the worker for good.
  lua_getfield(L, table, "__metatable");
  if (lua_isnil(L, -1)) GiveMetatableFace(L, table);
  lua_pop(L, 2);
}

// package.loadlib and every entry of package.loaders.
void GuardPackage(lua_State* L) {
  GuardLibrary(L, "package", {"loadlib"});
  lua_getfield(L, LUA_GLOBALSINDEX, "package");
  if (lua_istable(L, -1)) {
    lua_getfield(L, -1, "loaders");
    if (lua_istable(L, -1)) {
      const int loaders = lua_gettop(L);
      for (int i = 1;; ++i) {
        lua_pushinteger(L, i);
        lua_rawgeti(L, loaders, i);
        if (lua_isnil(L, -1)) {
          lua_pop(L, 2);
          break;
        }
        GuardField(L, loaders, "package.loaders");
      }
    }
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
}

// Lua's print, written through std::cout rather than straight to the C library's stdout, so that
// a narrowed account's print keeps to the console's bound (and cleaning) like its other lines.
int ConsolePrint(lua_State* L) {
  const int count = lua_gettop(L);
  std::string line;
  lua_getglobal(L, "tostring");
  for (int i = 1; i <= count; ++i) {
    lua_pushvalue(L, -1);
    lua_pushvalue(L, i);
    lua_call(L, 1, 1);
    size_t length = 0;
    const char* text = lua_tolstring(L, -1, &length);
    if (text == nullptr) return luaL_error(L, "'tostring' must return a string to 'print'");
    if (i > 1) line += '\t';
    line.append(text, length);
    lua_pop(L, 1);
  }
  std::cout << line << std::endl;
  return 0;
}

// Every state the base library makes gets the checks of the groups' states.
void GuardScriptState(lua_State* L) {
  GuardOsBuiltins(L);
  GuardPatternSearch(L);
  GuardLongCalls(L);
  LimitScriptState(L);
}

// ... is closed as theirs are: the finalisers left there keep to the time limit; and what it
// runs where no command runs (a timer's call, a link's callback) runs as a command of its own.
const bool g_installed =
    (SetLuaStateGuard(&GuardScriptState), SetLuaStateCloser(&CloseLimitedLuaState),
     SetLuaStateCaller(&CallAsCommand), true);

}  // namespace

void GuardOsBuiltins(lua_State* L) {
  (void)g_installed;
  BoundOsWaits(L);
  for (const char* name : {"dofile", "loadfile", "require"})
    GuardNamed(L, LUA_GLOBALSINDEX, name, name);
  GuardLibrary(L, "os", {"execute", "remove", "rename", "exit", "getenv", "tmpname", "setlocale"});
  GuardLibrary(L, "io", {});
  GuardLibrary(L, "debug", {});
  GuardPackage(L);
  GuardFileMethods(L);
  lua_getglobal(L, "print");
  if (lua_isfunction(L, -1)) lua_register(L, "print", &ConsolePrint);
  lua_pop(L, 1);
}
