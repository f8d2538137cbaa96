// Remote commands: commands sent along a path of links to a named destination.
// Level 7 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdRemote : public cCmd {
 public:
  static cCmdRemote& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Remote"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
