// Host commands: the command groups of the links and running commands in them.
// Level 0 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdTessel : public cCmd {
 public:
  static cCmdTessel& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Tessel"; }
  // Prints the group's help lines to the command output.
  static void Help();
  // Runs the text in the given group for the requester of the command being served, so that
  // both outputs go back to it; refused when typed on the local console.
  static void DoCmd(int level, const char* text);
};
