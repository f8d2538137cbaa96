#include "tessel/console/groups/cmd_login.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "[登录命令]",
    "\tLogin\t\t --- Login('Account','password')",
    "\tLogout\t\t --- Logout()",
    "\t登陆成功\t\t --- Logined(1 or 0,'game_220')",
    "",
};

}  // namespace

cCmdLogin& cCmdLogin::Instance() {
  static cCmdLogin s_cmd;
  return s_cmd;
}

void cCmdLogin::Help() {
  PrintHelp(kHelp);
}

void cCmdLogin::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdLogin::Help);
}
