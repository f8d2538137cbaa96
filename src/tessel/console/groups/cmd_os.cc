#include "tessel/console/groups/cmd_os.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>
#include <string_view>

#include "platform/text_clean.h"
#include "tessel/console/help.h"
#include "tessel/console/shell_jobs.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/game_time.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/core/lua_text.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/os_clock.h"

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

// How far the timer manager's clock may be set from the machine's, in seconds.
constexpr long kMaxClockLeadSeconds = 366L * 24 * 3600;

std::atomic<long> g_allocFirst{0};
std::atomic<long> g_allocSecond{0};

// Standard output and standard error go back to the terminal the process was started from.
void Console() {
  const int tty = ::open("/dev/tty", O_WRONLY | O_CLOEXEC);
  if (tty < 0) {
    get_gout() << "Console no terminal\n";
    return;
  }
  std::cout.flush();
  std::cerr.flush();
  ::dup2(tty, STDOUT_FILENO);
  ::dup2(tty, STDERR_FILENO);
  ::close(tty);
}

void Ignore(const char*, const char*) {}

// The most of a refused time text that its answer shows.
constexpr std::size_t kShownTimeBytes = 64;

// A refused time text as its answer shows it: the typist's or the peer's text, of any length
// and with any bytes, goes to a terminal as its start, controls escaped, on one line.
std::string ShownTime(std::string_view text) {
  return EscapeControls(CutWithCount(text, kShownTimeBytes));
}

void SetGameTime(const char* text) {
  stGameTime t;
  if (!t.FromString(text) || !cGameTime::Instance().SetGameTime(t))
    get_gout() << "OS_SetGameTime wrong time " << ShownTime(text) << "\n";
}

void QueryGameTime() {
  const std::string text = cGameTime::Instance().GetGameTime().ToString();
  get_gout().SendBackCmd(cCmdOS::kLevel, ("OS_SetGameTime(" + LuaQuote(text) + ")").c_str());
}

// Makes the timer manager's clock follow the requester's: only the manager's difference
// changes, never the machine's clock.
void SetTime(long remote, const char*) {
  const long now = static_cast<long>(OsCalendarNow());
  // Clocks of one cluster differ by little; a time further off is a mistake or an attack that
  // would fire every timer at once or stop them for years.
  if (remote < now - kMaxClockLeadSeconds || remote > now + kMaxClockLeadSeconds) {
    std::cout << "OS_SetTime time out of range" << std::endl;
    return;
  }
  const long diff = remote - now;
  cTimerManager::Instance().SetDiff(diff);
  std::cout << "TimeDiff == " << diff << std::endl;
  std::cout << "Remote date and time: " << AscTimeText(remote) << std::endl;
}

void QueryTime() {
  const std::time_t now = OsCalendarNow();
  const std::string cmd =
      "OS_SetTime(" + std::to_string(now) + "," + LuaQuote(AscTimeText(now)) + ")";
  get_gout().SendBackCmd(cCmdOS::kLevel, cmd.c_str());
}

// The line runs off the worker: the start text, its output and the end text reach the
// requester together when it ends.
void System(const char* line) {
  if (!cShellJobs::Instance().Start(line, std::string("OS_System") + " start ", " end "))
    get_gout() << "OS_System busy: " << cShellJobs::kMaxRunning << " lines run\n";
}

void Hello() {
  get_gout() << "Hello World!\n";
}

}  // namespace

std::string AscTimeText(std::time_t t) {
  std::tm local{};
  char text[64] = "";
  if (localtime_r(&t, &local) == nullptr || asctime_r(&local, text) == nullptr) return "?";
  std::string out = text;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

cCmdOS& cCmdOS::Instance() {
  static cCmdOS s_cmd;
  return s_cmd;
}

void cCmdOS::Help() {
  PrintHelp(kHelp);
}

void cCmdOS::SetAlloc(long first, long second) {
  g_allocFirst = first;
  g_allocSecond = second;
}

long cCmdOS::GetAllocFirst() {
  return g_allocFirst.load();
}
long cCmdOS::GetAllocSecond() {
  return g_allocSecond.load();
}

void cCmdOS::bind_cln(lua_State* L) {
  RegisterScript(L, GetOSFuncs());
  RegisterHelp(L, &cCmdOS::Help);
  luareg::def<&Console>(L, "Console");
  luareg::def<&Ignore>(L, "OS_Upload");
  luareg::def<&Ignore>(L, "OS_Download");
  luareg::def<&SetGameTime>(L, "OS_SetGameTime");
  luareg::def<&QueryGameTime>(L, "OS_QueryGameTime");
  luareg::def<&SetTime>(L, "OS_SetTime");
  luareg::def<&QueryTime>(L, "OS_QueryTime");
  luareg::def<&System>(L, "System");
  luareg::def<&cCmdOS::SetAlloc>(L, "SetAlloc");
  luareg::def<&Hello>(L, "Hello");
}
