// Replay commands: recording link traffic to files and feeding it back.
// Level 16 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdReplay : public cCmd {
 public:
  static cCmdReplay& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_Replay"; }
  // Prints the group's help lines to the command output.
  static void Help();
  // Starts recording the process's links into "Replay/<name>/"; prints the outcome.
  static void Record(const char* name);
  // Plays a replay file into the process's links at the recorded pace; prints the outcome.
  static void Replay(const char* file);
  // Sets the playback speed of the replay (0: 1000 times, negative: stop).
  static void ReplaySpeed(int speed);
};
