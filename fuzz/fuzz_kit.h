// What the fuzz harnesses share: libFuzzer's FuzzedDataProvider, one temporary home per process
// (the test kit's), a check that stops the run, and Lua states that can run nothing but the
// functions a harness gives them. Header-only; the fuzzing thread.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <lua.hpp>
#include <string>
#include <string_view>

#include "testkit/temp_dir.h"

namespace fuzzkit {

// The process's scratch home, made on first use and kept until the process ends.
inline testkit::cTempDir& Home() {
  static testkit::cTempDir home(testkit::cTempDir::kHome);
  return home;
}

// Stops the run: libFuzzer saves the input that got here as a crash reproducer.
[[noreturn]] inline void Fail(const char* what, std::string_view a, std::string_view b = {}) {
  std::fprintf(stderr, "property failed: %s\n  [%.*s]\n  [%.*s]\n", what, int(a.size()), a.data(),
               int(b.size()), b.data());
  std::abort();
}
#define FUZZ_CHECK(cond, a, b) \
  if (!(cond)) ::fuzzkit::Fail(#cond, a, b)

// The text as Lua reads it inside a long bracket: "\r\n", "\n\r", "\r" and "\n" are one '\n'.
inline std::string LongBracketLines(std::string_view t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    const bool end = t[i] == '\n' || t[i] == '\r';
    out += end ? '\n' : t[i];
    if (end && i + 1 < t.size() && (t[i + 1] == '\n' || t[i + 1] == '\r') && t[i + 1] != t[i]) ++i;
  }
  return out;
}

// Leaves the Lua state only the globals named in `keep` (no libraries, no string methods) and
// fails any chunk that runs too long, so fuzzed statements touch nothing else.
inline void Confine(lua_State* L, std::initializer_list<const char*> keep) {
  lua_newtable(L);
  for (const char* name : keep) {
    lua_getglobal(L, name);
    lua_setfield(L, -2, name);
  }
  lua_replace(L, LUA_GLOBALSINDEX);
  lua_pushliteral(L, "");
  if (lua_getmetatable(L, -1)) {
    lua_pushnil(L);
    lua_setfield(L, -2, "__index");
  }
  lua_settop(L, 0);
  lua_sethook(
      L, [](lua_State* L, lua_Debug*) { luaL_error(L, "too long"); }, LUA_MASKCOUNT, 9999);
}

// Makes `f` a global, its name being its upvalue.
inline void Give(lua_State* L, const char* name, lua_CFunction f) {
  lua_pushstring(L, name);
  lua_pushcclosure(L, f, 1);
  lua_setglobal(L, name);
}

// Runs `source` (never bytecode): the number of values it returns, left on the stack, or -1.
inline int Run(lua_State* L, std::string_view source) {
  lua_settop(L, 0);
  if (source.starts_with(LUA_SIGNATURE[0]) ||
      luaL_loadbuffer(L, source.data(), source.size(), "=fuzz") || lua_pcall(L, 0, LUA_MULTRET, 0))
    return -1;
  return lua_gettop(L);
}

// Frees what the last chunks left, so every run frees what it allocated (else libFuzzer runs its
// leak check after each one).
inline void Collect(lua_State* L) {
  lua_settop(L, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
}

}  // namespace fuzzkit
