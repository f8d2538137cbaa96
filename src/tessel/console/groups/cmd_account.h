// Account commands: the console accounts of the links and the top path.
// Level 1 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdAccount : public cCmd {
 public:
  static cCmdAccount& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Account"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
