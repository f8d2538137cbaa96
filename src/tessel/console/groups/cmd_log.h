// Log commands: routing named loggers to the screen, files and folders.
// Level 14 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdLog : public cCmd {
 public:
  static cCmdLog& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Log"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
