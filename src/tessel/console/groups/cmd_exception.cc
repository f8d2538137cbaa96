#include "tessel/console/groups/cmd_exception.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[异常]",
    "\tZero() -- div 0",
    "\tFunc0() -- 调用0函数",
    "\tFunc0Run() -- 调用0函数在Run中",
    "\tNull() -- null point access",
    "\tVir() -- virtual call",
    "\tDieLoop() -- 程序死循环",
    "\tThrow() -- throw a exception",
    "",
};

}  // namespace

cCmdException& cCmdException::Instance() {
  static cCmdException s_cmd;
  return s_cmd;
}

void cCmdException::Help() {
  PrintHelp(kHelp);
}

void cCmdException::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdException::Help);
}
