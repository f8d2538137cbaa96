#include "tessel/console/groups/cmd_config.h"

#include "tessel/console/help.h"

namespace {

const char* const kHelp[] = {
    "【Config函数】",
    "\t设置全局参数Ini —— SetConfigValue('pay',10)",
    "\t得到全局参数Int —— GetConfigValue('pay',10)",
    "\t察看全局参数Int —— ViewConfigValue('pay')",
    "\t设置全局参数Str —— SetConfigString('new','hi')",
    "\t得到全局参数Str —— GetConfigString('new','')",
    "\t察看全局参数Str —— ViewConfigString('new')",
    "\t设置全局参数Ini —— SetGameValue('pay',10)",
    "\t得到全局参数Int —— GetGameValue('pay',0)",
    "\t察看全局参数Int —— ViewGameValue('pay')",
    "\t设置全局参数Str —— SetGameString('new','hi')",
    "\t得到全局参数Str —— GetGameString('new','')",
    "\t察看全局参数Str —— ViewGameString('new')",
    "\tViewExeParam —— ViewExeParam()",
    "",
};

}  // namespace

cCmdConfig& cCmdConfig::Instance() {
  static cCmdConfig s_cmd;
  return s_cmd;
}

void cCmdConfig::Help() {
  PrintHelp(kHelp);
}

void cCmdConfig::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdConfig::Help);
}
