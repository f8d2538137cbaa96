// Maintenance commands: versions, infos, clocks, broadcasts, restart and shutdown.
// Level 4 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdMaintain : public cCmd {
 public:
  static cCmdMaintain& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Maintain"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
