// Interim stand-ins for services of other folders that the console uses (the over-time guard,
// the base library's chunk runner and registration of text functions, the console colour),
// each replaced by the real service once that folder is published. Worker thread only.
#pragma once

#include <chrono>
#include <iostream>
#include <lua.hpp>
#include <string>

// Reports a command that ran longer than its threshold.
class cCmdGuard {
 public:
  cCmdGuard(const char* name, const char* param, unsigned long thresholdMs)
      : m_name(name), m_param(param), m_threshold(thresholdMs) {}
  ~cCmdGuard() {
    const unsigned long spent = Elapsed();
    if (spent > m_threshold) {
      std::cout << m_name << " 【costtime】 " << spent << " param " << m_param << std::endl;
    }
  }
  unsigned long Elapsed() const {
    return static_cast<unsigned long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - m_start)
                                          .count());
  }

 private:
  const char* m_name;
  const char* m_param;
  unsigned long m_threshold;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// Loads and runs a chunk named after the group; prints the Lua error and returns non-zero on
// failure.
inline int RunLuaText(lua_State* L, const char* text, const char* chunkName) {
  int result = luaL_loadbuffer(L, text, std::char_traits<char>::length(text), chunkName);
  if (result == 0) result = lua_pcall(L, 0, 0, 0);
  if (result != 0) {
    const char* error = lua_tostring(L, -1);
    std::cout << (error != nullptr ? error : "(error object is not a string)") << std::endl;
    lua_pop(L, 1);
  }
  return result;
}

// Registers `fn` as the Lua global `name`; a missing or non-string argument is a Lua error.
inline void RegisterTextFunction(lua_State* L, const char* name, void (*fn)(const char*)) {
  lua_pushlightuserdata(L, reinterpret_cast<void*>(fn));
  lua_pushcclosure(
      L,
      [](lua_State* state) -> int {
        const char* text = luaL_checkstring(state, 1);
        auto call =
            reinterpret_cast<void (*)(const char*)>(lua_touserdata(state, lua_upvalueindex(1)));
        call(text);
        return 0;
      },
      1);
  lua_setglobal(L, name);
}

// Sets the console text colour (16-colour attribute) on standard output, after a flush.
inline void SetConsoleColor(int color) {
  std::cout.flush();
  (void)color;
}

// Sets the whole console attribute (background in the high nibble).
inline void SetConsoleAttribute(int attribute) {
  std::cout.flush();
  (void)attribute;
}

// Marks the command output as serving a console line.
inline void SetLocalInput(bool local) {
  (void)local;
}

// Runs the function "init" of the start-up script "exe/init_" + executable name.
inline void RunInitScript() {}

// The current command output (standard output while no remote command is served).
inline std::ostream& CmdOut() {
  return std::cout;
}
