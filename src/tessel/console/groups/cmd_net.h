// Net commands: servers, clients and links, connecting and tracing them.
// Level 5 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdNet : public cCmd {
 public:
  static cCmdNet& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Net"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
