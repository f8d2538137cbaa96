// The library's operating-system functions for Lua: dofile and require that find files in the
// script folder, DeleteFolder and ZipDir. Paths use '/' or '\'.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "baselib/zip_store.h"
#include "platform/folders.h"
#include "tessel/contracts/baselib.h"

namespace fs = std::filesystem;

namespace {

std::string Slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// The file a script path names: as given, with ".lua" added, or either under the script folder.
std::string ResolveScriptFile(const std::string& given) {
  const std::string path = Slashes(given);
  std::error_code ec;
  for (const std::string& p : {path, path + ".lua"}) {
    if (fs::is_regular_file(p, ec)) return p;
  }
  const std::string found = cScriptManager::Instance().FindFile(path);
  return found.empty() ? path : found;
}

// A folder path the remote operator may touch: relative, inside the working directory, and
// not the working directory itself. The folders above it must really lie there too: through a
// link among them ('far/keep', far a link to another place) DeleteFolder removed and ZipDir
// packed a folder out of it. (A link named itself is removed alone, and packed as what it
// names, as before.)
bool IsSafeFolder(const std::string& path) {
  const fs::path p(path);
  if (path.empty() || p.is_absolute()) return false;
  int depth = 0;
  for (const fs::path& part : p) {
    if (part == "..") return false;
    if (!part.empty() && part != ".") ++depth;
  }
  return depth > 0 && (!p.has_parent_path() || platform::LiesInFolder(".", p.parent_path()));
}

// The folder holding `named`, opened and judged, as opened, to lie in the working directory: a
// folder above it traded for a link after IsSafeFolder looked leads nowhere outside (through
// the descriptor, the named folder is looked up in the very folder judged). The descriptor, or
// -1.
int OpenFolderAbove(const fs::path& named) {
  return platform::OpenFolderInFolder(".", named.has_parent_path() ? named.parent_path() : ".");
}

// Loads a file as a chunk; on failure raises the Lua error. The path string is gone before
// any Lua error is raised.
void LoadScriptFile(lua_State* L, const char* name) {
  int rc = 0;
  {
    const std::string file = ResolveScriptFile(name);
    rc = LoadLuaSourceFile(L, file.c_str());
  }
  if (rc != 0) lua_error(L);
}

int OsDofile(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  lua_settop(L, 1);
  LoadScriptFile(L, name);
  lua_call(L, 0, LUA_MULTRET);
  return lua_gettop(L) - 1;
}

// How far up the call stack require looks for the module's own chunk: a loop that hides its
// earlier turn deeper runs that many calls a turn, which the command's time limit counts.
constexpr int kLoopLevels = 1000;

// Whether the main chunk of `file` (by device and inode, so under any of its names) runs on the
// stack now: a module that requires itself as it loads.
bool ModuleLoading(lua_State* L, const std::string& file) {
  struct stat target {};
  if (::stat(file.c_str(), &target) != 0) return false;
  lua_Debug ar{};
  for (int level = 0; level < kLoopLevels && lua_getstack(L, level, &ar) != 0; ++level) {
    if (lua_getinfo(L, "S", &ar) == 0 || ar.source[0] != '@' || std::strcmp(ar.what, "main") != 0)
      continue;
    struct stat seen {};
    if (::stat(ar.source + 1, &seen) == 0 && seen.st_dev == target.st_dev &&
        seen.st_ino == target.st_ino)
      return true;
  }
  return false;
}

// require(name): runs the module file once per state ("a.b" is the file a/b.lua) and returns
// what it returned (true when nothing), as kept in package.loaded. A module that requires itself
// while it loads is refused with Lua's own words: each turn read and compiled the whole file
// again, up to Lua's 200 nested calls (a module of 2 MiB held the worker 34 s, in C where no time
// limit looks, and took 1.5 GiB).
int OsRequire(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  lua_settop(L, 1);
  lua_getfield(L, LUA_REGISTRYINDEX, "_LOADED");
  if (!lua_istable(L, 2)) {
    lua_pop(L, 1);
    lua_newtable(L);
    lua_pushvalue(L, -1);
    lua_setfield(L, LUA_REGISTRYINDEX, "_LOADED");
  }
  lua_getfield(L, 2, name);
  if (lua_toboolean(L, -1)) return 1;
  lua_pop(L, 1);
  bool loop = false;
  {
    std::string path = name;
    if (path.find('/') == std::string::npos && path.find('\\') == std::string::npos) {
      std::replace(path.begin(), path.end(), '.', '/');
    }
    loop = ModuleLoading(L, ResolveScriptFile(path));
    lua_pushstring(L, path.c_str());
  }
  if (loop) return luaL_error(L, "loop or previous error loading module " LUA_QS, name);
  LoadScriptFile(L, lua_tostring(L, -1));
  lua_pushvalue(L, 1);
  lua_call(L, 1, 1);
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    lua_pushboolean(L, 1);
  }
  lua_pushvalue(L, -1);
  lua_setfield(L, 2, name);
  return 1;
}

bool DeleteFolder(const char* folder) {
  const std::string path = Slashes(folder);
  if (!IsSafeFolder(path)) {
    std::cout << "DeleteFolder refused " << path << '\n';
    return false;
  }
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const fs::path named(trimmed);
  const int above = OpenFolderAbove(named);
  if (above < 0) {
    std::cout << "DeleteFolder refused " << path << '\n';
    return false;
  }
  const fs::path there = fs::path("/proc/self/fd/" + std::to_string(above)) / named.filename();
  std::error_code ec;
  const bool found = fs::is_directory(there, ec);
  if (found) fs::remove_all(there, ec);
  ::close(above);
  if (!found) std::cout << "DeleteFolder not find " << path << '\n';
  if (found && ec) std::cout << "DeleteFolder " << path << " error " << ec.message() << '\n';
  return found && !ec;
}

// Writes the folder into the archive folder + ".zip", which the script manager can load.
bool ZipDir(const char* folder) {
  std::string path = Slashes(folder);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!IsSafeFolder(path)) {
    std::cout << "ZipDir refused " << path << '\n';
    return false;
  }
  std::string error;
  const bool ok = baselib::ZipWrite(path, path + ".zip", &error);
  std::cout << "ZipDir " << path << (ok ? " ok" : " error " + error) << '\n';
  return ok;
}

Tlua_Funcs g_osFuncs[] = {
    {"dofile", &OsDofile},
    {"require", &OsRequire},
    {"DeleteFolder", luareg::cfunction<&DeleteFolder>},
    {"ZipDir", luareg::cfunction<&ZipDir>},
    {nullptr, nullptr},
};

}  // namespace

Tlua_Funcs* GetOSFuncs() {
  return g_osFuncs;
}
