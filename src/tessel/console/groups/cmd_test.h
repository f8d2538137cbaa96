// Test commands: echo, hello and moving an endpoint to its next command array.
// Level 6 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include <string>

#include "tessel/core/cmd.h"

class cCmdTest : public cCmd {
 public:
  static cCmdTest& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Test"; }
  // Prints the group's help lines to the command output.
  static void Help();
  // Echo test between two processes: checks the text against the first one seen and, for a
  // command from a link, sends Echo(n + 1, text) back to the requester at level 6.
  static void Echo(int n, const std::string& text);
  // The statement that continues an echo.
  static std::string EchoStatement(long long n, const std::string& text);
};
