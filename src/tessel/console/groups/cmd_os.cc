#include "tessel/console/groups/cmd_os.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[测试命令]",
    "\tHello World!\t --- Hello()",
    "\tDos Cmd\t --- System('Echo()')",
    "\tZipDir\t --- ZipDir('table')",
    "\tDeleteFolder\t --- DeleteFolder('table')",
    "\trequire\t --- require('file')",
    "\tdofile\t --- dofile('file')",
    "",
};

}  // namespace

cCmdOS& cCmdOS::Instance() {
  static cCmdOS s_cmd;
  return s_cmd;
}

void cCmdOS::Help() {
  PrintHelp(kHelp);
}

void cCmdOS::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdOS::Help);
}
