// OS commands: shell commands, taking over a remote process's clock and game clock, reopening
// the console, and the base library's operating-system functions. Level 15 of the standard
// command array; process-wide singleton, worker thread only.
#pragma once

#include <ctime>
#include <string>

#include "tessel/core/cmd.h"

class cCmdOS : public cCmd {
 public:
  static constexpr int kLevel = 15;

  static cCmdOS& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_OS"; }
  // Prints the group's help lines to the command output.
  static void Help();

  // The watched allocation-size pair: set by the command SetAlloc and by the host from
  // "allocsize.ini" (0 until set). Any thread.
  static void SetAlloc(long first, long second);
  static long GetAllocFirst();
  static long GetAllocSecond();
};

// The text form of a calendar time used between processes: local time as asctime writes it,
// without its line end ("Sun Dec  6 12:43:32 2026").
std::string AscTimeText(std::time_t t);
