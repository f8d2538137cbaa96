#include "tessel/console/groups/standard_groups.h"

#include "tessel/console/groups/cmd_account.h"
#include "tessel/console/groups/cmd_config.h"
#include "tessel/console/groups/cmd_exception.h"
#include "tessel/console/groups/cmd_input.h"
#include "tessel/console/groups/cmd_log.h"
#include "tessel/console/groups/cmd_login.h"
#include "tessel/console/groups/cmd_maintain.h"
#include "tessel/console/groups/cmd_msg.h"
#include "tessel/console/groups/cmd_net.h"
#include "tessel/console/groups/cmd_os.h"
#include "tessel/console/groups/cmd_remote.h"
#include "tessel/console/groups/cmd_remote_call.h"
#include "tessel/console/groups/cmd_replay.h"
#include "tessel/console/groups/cmd_script.h"
#include "tessel/console/groups/cmd_sim.h"
#include "tessel/console/groups/cmd_tessel.h"
#include "tessel/console/groups/cmd_test.h"
#include "tessel/core/cmd_array.h"

const std::vector<stStandardGroup>& StandardGroups() {
  static const std::vector<stStandardGroup> s_groups = {
      {0, &cCmdTessel::Instance()},     {1, &cCmdAccount::Instance()},
      {2, &cCmdLogin::Instance()},      {5, &cCmdNet::Instance()},
      {4, &cCmdMaintain::Instance()},   {3, &cCmdInput::Instance()},
      {6, &cCmdTest::Instance()},       {7, &cCmdRemote::Instance()},
      {8, &cCmdRemoteCall::Instance()}, {9, &cCmdMsg::Instance()},
      {10, &cCmdSim::Instance()},       {11, &cCmdScript::Instance()},
      {12, &cCmdException::Instance()}, {13, &cCmdConfig::Instance()},
      {14, &cCmdLog::Instance()},       {15, &cCmdOS::Instance()},
      {16, &cCmdReplay::Instance()},
  };
  return s_groups;
}

void AddStandardGroups(cCmdArray& console) {
  for (const stStandardGroup& group : StandardGroups()) {
    console.AddCmdOutput(group.level, group.cmd, nullptr);
  }
}
