#include "tessel/console/groups/cmd_maintain.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>

#include "platform/console_color.h"
#include "platform/local_time.h"
#include "platform/text_clean.h"
#include "tessel/console/groups/cmd_tessel.h"
#include "tessel/console/groups/maintain_broadcast.h"
#include "tessel/console/groups/maintain_disk.h"
#include "tessel/console/groups/maintain_files.h"
#include "tessel/console/groups/maintain_site.h"
#include "tessel/console/groups/maintain_transfer.h"
#include "tessel/console/help.h"
#include "tessel/console/shell_jobs.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/os_clock.h"
#include "tessel/util/process_finder.h"
#include "tessel/util/shell.h"

namespace {

const char* const kHelp[] = {
    "[维护指令]",
    "\t程序版本\t --- Ver()",
    "\t得到服务器时间\t --- GetTime()",
    "\t得到服务器信息\t --- GetInfos()",
    "\t设置服务器时间\t --- Time(1002030)",
    "\t设置服务器信息\t --- SetInfoValue('Restart','服务器将在12点重新启动')",
    "\t广播命令!\t --- BroadCmd(4,'Ver()')",
    "\t广播命令!\t --- BroadCmdName(4,'Ver()','select')",
    "\t递归广播命令!\t --- BroadCmdReverse(4,'Ver()')",
    "\t递归广播匹配名字!\t --- BroadCmdReverseName(4,'Ver()','game')",
    "\t服务器更新\t --- Update()",
    "\t服务器关闭\t --- Close()",
    "\t服务器更新重启\t --- Restart('10:30')",
    "",
};

constexpr long kEndDelaySeconds = 3;

std::ostream& Prefixed(const char* func) {
  return MaintainAnswer(func);
}

// The clock that the host's planned stop is checked against: the machine's calendar time plus
// the timer manager's difference.
std::time_t TimerClockNow() {
  return OsCalendarNow() + cTimerManager::Instance().GetDiff();
}

std::string Format(const char* format, std::time_t t) {
  return platform::FormatLocalTime(format, t);
}

// The end of a log cleaning: " ok" when every folder was read, else how many were not (each
// said above), never " ok" for a cleaning that passed folders over.
void CleanEnded(int unread) {
  if (unread == 0) {
    get_gout() << " ok\n";
  } else {
    get_gout() << " failed: " << unread << " folder(s) could not be read\n";
  }
}

void CleanLogl(unsigned megabytes) {
  const std::uintmax_t limit = static_cast<std::uintmax_t>(megabytes) << 20;
  Prefixed("func_cleanlogl");
  CleanEnded(CleanLogs(
      MaintainServersRoot(), [limit](std::uintmax_t size, std::time_t) { return size > limit; },
      std::cout, get_gout()));
}

void CleanLog(unsigned days) {
  const std::time_t now = OsCalendarNow();
  Prefixed("func_cleanlog");
  CleanEnded(CleanLogs(
      MaintainServersRoot(),
      [now, days](std::uintmax_t, std::time_t written) {
        return (now - written) / 86400 > static_cast<std::time_t>(days);
      },
      std::cout, get_gout()));
}

void Disk(const char* path) {
  std::ostream& os = Prefixed("func_disk");
  struct statvfs fsInfo {};
  std::string why;
  if (!cMaintainDisk::Ask(path, fsInfo, why)) {
    // The answer line stays " failed"; why it failed follows on a line of its own.
    os << " failed\n";
    if (!why.empty()) os << "func_disk " << why << "\n";
    return;
  }
  const unsigned long long unit = fsInfo.f_frsize;
  os << " total " << fsInfo.f_blocks * unit << " free " << fsInfo.f_bavail * unit << "\n";
}

// The site tools may wait up to the shell lines' time limit each: they run off the worker, one
// site job at a time, and the requester gets what they wrote when the job ends.
using SiteStep = std::function<void(const std::string& kind, std::ostream& os, stSiteTools&)>;

void SiteJob(const char* func, SiteStep step, const char* kind) {
  std::ostringstream head;
  head << func << " ip: " << GetTesselIP() << " \n";
  auto work = [step, kind = std::string(kind)](const std::atomic<bool>* stop,
                                               std::string& console) {
    std::ostringstream os;
    stSiteTools tools{stop, {}};
    step(kind, os, tools);
    console = std::move(tools.console);
    return os.str();
  };
  if (!cShellJobs::Instance().StartSite(work, head.str()))
    Prefixed(func) << "busy: another site job runs\n";
}

void Open(const char* kind) {
  SiteJob(
      "func_openserver", [](auto& k, auto& os, auto&) { MaintainOpen(k, os); }, kind);
}
void Copy(const char* kind) {
  SiteJob(
      "func_copy", [](auto& k, auto& os, auto&) { MaintainCopy(k, os); }, kind);
}
void Download(const char* kind) {
  SiteJob("func_download", &MaintainDownload, kind);
}
void Upload(const char* kind) {
  SiteJob("func_upload", &MaintainUpload, kind);
}

void KillProcess(const char* name) {
  std::ostream& os = Prefixed("func_killprocess");
  os << "\n" << kMaintainStars << "\n";
  const bool killed = KillProcessByName(name);
  os << name << " kill " << (killed ? 1 : 0) << "\n";
}

void FindProcess(const char* name) {
  Prefixed("func_findprocess") << name << " find " << (FindProcessByName(name) ? 1 : 0) << "\n";
}

// The line runs off the worker; its output comes back through a pipe of its own, never
// through a shared file, and reaches the requester when it ends.
void Dos(const char* line) {
  std::ostringstream head;
  head << "func_dos ip: " << GetTesselIP() << " ";
  if (!cShellJobs::Instance().Start(line, head.str(), ""))
    Prefixed("func_dos") << "busy: " << cShellJobs::kMaxRunning << " lines run\n";
}

void ClearAScript(const char* file) {
  std::ostream& os = Prefixed("func_clearascript");
  if (cScriptManager::Instance().ClearAScript(file)) {
    os << "clear script file " << file << " ok\n";
  } else {
    os << "not find script file " << file << "\n";
  }
}

void RestartTime(const char* text) {
  std::ostream& os = Prefixed("func_RestartTime");
  const std::string value = text;
  if (value == "0") {
    GetHost().CancelRestart();
    os << "cancel\n";
    return;
  }
  std::time_t when = 0;
  if (!PlanRestartTime(value, TimerClockNow(), when)) {
    os << "error time format 格式为 10:30 \n";
    return;
  }
  GetHost().Restart(static_cast<long>(when), true);
  os << Format("%Y_%m_%d %H:%M:%S", when) << "\n";
}

// The name this process goes by in the cluster.
std::string OwnAccountName() {
  return GetHost().GetAccount();
}

bool OwnAccountHas(const char* name) {
  return OwnAccountName().find(name) != std::string::npos;
}

// A broadcast that went on no link of a server manager (none up, or each refused the record: a
// text too long for one, a queue past its bound) is said; a process without one does nothing.
void SentToManagers(const char* func, const std::string& wire) {
  if (SendToServerManagers(wire) == 0)
    get_gout() << "func_" << func << " not sent: no link of a server manager took it\n";
}

// A recursive broadcast a process below passed on goes on quietly: a process whose managers took
// it nowhere would add the line to every answer of the broadcast. Where it began, it is said.
void SentOnToManagers(const char* func, const std::string& wire) {
  if (ServingRelay(wire)) {
    SendToServerManagers(wire);
  } else {
    SentToManagers(func, wire);
  }
}

void BroadCmdReverseName(int group, const char* text, const char* name) {
  RequireCmdTarget("BroadCmdReverseName", "*");
  const std::string wire = MakeBroadReverseNameCmd(group, text, name);
  if (!FirstBroadcastPass("BroadCmdReverseName", wire)) return;
  if (OwnAccountHas(name)) RunHere(group, text);
  SentOnToManagers("BroadCmdReverseName", wire);
}

void BroadCmdReverse(int group, const char* text) {
  RequireCmdTarget("BroadCmdReverse", "*");
  const std::string wire = MakeBroadReverseCmd(group, text);
  if (!FirstBroadcastPass("BroadCmdReverse", wire)) return;
  RunHere(group, text);
  SentOnToManagers("BroadCmdReverse", wire);
}

void BroadCmdNameClient(int group, const char* text, const char* name) {
  if (OwnAccountHas(name)) RunHere(group, text);
}

void BroadCmdName(int group, const char* text, const char* name) {
  RequireCmdTarget("BroadCmdName", "*");
  const std::string wire = MakeBroadNameClientCmd(group, text, name);
  if (FirstRelayedPass("BroadCmdName", wire)) SentToManagers("BroadCmdName", wire);
}

void BroadCmd(int group, const char* text) {
  RequireCmdTarget("BroadCmd", "*");
  const std::string wire = MakeBroadDoCmd(group, text);
  if (FirstRelayedPass("BroadCmd", wire)) SentToManagers("BroadCmd", wire);
}

// The info values live outside every Lua state: a command sets short ones, and a bounded
// number of names, so that no loop of a command fills the process's memory with them.
constexpr size_t kMaxInfoNameBytes = 64;
constexpr size_t kMaxInfoValueBytes = 1024;
constexpr size_t kMaxInfoNames = 256;

void SetInfoValue(const char* key, const char* value) {
  // The name is the command's choice: shown with its control bytes escaped, and no longer than
  // a name it may set.
  std::cout << "func_SetInfoValue "
            << EscapeControls(std::string_view(key).substr(0, kMaxInfoNameBytes)) << std::endl;
  const std::string text = value != nullptr ? value : "";
  if (std::strlen(key) > kMaxInfoNameBytes || text.size() > kMaxInfoValueBytes) {
    Prefixed("func_SetInfoValue") << " refused: a name of at most " << kMaxInfoNameBytes
                                  << " bytes, a value of at most " << kMaxInfoValueBytes
                                  << " bytes\n";
    return;
  }
  if (!cTesselValues::Instance().SetInfoValueWithin(key, text, kMaxInfoNames))
    Prefixed("func_SetInfoValue") << " refused: " << kMaxInfoNames
                                  << " info values are kept already\n";
}

// Sets the machine's clock through the clock hook (never directly).
void Time(double seconds) {
  std::tm local{};
  const bool convertible = std::isfinite(seconds) && seconds >= 0 && seconds < 253402300800.0;
  const std::time_t t = convertible ? static_cast<std::time_t>(seconds) : 0;
  if (!convertible || localtime_r(&t, &local) == nullptr) {
    get_gout() << "func_Time "
               << " time wrong \n";
    return;
  }
  std::ostream& os = Prefixed("func_Time");
  std::string error;
  if (!OsSetCalendarTime(t, &error)) {
    os << " set time failed " << error << "\n";
    return;
  }
  os << "OS date:" << Format("%m/%d/%y", t) << "\n"
     << "OS time:" << Format("%H:%M:%S", t) << "\n";
}

void GetInfos() {
  std::ostream& os = get_gout();
  os << "func_GetInfos " << OwnAccountName() << " ";
  cTesselValues::Instance().GetInfos(os);
  os << "\n";
}

void GetTime() {
  const std::time_t now = OsCalendarNow();
  Prefixed("func_GetTime") << "date = " << Format("%m/%d/%y", now)
                           << " time = " << Format("%H:%M:%S", now) << "\n";
}

void Ver() {
  cTesselValues::Instance().Version(Prefixed("func_Version"));
}

}  // namespace

