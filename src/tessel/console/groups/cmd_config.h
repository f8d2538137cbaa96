// Config commands: integer and string values of the config and game stores.
// Level 13 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdConfig : public cCmd {
 public:
  static cCmdConfig& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Config"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
