// Maintenance commands: versions, infos, clocks, broadcasts, restart and shutdown, processes,
// shell lines, log cleaning and file transfer to the requester. Level 4 of the standard command
// array; process-wide singleton, worker thread only.
#pragma once

#include <ctime>
#include <ostream>
#include <string>

#include "tessel/core/cmd.h"

class cCmdMaintain : public cCmd {
 public:
  static constexpr int kLevel = 4;
  // Largest part of a file that downloadfilepart sends, chosen so that the command carrying it
  // fits one command record even when every byte must be escaped.
  static constexpr unsigned kPartBytes = 24576;
  // Most files one downloadpathtime sends.
  static constexpr unsigned kMaxPathFiles = 16;

  static cCmdMaintain& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Maintain"; }
  // Prints the group's help lines to the command output.
  static void Help();
  // Restart() and Close(): end the process 3 seconds from now, restarting it or not. The
  // script group registers them as RestartTessel() and CloseTessel().
  static void Restart();
  static void Close();
};

// Starts an answer on the command output: the function's name, " ip: ", the process's address
// and a blank, so that the answers of many servers can be told apart.
std::ostream& MaintainAnswer(const char* func);

// The planned time of RestartTime(text) for a clock reading `now`: "H:M" with 0 <= H < 24 and
// 0 <= M < 60 is that time of day today, or tomorrow when it is not later than now (a time
// already past would otherwise restart the process at once). False for any other text.
bool PlanRestartTime(const std::string& text, std::time_t now, std::time_t& when);
