#include "tessel/console/groups/cmd_log.h"

#include "tessel/console/help.h"

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

void cCmdLog::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdLog::Help);
}