std::ostream& MaintainAnswer(const char* func) {
  std::ostream& os = get_gout();
  os << func << " ip: " << GetTesselIP() << " ";
  return os;
}

bool PlanRestartTime(const std::string& text, std::time_t now, std::time_t& when) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() - colon - 1 == 0 ||
      text.size() - colon - 1 > 2)
    return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (i != colon && (text[i] < '0' || text[i] > '9')) return false;
  const int hour = std::stoi(text.substr(0, colon));
  const int minute = std::stoi(text.substr(colon + 1));
  if (hour >= 24 || minute >= 60) return false;
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return false;
  for (int day = 0; day < 2; ++day) {
    std::tm at = local;
    at.tm_mday += day;
    at.tm_hour = hour;
    at.tm_min = minute;
    at.tm_sec = 0;
    at.tm_isdst = -1;
    when = std::mktime(&at);
    if (when > now) return true;
  }
  return false;
}

cCmdMaintain& cCmdMaintain::Instance() {
  static cCmdMaintain s_cmd;
  return s_cmd;
}

void cCmdMaintain::Help() {
  PrintHelp(kHelp);
}

void cCmdMaintain::Restart() {
  TESSEL_ASSERT_WORKER();
  Prefixed("func_RestartTessel") << "\n";
  GetHost().Restart(static_cast<long>(TimerClockNow() + kEndDelaySeconds), true);
}

