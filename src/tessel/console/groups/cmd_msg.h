// Message commands: sending command texts to the other end of a link.
// Level 9 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdMsg : public cCmd {
 public:
  static cCmdMsg& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Msg"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
