// Replay commands: recording link traffic to files and feeding it back.
// Level 16 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdReplay : public cCmd {
 public:
  static cCmdReplay& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Replay"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
