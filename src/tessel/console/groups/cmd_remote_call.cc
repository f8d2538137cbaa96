#include "tessel/console/groups/cmd_remote_call.h"

cCmdRemoteCall& cCmdRemoteCall::Instance() {
  static cCmdRemoteCall s_cmd;
  return s_cmd;
}

void cCmdRemoteCall::bind_cln(lua_State*) {}
