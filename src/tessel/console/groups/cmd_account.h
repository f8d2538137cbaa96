// Account commands: the console accounts of the process's listening sides, and the top path
// (the hops from this process to the top server of the cluster). Level 1 of the standard
// command array; process-wide singleton, worker thread only.
#pragma once

#include <string>
#include <vector>

#include "tessel/core/cmd.h"

class cCmdAccount : public cCmd {
 public:
  static cCmdAccount& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Account"; }
  // Prints the group's help lines to the command output.
  static void Help();
};

// The top path as last set, hop by hop.
std::vector<std::string> GetTopPath();
// Writes "func_ShowTop ", every hop followed by a blank, and an end of line to standard output.
void ShowTop();
// The statement that asks the cluster for the path from process `own` to the server `top`.
std::string MakeToTopCmd(const std::string& own, const std::string& top);
