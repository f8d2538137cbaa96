#include "tessel/core/chunk_cache.h"

#include <lua.hpp>

#include "tessel/contracts/baselib.h"

namespace {

struct stCompile {
  std::string_view text;
  const char* chunkName;
  bool link;
  bool makeRest;  // the state has no table for chunks between their runs yet
  int ref = LUA_NOREF;
  int restRef = LUA_NOREF;
};

// Compiles the text and keeps the chunk in the registry, and the table for chunks between their
// runs when asked. Run protected: both may need memory the state's limit refuses, and an error
// outside a protected call would end the process.
int CompileAndKeep(lua_State* L) {
  auto* compile = static_cast<stCompile*>(lua_touserdata(L, 1));
  if (compile->makeRest) {
    lua_newtable(L);
    compile->restRef = luaL_ref(L, LUA_REGISTRYINDEX);
  }
  const int rc = compile->link ? LoadLuaSourceNoTailCalls(L, compile->text.data(),
                                                          compile->text.size(), compile->chunkName)
                               : LoadLuaSource(L, compile->text.data(), compile->text.size(),
                                               compile->chunkName);
  if (rc != 0) return 0;
  compile->ref = luaL_ref(L, LUA_REGISTRYINDEX);
  return 0;
}

// A chunk's environment as a fresh load gives it: the state's globals.
void UseGlobals(lua_State* L) {
  lua_pushvalue(L, LUA_GLOBALSINDEX);
  lua_setfenv(L, -2);
}

}  // namespace

bool cChunkCache::Push(lua_State* L, std::string_view text, const char* chunkName, bool link) {
  if (text.size() > kMostTextBytes) return false;
  auto& chunks = m_chunks[link ? 1 : 0];
  auto it = chunks.find(text);
  if (it == chunks.end()) {
    if (Count() >= kMostChunks) Clear(L);
    stCompile compile{text, chunkName, link, m_restRef == kNone};
    const int rc = lua_cpcall(L, &CompileAndKeep, &compile);
    if (compile.restRef != LUA_NOREF) m_restRef = compile.restRef;
    if (rc != 0) {
      lua_pop(L, 1);
      return false;
    }
    if (compile.ref == LUA_NOREF) return false;
    if (m_restRef == kNone) {
      luaL_unref(L, LUA_REGISTRYINDEX, compile.ref);
      return false;
    }
    it = chunks.emplace(std::string(text), compile.ref).first;
  }
  lua_rawgeti(L, LUA_REGISTRYINDEX, it->second);
  // A run may have set another environment.
  UseGlobals(L);
  m_lastRef = it->second;
  return true;
}

void cChunkCache::Rest(lua_State* L) {
  if (m_lastRef == LUA_NOREF) return;
  lua_rawgeti(L, LUA_REGISTRYINDEX, m_lastRef);
  lua_rawgeti(L, LUA_REGISTRYINDEX, m_restRef);
  lua_setfenv(L, -2);
  lua_pop(L, 1);
  m_lastRef = LUA_NOREF;
}

void cChunkCache::Clear(lua_State* L) {
  m_lastRef = LUA_NOREF;
  if (L != nullptr)
    for (const auto& chunks : m_chunks)
      for (const auto& [text, ref] : chunks) luaL_unref(L, LUA_REGISTRYINDEX, ref);
  for (auto& chunks : m_chunks) chunks.clear();
}
