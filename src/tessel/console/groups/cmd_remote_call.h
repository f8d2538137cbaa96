// Remote-call commands: calls forwarded into the scripts of the script manager.
// Level 8 of the standard command array; process-wide singleton, worker thread only.
#pragma once

#include "tessel/core/cmd.h"

class cCmdRemoteCall : public cCmd {
 public:
  static cCmdRemoteCall& Instance();

  void bind_cln(lua_State* L) override;
  const char* GetName() override { return "cCmd_RemoteCall"; }
};
