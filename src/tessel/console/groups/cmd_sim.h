// Simulation commands: acting as if a command arrived or a link came or went.
// Level 10 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdSim : public cCmd {
 public:
  // The group's level in the standard command array.
  static constexpr int kLevel = 10;

  static cCmdSim& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Sim"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
