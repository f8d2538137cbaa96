// Config commands: integer and string values of the config and game stores, the launch
// parameters and whether this process is a server. Level 13 of the standard command array;
// process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdConfig : public cCmd {
 public:
  static cCmdConfig& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Config"; }
  // Prints the group's help lines to the command output.
  static void Help();
};

// Registers the value functions (SetConfigValue ... IsServer) in a state; the config group and
// the script group both carry them.
void BindTesselConfig(lua_State* L);

// The Lua command IsServer(): the host has a server side, or the program is "map" (that second
// answer is taken at the first call and kept).
bool IsServerCmd();
