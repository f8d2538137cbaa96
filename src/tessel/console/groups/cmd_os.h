// OS commands: shell commands, remote clocks and the base library's OS functions.
// Level 15 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdOS : public cCmd {
 public:
  static cCmdOS& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_OS"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
