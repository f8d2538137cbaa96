// The peer environments of a Lua state that is no command group's (the command script's): a
// command served for a link runs there in an environment of that link's own, made and dropped
// as a group's (peer_env.h), so that what one link sets is not what another link calls. The
// environments are kept in the state itself and go when it is closed. Worker thread only.
#pragma once

#include "tessel/core/peer_env.h"

struct lua_State;

class cScriptPeerEnvs {
 public:
  // Gives the chunk on top of L's stack (just loaded) the environment of the current scope's
  // link, as a group does (cPeerEnvs::Apply), compiled anew without tail calls: 0, or an error
  // code with the message in the chunk's place.
  // `use` holds the environment while the chunk runs. Without a scope it does nothing.
  static int Apply(lua_State* L, cPeerEnvs::cUse& use);
};
