// The help convention of the command groups: a fixed list of lines, ended by an empty string,
// printed to the current command output by the Lua function Help(). Worker thread only.
#pragma once

#include <ostream>

struct lua_State;

// Writes each line and an end of line, stopping at the first empty string.
void PrintHelp(const char* const* lines, std::ostream& os);
// The same to the current command output.
void PrintHelp(const char* const* lines);
// Registers `help` as the Lua global Help(), and Functions().
void RegisterHelp(lua_State* L, void (*help)());
// Registers Functions(), which writes the names of every function the system registered in the
// group (cCmd::FunctionNames) on one line, blank-separated, to the command output: what a
// remote console completes names from.
void RegisterFunctions(lua_State* L);
