// Script commands: scripts, the console parser and command sending from Lua.
// Level 11 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdScript : public cCmd {
 public:
  static cCmdScript& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Script"; }
  // Prints the group's help lines to the command output.
  static void Help();
};

// The script group's own functions (console parser, command sending, scripts, date).
void BindScriptTessel(lua_State* L);
// Gives any Lua state (a script of the hosting program) the script group's functions.
void BindFunc_ToScriptManager(lua_State* L);
