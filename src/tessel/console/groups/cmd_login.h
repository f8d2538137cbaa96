// Login commands: the console login protocol between the two sides of a link. Login and Logout
// run on the server side, Logined (the answer) on the client side; typed on the local console
// they are refused. Level 2 of the standard command array; process-wide singleton, worker
// thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdLogin : public cCmd {
 public:
  static constexpr int kLevel = 2;

  static cCmdLogin& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Login"; }
  // Prints the group's help lines to the command output.
  static void Help();
};
