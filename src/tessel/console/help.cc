#include "tessel/console/help.h"

#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/ostream_cmd.h"

void PrintHelp(const char* const* lines, std::ostream& os) {
  for (; (*lines)[0] != '\0'; ++lines) os << *lines << std::endl;
}

void PrintHelp(const char* const* lines) {
  TESSEL_ASSERT_WORKER();
  PrintHelp(lines, get_gout());
}

void RegisterHelp(lua_State* L, void (*help)()) {
  luareg::def(L, "Help", help);
  RegisterFunctions(L);
}

void RegisterFunctions(lua_State* L) {
  luareg::def(L, "Functions", [](lua_State* state) {
    std::string line;
    if (cCmd* group = cCmd::OfState(state))
      for (const std::string& name : group->FunctionNames()) line += name + " ";
    get_gout() << line << "\n";
  });
}
