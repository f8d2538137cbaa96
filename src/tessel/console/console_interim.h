// Interim stand-ins for services of other folders that the console uses (the over-time guard,
// the base library's chunk runner and start-up script), each replaced by
// the real service once that folder is published. Worker thread only.
#pragma once

#include <iostream>
#include <lua.hpp>
#include <string>

#include "platform/clock.h"

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
  unsigned long Elapsed() const { return platform::ElapsedMs(m_start, platform::TimeGetTime()); }

 private:
  const char* m_name;
  const char* m_param;
  unsigned long m_threshold;
  uint32_t m_start = platform::TimeGetTime();
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

// Runs the function "init" of the start-up script "exe/init_" + executable name.
inline void RunInitScript() {}
