// Bounds on the library functions that may run long in C (string.rep, table.sort, ...): the
// command time limit's hook counts Lua instructions, and a call is one, so a loop of such calls
// ran on for minutes past the limit before the hook looked at the clock again. Thread of the
// state (the worker for the groups).
#pragma once

struct lua_State;

// Replaces those functions in L's libraries by versions that first stop a command past its time
// (with the time limit's error), then call Lua's own function. string.rep of an empty result
// answers at once instead of looping up to two thousand million times for it. table.sort without
// a comparator, in a command with a time limit, reads the clock as it compares (a sort of long
// strings compares in C for hours), its order Lua's own; table.concat of a long range joins it
// in parts, reading the clock between them, its text Lua's own. A Lua function stored as __gc in
// the metatable of newproxy(true) (by assignment, again, or by rawset) runs in a coroutine of its
// own, where the time limit's hook is on (Lua turns it off while a finaliser runs): getmetatable
// gives a face whose fields are the metatable's, and the metatable itself stays out of reach.
void GuardLongCalls(lua_State* L);

// Gives the metatable at `meta` (of userdata) a face as its __metatable, as newproxy's have: what
// getmetatable gives then reads and writes its fields, a Lua function stored as __gc running
// where the time limit's hook is on.
void GiveMetatableFace(lua_State* L, int meta);
