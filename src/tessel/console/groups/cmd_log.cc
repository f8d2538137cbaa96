#include "tessel/console/groups/cmd_log.h"

#include "tessel/console/groups/maintain_files.h"
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
  // A log file outside the log folder is any file of the machine: the appender would add lines
  // to it, whose text callers choose.
  luareg::def(L, "add_appender_folder", [](const char* pattern, const char* folder) {
    RequireShellOutside("add_appender_folder", LogFilePath(""), LogFilePath(folder));
    AddAppenderFolder(pattern, folder);
  });
  luareg::def(L, "add_appender_file", [](const char* pattern, const char* file) {
    RequireShellOutside("add_appender_file", LogFilePath(""), LogFilePath(file));
    AddAppenderFile(pattern, file);
  });
  luareg::def<&AddAppenderCout>(L, "add_appender_cout");
}
