// Test commands: echo, hello and moving an endpoint to its next command array.
// Level 6 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdTest : public cCmd {
 public:
  static cCmdTest& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Test"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
