#include "tessel/console/help.h"

#include <lua.hpp>

#include "tessel/console/console_interim.h"

void PrintHelp(const char* const* lines, std::ostream& os) {
  for (; (*lines)[0] != '\0'; ++lines) os << *lines << std::endl;
}

void PrintHelp(const char* const* lines) {
  PrintHelp(lines, CmdOut());
}

void RegisterHelp(lua_State* L, void (*help)()) {
  lua_pushlightuserdata(L, reinterpret_cast<void*>(help));
  lua_pushcclosure(
      L,
      [](lua_State* state) -> int {
        reinterpret_cast<void (*)()>(lua_touserdata(state, lua_upvalueindex(1)))();
        return 0;
      },
      1);
  lua_setglobal(L, "Help");
}
