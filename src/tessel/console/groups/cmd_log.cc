#include "tessel/console/groups/cmd_log.h"

#include "tessel/console/groups/maintain_files.h"
#include "tessel/console/help.h"
#include "tessel/contracts/loglib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/log_routing.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const char* const kHelp[] = {
    "[log命令]",
    "\t输出到屏幕\t --- add_appender_cout('tessel*')",
    "\t输出到文件\t --- add_appender_file('tessel.info','tessel.info.log')",
    "\tflush\t --- flush_log_cache()",
    "",
};

// Most appenders the log commands served for other processes add in the process's life. Each
// stays for good: a peer's loop of add_appender_file would otherwise take every descriptor of the
// process (no login, no log file, no link), or have every log line written thousands of times.
// The local console (and a program's own start-up lines) adds as many as it is told to.
constexpr int kMaxCommandAppenders = 64;

// The appenders served commands added. Worker thread only.
int g_commandAppenders = 0;

// False (after saying so) when a served command would add an appender beyond the bound; else
// counts the one it adds.
bool TakeAppender(const char* func) {
  TESSEL_ASSERT_WORKER();
  if (get_gout().IsLocalCmd()) return true;
  if (g_commandAppenders < kMaxCommandAppenders) {
    ++g_commandAppenders;
    return true;
  }
  get_gout() << func << " refused: " << kMaxCommandAppenders
             << " appenders added by commands already\n";
  return false;
}

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
  // One found inside is opened there only, judged as opened (a link swapped in after the check).
  luareg::def(L, "add_appender_folder", [](const char* pattern, const char* folder) {
    const bool inside =
        RequireShellOutside("add_appender_folder", LogFilePath(""), LogFilePath(folder));
    if (TakeAppender("add_appender_folder")) AddAppenderFolder(pattern, folder, inside);
  });
  luareg::def(L, "add_appender_file", [](const char* pattern, const char* file) {
    const bool inside =
        RequireShellOutside("add_appender_file", LogFilePath(""), LogFilePath(file));
    if (TakeAppender("add_appender_file")) AddAppenderFile(pattern, file, inside);
  });
  luareg::def(L, "add_appender_cout", [](const char* pattern) {
    if (TakeAppender("add_appender_cout")) AddAppenderCout(pattern);
  });
}
