// Exception commands: faults raised on purpose to exercise the crash path.
// Level 12 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdException : public cCmd {
 public:
  static cCmdException& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Exception"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
