// Input commands: aliases, replacements and batch files of console lines.
// Level 3 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdInput : public cCmd {
 public:
  static cCmdInput& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Input"; }
  // Prints the group's help lines to the command output.
  static void Help();
  // Runs a file of console lines, echoing them, up to the first line shorter than two
  // characters.
  static void Run(const char* file);
  // Runs every line of a file, reporting the lines to the command output.
  static void RunRemote(const char* file);
};
