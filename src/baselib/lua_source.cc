// Loading Lua source only. Lua 5.1 takes any chunk whose first byte is ESC as precompiled
// bytecode, which it does not verify: crafted bytecode reads and writes outside the interpreter's
// memory. Every text and file this library hands to Lua comes through here, and the states it
// makes get loadstring, load, loadfile, dofile and a module searcher that load source the same
// way.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/home_file.h"
#include "tessel/contracts/baselib.h"
#include "tessel/util/text_file_util.h"

namespace {

// The first byte of Lua's binary-chunk signature "\x1bLua".
constexpr char kBinaryMark = '\x1b';

// The chunk name as Lua shows it in messages: "@file" and "=name" without their mark.
const char* ShownChunk(const char* chunkName) {
  if (chunkName == nullptr) return "?";
  return (chunkName[0] == '@' || chunkName[0] == '=') ? chunkName + 1 : chunkName;
}

// Lua's own convention for a failed load: nil and the message.
int LoadResult(lua_State* L, int status) {
  if (status == 0) return 1;
  lua_pushnil(L);
  lua_insert(L, -2);
  return 2;
}

int SourceLoadstring(lua_State* L) {
  size_t size = 0;
  const char* text = luaL_checklstring(L, 1, &size);
  const char* chunk = luaL_optstring(L, 2, text);
  return LoadResult(L, LoadLuaSource(L, text, size, chunk));
}

// load(reader [, chunkname]): the pieces are joined first, then loaded as one source text.
int SourceLoad(lua_State* L) {
  luaL_checktype(L, 1, LUA_TFUNCTION);
  const char* chunk = luaL_optstring(L, 2, "=(load)");
  lua_settop(L, 2);
  lua_pushliteral(L, "");
  for (;;) {
    lua_pushvalue(L, 1);
    lua_call(L, 0, 1);
    if (lua_isnil(L, -1) || (lua_isstring(L, -1) && lua_objlen(L, -1) == 0)) {
      lua_pop(L, 1);
      break;
    }
    if (!lua_isstring(L, -1)) return luaL_error(L, "reader function must return a string");
    lua_concat(L, 2);
  }
  size_t size = 0;
  const char* text = lua_tolstring(L, 3, &size);
  return LoadResult(L, LoadLuaSource(L, text, size, chunk));
}

// Standard input is the console's: a script never reads a chunk from it.
int LoadNamedFile(lua_State* L) {
  const char* path = luaL_checkstring(L, 1);
  return LoadLuaSourceFile(L, path);
}

int SourceLoadfile(lua_State* L) {
  return LoadResult(L, LoadNamedFile(L));
}

int SourceDofile(lua_State* L) {
  lua_settop(L, 1);
  if (LoadNamedFile(L) != 0) return lua_error(L);
  lua_call(L, 0, LUA_MULTRET);
  return lua_gettop(L) - 1;
}

// package.loaders[2], the searcher of Lua modules along package.path, loading source only.
// Works on Lua strings alone: a Lua error may leave it at any point.
int SourceSearcher(lua_State* L) {
  const char* name = luaL_gsub(L, luaL_checkstring(L, 1), ".", LUA_DIRSEP);
  lua_getglobal(L, "package");
  if (lua_istable(L, -1)) lua_getfield(L, -1, "path");
  const char* path = lua_tostring(L, -1);
  if (path == nullptr) return luaL_error(L, LUA_QL("package.path") " must be a string");
  lua_pushliteral(L, "");  // the places tried, for the message
  while (*path != '\0') {
    const char* end = std::strchr(path, *LUA_PATHSEP);
    if (end == nullptr) end = path + std::strlen(path);
    lua_pushlstring(L, path, static_cast<size_t>(end - path));
    path = *end != '\0' ? end + 1 : end;
    const char* file = luaL_gsub(L, lua_tostring(L, -1), LUA_PATH_MARK, name);
    lua_remove(L, -2);
    // Looked for without opening it: a pipe on the path would hold the caller at the open.
    if (::access(file, R_OK) == 0) {
      if (LoadLuaSourceFile(L, file) != 0)
        return luaL_error(L, "error loading module " LUA_QS " from file " LUA_QS ":\n\t%s",
                          lua_tostring(L, 1), file, lua_tostring(L, -1));
      return 1;
    }
    lua_pushfstring(L, "\n\tno file " LUA_QS, file);
    lua_remove(L, -2);
    lua_concat(L, 2);
  }
  return 1;
}

}  // namespace

int LoadLuaSource(lua_State* L, const char* text, size_t size, const char* chunkName) {
  // A byte-order mark some editors put first is no Lua: dropped (as the value files drop it)
  // rather than failing the whole script on its first byte.
  if (std::string_view(text, size).starts_with(kByteOrderMark)) {
    text += kByteOrderMark.size();
    size -= kByteOrderMark.size();
  }
  if (size > 0 && text[0] == kBinaryMark) {
    lua_pushfstring(L, "%s: precompiled chunk refused, only source text is loaded",
                    ShownChunk(chunkName));
    return LUA_ERRSYNTAX;
  }
  const int rc = luaL_loadbuffer(L, text, size, chunkName);
  return rc == 0 && NoTailCallsHeld() ? RecompileWithoutTailCalls(L) : rc;
}

int LoadLuaSource(lua_State* L, const char* text, const char* chunkName) {
  return LoadLuaSource(L, text, text != nullptr ? std::strlen(text) : 0, chunkName);
}

// As luaL_loadfile: a first line starting with '#' is skipped (its line end kept, so line
// numbers hold) and the chunk is named "@path".
int LoadLuaSourceFile(lua_State* L, const char* path) {
  int status = 0;
  {
    // Read whole and never waited on: a pipe, a device or a file past the bound is refused.
    std::string text, why;
    const platform::eHomeFile got =
        platform::ReadHomeFile(path != nullptr ? path : "", platform::kScriptFileBytes, text, &why);
    if (got != platform::eHomeFile::kRead) {
      if (got == platform::eHomeFile::kMissing)
        lua_pushfstring(L, "cannot open %s", path != nullptr ? path : "(null)");
      else
        lua_pushstring(L, why.c_str());
      return LUA_ERRFILE;
    }
    if (std::string_view(text).starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
    if (!text.empty() && text[0] == '#') {
      const size_t end = text.find('\n');
      text.erase(0, end == std::string::npos ? text.size() : end);
    }
    const std::string chunk = std::string("@") + path;
    const size_t start = !text.empty() && text[0] == '\n' ? 1 : 0;
    status = text.size() > start && text[start] == kBinaryMark
                 ? LoadLuaSource(L, text.data() + start, text.size() - start, chunk.c_str())
                 : LoadLuaSource(L, text.data(), text.size(), chunk.c_str());
  }
  return status;
}

void UseSourceOnlyLoaders(lua_State* L) {
  static const Tlua_Funcs kLoaders[] = {
      {"loadstring", &SourceLoadstring}, {"load", &SourceLoad}, {"loadfile", &SourceLoadfile},
      {"dofile", &SourceDofile},         {nullptr, nullptr},
  };
  RegisterScript(L, kLoaders);
  lua_getglobal(L, "package");
  if (lua_istable(L, -1)) {
    lua_getfield(L, -1, "loaders");
    if (lua_istable(L, -1)) {
      lua_pushcfunction(L, &SourceSearcher);
      lua_rawseti(L, -2, 2);
    }
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
}
