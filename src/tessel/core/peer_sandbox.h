// The Lua side of a peer's environment in a group's state. The environment is a table of the
// link's own: what the peer sets stays there; what it reads comes from the link's builtins
// (the list in peer_sandbox.cc), else from the group's globals. No way out of it reaches the
// group's real globals, the shared library tables or another link's environment, and no name
// the group registered can be set in it. Thread of the state (the worker).
#pragma once

#include <cstdint>

#include "tessel/core/cmd_rights.h"

struct lua_State;
class cCmdFuncs;

// Pushes a new environment made for one link; `funcs` (the group's own functions) must outlive
// it. Raises a Lua error when memory runs out, so call it protected.
void PushPeerEnv(lua_State* L, const cCmdFuncs& funcs);
// The link whose environment is the table at `env` runs with `rights` now (null: unrestricted).
// A function defined there, or in a table the link gave to setfenv, answers to them wherever it
// is called: a link may store its functions in a table the console or another link calls.
// Raises a Lua error when memory runs out, so call it protected.
// They are held as the code a command leaves to run later is (DeferredRights): a Kick or a
// reload of the link's account reaches its definitions too.
struct stDefinerRights {
  CmdRightsPtr rights;
  uint64_t revision = 0;
  uint64_t carrierRevision = 0;
};
void SetPeerEnvRights(lua_State* L, int env, const stDefinerRights& rights);
// The rights of the links (other than the current rights' origin) that defined a Lua function
// on L's call stack or made its coroutine, all rule sets together; null when there are none.
// Rights that allow nothing when the stack is too deep to look at whole, and when the called
// function's argument `firstArg` or the next is a table with a C function in its metatable: the
// interpreter calls a metamethod from the frame of whoever used the table, and a link may have
// stored a function of the group there ('x' .. t ran t's __concat = dos as the console).
CmdRightsPtr DefinerRights(lua_State* L, int firstArg = 1);
