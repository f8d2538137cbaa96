// Bounds on the Lua builtins that would hold the thread of the state (the worker for the groups,
// and with it every link, timer and console line) without end: os.execute, whose line could
// wait for ever. Thread of the state.
#pragma once

struct lua_State;

// Replaces, in L's os library:
// - os.execute(line): the line runs in a process group of its own with standard input on
//   /dev/null and is waited for until the running command's time limit (lua_time_limit; the
//   shell lines' limit, shell_time_limit, when no command with a limit runs); then its process
//   group is killed and the call raises an error naming the line. A line that ends in time gives
//   the status it gave before (system()'s).
// GuardOsBuiltins guards the replacements as it guards Lua's own functions.
void BoundOsWaits(lua_State* L);
