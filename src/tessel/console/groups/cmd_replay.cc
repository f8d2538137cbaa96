#include "tessel/console/groups/cmd_replay.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[Replay命令]",
    "Record -- Record('filename')",
    "Replay -- Replay('filename')",
    "ReplayLog -- ReplayLog('filename')",
    "ReplaySpeed -- ReplaySpeed(2)",
    "",
};

}  // namespace

cCmdReplay& cCmdReplay::Instance() {
  static cCmdReplay s_cmd;
  return s_cmd;
}

void cCmdReplay::Help() {
  PrintHelp(kHelp);
}

void cCmdReplay::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdReplay::Help);
}
