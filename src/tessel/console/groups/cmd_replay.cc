#include "tessel/console/groups/cmd_replay.h"

#include <filesystem>
#include <iostream>

#include "platform/folders.h"
#include "platform/text_clean.h"
#include "tessel/console/help.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/worker_thread.h"
#include "tessel/replay/net_record.h"
#include "tessel/replay/net_replay.h"

namespace {

const char* const kHelp[] = {
    "[Replay命令]",
    "Record -- Record('filename')",
    "Replay -- Replay('filename')",
    "ReplayLog -- ReplayLog('filename')",
    "ReplaySpeed -- ReplaySpeed(2)",
    "",
};

void PrintResult(bool ok) {
  std::cout << (ok ? " ok!" : " error!") << std::endl;
}

}  // namespace

cCmdReplay& cCmdReplay::Instance() {
  static cCmdReplay s_cmd;
  return s_cmd;
}

void cCmdReplay::Help() {
  PrintHelp(kHelp);
}

void cCmdReplay::Record(const char* name) {
  TESSEL_ASSERT_WORKER();
  std::cout << "Record " << EscapeControls(name) << std::endl;
  PrintResult(cNetRecord::Instance().StartRecord(name));
}

// The file is looked for under the replay folder, where Record writes; a name leading out of
// it is refused. Its records are handed to the live links of their link ids and run there with
// those links' accounts, which may run anything: starting a replay needs @shell as well.
void cCmdReplay::Replay(const char* file) {
  TESSEL_ASSERT_WORKER();
  RequireCmdRight("Replay", eCmdRight::kShell);
  std::cout << "Record " << EscapeControls(file) << std::endl;
  std::filesystem::path path;
  if (!platform::ConfineToFolder(kReplayFolder, file, path)) {
    std::cout << "cNetReplay::LoadReplay refused file " << EscapeControls(file) << std::endl;
    PrintResult(false);
    return;
  }
  // The file is opened as a place in the folder again: a link swapped in after the look above
  // leads the replay nowhere outside it.
  PrintResult(cNetReplay::Instance().StartReplay(path.string().c_str(), 1, true, kReplayFolder));
}

// The pace decides when the records run on the live links, and a negative one stops the replay:
// it needs what starting one does.
void cCmdReplay::ReplaySpeed(int speed) {
  TESSEL_ASSERT_WORKER();
  RequireCmdRight("ReplaySpeed", eCmdRight::kShell);
  cNetReplay::Instance().SetSpeed(speed);
}

void cCmdReplay::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdReplay::Help);
  luareg::def<&cCmdReplay::Record>(L, "Record");
  luareg::def<&cCmdReplay::Replay>(L, "Replay");
  luareg::def<&cCmdReplay::ReplaySpeed>(L, "ReplaySpeed");
}
