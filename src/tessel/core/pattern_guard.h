// Bounds on Lua's pattern searches (string.find, match, gmatch, gsub). Lua 5.1 searches in C,
// where the command time limit's hook never runs: a hostile pattern ("a-a-a-a-b" on a long
// subject) kept the worker for ever, and a long one ("a?" repeated) overflowed the C stack and
// ended the process. Thread of the state (the worker for the groups).
#pragma once

struct lua_State;

// Replaces string.find, string.match, string.gmatch and string.gsub in L's string table (the
// strings' metatable reads from it too) by versions that first walk the search as Lua would,
// counting its steps: a search that nests deeper than 200 pattern items is refused with
// "pattern too complex" (as later Lua versions do), one still going when the running command's
// time is up stops the command with the time limit's error. A search that ends is then made by
// Lua's own function, which gives the results; small searches go to it at once. gmatch's
// iterator is walked so at each of its calls, each call being a search of its own. A C function
// or a table as gsub's replacement is called or read through one that reads the clock as the
// matches go.
void GuardPatternSearch(lua_State* L);