void cCmdMaintain::Close() {
  TESSEL_ASSERT_WORKER();
  Prefixed("func_CloseTessel") << "\n";
  GetHost().Restart(static_cast<long>(TimerClockNow() + kEndDelaySeconds), false);
}

void cCmdMaintain::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdMaintain::Help);
  luareg::def<&CleanLogl>(L, "cleanlogl");
  luareg::def<&CleanLog>(L, "cleanlog");
  luareg::def<&Disk>(L, "disk");
  luareg::def<&Open>(L, "open");
  luareg::def<&Copy>(L, "copy");
  luareg::def<&Download>(L, "download");
  luareg::def<&Upload>(L, "upload");
  luareg::def<&KillProcess>(L, "killprocess");
  luareg::def<&FindProcess>(L, "findprocess");
  luareg::def<&Dos>(L, "dos");
  luareg::def<&ClearAScript>(L, "clearascript");
  luareg::def<&MaintainWriteFileIndex>(L, "writefileindex");
  luareg::def<&MaintainDownloadFilePart>(L, "downloadfilepart");
  luareg::def<&MaintainDownloadPathTime>(L, "downloadpathtime");
  luareg::def<&MaintainDownloadFile>(L, "downloadfile");
  luareg::def<&cCmdMaintain::Restart>(L, "Restart");
  luareg::def<&RestartTime>(L, "RestartTime");
  luareg::def<&cCmdMaintain::Close>(L, "Close");
  luareg::def<&BroadCmdReverseName>(L, "BroadCmdReverseName");
  luareg::def<&BroadCmdReverse>(L, "BroadCmdReverse");
  luareg::def<&BroadCmdNameClient>(L, "BroadCmdNameClient");
  luareg::def<&BroadCmdName>(L, "BroadCmdName");
  luareg::def<&BroadCmd>(L, "BroadCmd");
  luareg::def<&SetInfoValue>(L, "SetInfoValue");
  luareg::def<&Time>(L, "Time");
  luareg::def<&GetInfos>(L, "GetInfos");
  luareg::def<&GetTime>(L, "GetTime");
  luareg::def<&Ver>(L, "Ver");
  // What BroadCmd sends arrives here: the served link's endpoint runs the text in its group.
  luareg::def<&cCmdTessel::DoCmd>(L, "DoCmd");
}
