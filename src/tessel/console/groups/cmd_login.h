// Login commands: logging a link in and out with a console account.
// Level 2 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/console/cmd.h"

class cCmdLogin : public cCmd {
 public:
  static cCmdLogin& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Login"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
