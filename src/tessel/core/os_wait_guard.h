// Bounds on the Lua builtins that would hold the thread of the state (the worker for the groups,
// and with it every link, timer and console line) without end: os.execute and io.popen, whose
// line could wait for ever, and the io functions that open a named file, which would wait at the
// open or the first read of a pipe or a terminal. Thread of the state.
#pragma once

struct lua_State;

// Replaces, in L's os and io libraries:
// - os.execute(line): the line runs in a process group of its own with standard input on
//   /dev/null and is waited for until the running command's time limit (lua_time_limit; the
//   shell lines' limit, shell_time_limit, when no command with a limit runs); then its process
//   group is killed and the call raises an error naming the line. A line that ends in time gives
//   the status it gave before (system()'s).
// - io.popen(line) for reading: the line runs under the same bounds, and the file answered reads
//   what it wrote (up to 64 MiB; more raises an error).
// - io.popen(line, 'w'): what is written is kept in a file of its own, up to 64 MiB (a write
//   past that answers nil and "File too large", as Lua's file writes fail); the line runs when
//   the file is closed (its close, io.close, or the collector's), reading it as standard input,
//   under the same bounds. The close answers true, or nil and a message naming the line when it
//   was killed, could not start, or was not run because more than 64 MiB were written.
// - io.open, io.lines, io.input and io.output given a name: a pipe, a socket or a device other
//   than the memory ones (/dev/null, /dev/zero, /dev/urandom, ...) is not opened. io.open then
//   answers nil and a message, as for a file it cannot open; the others raise the message.
// - standard input: it is the console's, and a read would wait for the operator's next line and
//   take it from the console: io.read(), io.lines() and io.stdin read as a closed file, and
//   debug.debug, which reads its commands there, raises an error.
// GuardOsBuiltins guards the replacements as it guards Lua's own functions.
void BoundOsWaits(lua_State* L);
