#include "tessel/console/groups/cmd_log.h"

#include "tessel/console/help.h"
#include "tessel/contracts/loglib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/log_routing.h"

namespace {

const char* const kHelp[] = {
    "[log命令]",
    "\t输出到屏幕\t --- add_appender_cout('tessel*')",
    "\t输出到文件\t --- add_appender_file('tessel.info','tessel.info.log')",
    "\tflush\t --- flush_log_cache()",
    "",
};

}  // namespace

cCmdLog& cCmdLog::Instance() {
  static cCmdLog s_cmd;
  return s_cmd;
}

void cCmdLog::Help() {
  PrintHelp(kHelp);
}

// Also run by the script group, so the log functions exist in both states.
void cCmdLog::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdLog::Help);
  luareg::def(L, "flush_log_cache", [] { loglib::flush_log_cache(); });
  luareg::def(L, "add_appender_folder",
              [](const char* pattern, const char* folder) { AddAppenderFolder(pattern, folder); });
  luareg::def<&AddAppenderFile>(L, "add_appender_file");
  luareg::def<&AddAppenderCout>(L, "add_appender_cout");
}
