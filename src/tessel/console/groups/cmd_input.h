// Input commands: aliases, replacements and batch files of console lines.
// Level 3 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdInput : public cCmd {
 public:
  static cCmdInput& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Input"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
