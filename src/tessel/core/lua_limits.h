// Limits on the Lua that command texts run in the command groups' states: a time limit per
// command, checked by an instruction-count hook that reads the clock, and a memory cap per
// state, kept by the state's allocator. The thread that runs the commands (the worker), except
// StopLuaCommands (any thread).
//
// Configuration values (config/config_int.ini), read as each command starts:
//   lua_time_limit    seconds one command's Lua may run (default 10, 0 = no limit)
//   lua_memory_limit  MiB one group's state, or one script state, may hold while a command runs
//                     (default 128, 0 = none)
#pragma once

#include <chrono>
#include <string>

struct lua_State;

// A new state (as luaL_newstate makes one) whose allocator counts its memory and whose hook
// applies the limits.
lua_State* NewLimitedLuaState();
// Closes such a state, or any other (a script state of the base library, under the configured
// time limit): the finalisers Lua runs then keep to the state's time limit as a command does, and
// a line on standard error says when they were stopped.
void CloseLimitedLuaState(lua_State* L);

// lua_pcall, as a command of its own under the state's limits when no command runs on this
// thread (a timer's call into a script, a link's callback): such code ran without any time
// limit, and one that looped held the worker for good. Inside a command, lua_pcall alone; but a
// script state (LimitScriptState) called inside another state's command (RunScriptString from a
// group) runs a command of its own there too, ending no later than that one, under its cap; its
// refusal's message names the cap.
int CallAsCommand(lua_State* L, int argCount, int resultCount);

// Puts the time limit's hook and the memory cap on a state luaL_newstate made (the base library's
// scripts): what such a state runs stops at its command's time and is refused memory past
// lua_memory_limit, as a group's state is, the cap holding while a command of its own runs.
void LimitScriptState(lua_State* L);

// The limits of one command text, for as long as the object lives. A command run by it (a
// batch line, ParseCmd) has a limit of its own, ending no later than the outer command's, whose
// clock runs on meanwhile: a loop of such commands stops at the outer one's time. A command past
// its time is stopped with a Lua error at its next check; once stopped, every instruction checks
// again, so a pcall inside the chunk cannot catch the stop and go on. While any command runs, a
// limited state's allocator refuses to grow the state beyond its cap (Lua's "not enough memory"
// error). A command begins with a full collection when the garbage left takes more than half
// the room the cap leaves, so that it gets the memory the state's live data leaves it; its
// time begins after that collection (which has a time limit of its own).
class cLuaCommandLimit {
 public:
  explicit cLuaCommandLimit(lua_State* L);
  // The same, the command having begun at `began` (a caller that has read the clock already).
  cLuaCommandLimit(lua_State* L, std::chrono::steady_clock::time_point began);
  ~cLuaCommandLimit();
  cLuaCommandLimit(const cLuaCommandLimit&) = delete;
  cLuaCommandLimit& operator=(const cLuaCommandLimit&) = delete;
};

// What a failed command's error line adds when one of the limits caused the failure (the
// allocator refused memory under the cap): " (...)" or "".
std::string LuaLimitNote(lua_State* L, int luaResult);

// The shell lines' time limit in seconds: the config value "shell_time_limit", or
// kDefaultShellLimitSeconds when it is not above 0, and at most kMaxShellLimitSeconds (its
// milliseconds fit the 32 bits a run is timed with, about 49 days).
constexpr int kDefaultShellLimitSeconds = 60;
constexpr unsigned kMaxShellLimitSeconds = 4294967;
unsigned ShellTimeLimitSeconds();

// For native code that may run long without a Lua instruction (a pattern search): true when a
// command with a time limit runs on this thread (checking is worth it), and true when that
// command is past its time or the worker is being stopped. Then StopOverdueCommand raises the
// error the time limit raises, after `what` (naming what was cut short; "" for nothing), and
// stops the command as it does.
bool LuaCommandTimed();
bool LuaCommandOverdue();
[[noreturn]] void StopOverdueCommand(lua_State* L, const char* what = "");

// true: the worker's commands stop at their next check, with an error (the end of the process,
// stopping the worker, makes a runaway command give way); false: they run again.
void StopLuaCommands(bool stop);
