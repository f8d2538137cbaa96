#include "tessel/link/bridge.h"

#include <cstring>
#include <iostream>
#include <sstream>

#include "platform/clock.h"
#include "platform/console_color.h"
#include "platform/local_time.h"
#include "platform/text_clean.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/log_file.h"
#include "tessel/core/loggers.h"
#include "tessel/core/login_text.h"
#include "tessel/core/route_text.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_help.h"
#include "tessel/link/cmd_handler.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/net_help.h"
#include "tessel/link/origin_desk.h"
#include "tessel/link/origin_record.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/timers/timer_function.h"

const char* cBridge::g_szCmd = "";
int cBridge::g_cmd = 0;

const char* g_GetCurCmdStr() {
  return cBridge::g_szCmd;
}
int g_GetCurCmd() {
  return cBridge::g_cmd;
}

namespace {

// Days a log file of an endpoint is kept.
constexpr int kLogKeepDays = 3;
constexpr uint32_t kClearCmdLogWarnMs = 100;

}  // namespace

cBridge::cBridge()
    : m_pMsgLog(new cMsgLog),
      m_pCmdLog(new cMsgLog),
      m_pExceptionLog(new cLog),
      m_pReportLog(new cLog) {
  m_pExceptionLog->SetEcho(true);
}

cBridge::~cBridge() {
  // Another endpoint made at this address later must not meet this one's environments.
  cCmd::DropPeerEnvs(static_cast<iBridge*>(this));
  delete m_pReportLog;
  delete m_pExceptionLog;
  delete m_pNetHelp;
  m_pNetHelp = nullptr;
  m_pNextArray = nullptr;
  delete m_pMsgLog;
  ClearCmdLog(true);
  delete m_pCmdLog;
}

namespace {

// The link's name as the start of its log folders' names. A name given by a command
// (CloneClient takes any) may hold separators, with which the folders (and the deletion of old
// files in them) would reach anywhere, or control bytes: each of those becomes '_'. A name past
// kLogFolderNameBytes is cut there (before a whole character), so that its folder names with
// their suffixes stay within the longest file name a folder holds; else the link had no logs.
constexpr size_t kLogFolderNameBytes = 200;
std::string LogFolderName(std::string name) {
  if (name.size() > kLogFolderNameBytes) {
    size_t cut = kLogFolderNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  for (char& c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) c = '_';
  }
  return name;
}

}  // namespace

bool cBridge::CreateBridge(const char* name, cMsg* msg) {
  if (GetCmdCount() == 0) std::cout << "warnning not register a cmd yet..." << std::endl;
  m_strName = name != nullptr ? name : "";
  m_pMsg = msg;
  const std::string base =
      "log/" + cTesselValues::Instance().GetExeName() + "/" + LogFolderName(m_strName);
  m_pMsgLog->Open((base + "_msg").c_str(), kLogKeepDays);
  m_pCmdLog->Open((base + "_cmd").c_str(), kLogKeepDays);
  m_pExceptionLog->Open((base + "_exception").c_str(), kLogKeepDays);
  m_pReportLog->Open((base + "_cmd_report").c_str(), kLogKeepDays);
  *m_pReportLog
      << "now\telasped\tHandledMsgTime(s)\tPeerMsgAll\tPeerMsg/s\tNetMsgAll\tNetMsge/s\t\n";
  CreateLog((base + "_cmd_array").c_str());
  if (m_pMsg != nullptr) {
    m_pMsg->SetBridge(this);
    m_pMsg->BindFixed(stMsg_Origin::kType, &cOriginBind::Instance());
  }
  return CreateWorld();
}

void cBridge::Start() {
  m_tStart = m_tLastReport = std::time(nullptr);
}

void cBridge::Run(unsigned long) {
  const std::time_t now = std::time(nullptr);
  if (PassedSince(m_tLastReport, now, kReportSeconds)) {
    m_tLastReport = now;
    Report();
  }
}

// Rates are per second since Start; a report in the first second (or before Start) divides by
// one second instead.
void cBridge::Report() {
  TESSEL_ASSERT_WORKER();
  const std::time_t elapsed = m_tStart != 0 ? std::time(nullptr) - m_tStart : 0;
  const long long seconds = elapsed > 0 ? elapsed : 1;
  const long long peer = m_pNetHelp != nullptr ? m_pNetHelp->GetPeerTotal() : 0;
  const long long net = m_pNetHelp != nullptr ? m_pNetHelp->GetNetTotal() : 0;
  m_pReportLog->TimeStamp() << "\t" << static_cast<long long>(elapsed) << "\t"
                            << m_dwHandledTime / 1000 << "\t" << peer << "\t" << peer / seconds
                            << "\t" << net << "\t" << net / seconds << "\n";
  m_pReportLog->flush();
  ReportLog();
}

bool cBridge::TraceMsg() {
  static const bool tracing = GetConfigValue("trace_msg", 0) > 10;
  return tracing;
}

void cBridge::HandleMsg(unsigned int n) {
  TESSEL_ASSERT_WORKER();
  if (!m_bHandleMsg || m_pNetHelp == nullptr) return;
  const uint32_t start = platform::TimeGetTime();
  m_pNetHelp->HandleMsg(n);
  const uint32_t end = platform::TimeGetTime();
  cOriginDesk::Instance().Expire(end);
  const uint32_t cost = platform::ElapsedMs(start, end);
  m_dwHandledTime += cost;
  if (cost > kSlowPumpMs) WarnPump(tessel_timererror(), cost);
  if (m_pNetHelp->GetPeerThisPump() > kBusyPumpRecords) WarnPump(tessel_numerror(), cost);
  const bool tracing = TraceMsg();
  if (CmdLogFull()) ClearCmdLog(tracing);
  m_logBudget.Report(end, *m_pExceptionLog);
  if (const unsigned long left = m_eventBudget.TakeLeftOut(end)) WriteEventsLeftOut(left);
  if (const unsigned long left = m_strangerBudget.TakeLeftOut(end)) WriteStrangersLeftOut(left);
}

bool cBridge::MayLogLinkEvent() {
  TESSEL_ASSERT_WORKER();
  return m_eventBudget.Take(platform::TimeGetTime());
}

void cBridge::WriteEventsLeftOut(unsigned long left) {
  std::ostringstream line;
  line << m_strName << " link events: " << left << " lines left out (more than "
       << cEventBudget::kLinesPerSecond << " a second)";
  m_pMsgLog->GetLog() << "【net】" << line.str() << std::endl;
  platform::ColorSection yellow(platform::kColorYellow);
  std::cout << line.str() << std::endl;
}

bool cBridge::MayNoteStranger() {
  TESSEL_ASSERT_WORKER();
  return m_strangerBudget.Take(platform::TimeGetTime());
}

void cBridge::WriteStrangersLeftOut(unsigned long left) {
  m_pExceptionLog->TimeStamp() << m_strName << " records of links not logged in: " << left
                               << " lines left out of this log and the audit trail (more than "
                               << cEventBudget::kLinesPerSecond << " a second)\n";
  m_pExceptionLog->flush();
}

bool cBridge::MayLog(iSend* link) {
  TESSEL_ASSERT_WORKER();
  return m_logBudget.Take(link, platform::TimeGetTime());
}

bool cBridge::CmdLogFull() const {
  return m_lstCmdLog.size() >= kCmdLogCap || m_nCmdLogBytes >= kCmdLogCapBytes;
}

void cBridge::WarnPump(const loglib::logger& log, uint32_t cost) {
  platform::ColorSection red(platform::kColorLightRed);
  TESSEL_LOG(log, "cBridge::HandleMsg"
                      << " 【costtime】 " << cost << " " << m_strName << " peermsg "
                      << m_pNetHelp->GetPeerThisPump() << " netmsg " << m_pNetHelp->GetNetThisPump()
                      << "\n");
}

HandleChatExceptionEnum cBridge::CheckCmd(iSend* send, unsigned int cmd) {
  if (m_pCheck != nullptr && cmd > 20) return m_pCheck->CheckCmd(send, cmd);
  return ChatException_OK;
}

HandleChatExceptionEnum cBridge::CheckCmdMsg(iSend* send, stMsg_Cmd* msg) {
  if (m_pCheckMsg != nullptr && msg->cmd > 20) return m_pCheckMsg->CheckCmdMsg(send, msg);
  return ChatException_OK;
}

HandleChatExceptionEnum cBridge::RunCmdBridge(iSend* send, stMsg_Cmd* msg) {
  TESSEL_ASSERT_WORKER();
  HandleChatExceptionEnum result = CheckCmdMsg(send, msg);
  if (result != ChatException_OK) return result;
  return RunCmdBridge(send, static_cast<unsigned>(msg->cmd), msg->text);
}

HandleChatExceptionEnum cBridge::RunCmdBridge(iSend* send, unsigned int cmd, const char* text) {
  TESSEL_ASSERT_WORKER();
  HandleChatExceptionEnum result = CheckCmd(send, cmd);
  if (result != ChatException_OK) return result;
  cCmd* group = GetCmdSafe(cmd);
  if (group == nullptr) return ChatException_NoCmd;
  if (text == nullptr) text = "";
  // The text is kept in a copy: the record it came in is returned to the pool after the pump.
  static std::string current;
  current = text;
  g_szCmd = current.c_str();
  g_cmd = static_cast<int>(cmd);
  if (send != nullptr && send->IsTraceRecieveCmd()) TraceRecieveCmd(send, cmd, text);
  NoteCmdRun(group->Do(text));
  if (m_pNextArray != nullptr) m_pNextArray->RunCmd(cmd, text);
  return ChatException_OK;
}

HandleChatExceptionEnum cBridge::HandleCmdRecord(const stCmdRecord& cmd) {
  return cCmdHandler(*this).Handle(cmd);
}

bool cBridge::IsStranger(const stBindMsg& msg) {
  iAccount* account = LinkAccount(msg.send);
  return account != nullptr && (!account->IsLogin() || account->IsReplayLogin() != msg.replayed);
}

bool cBridge::IsStranger(iSend* link) {
  const stBindMsg* served = get_gout().GetCurMsg();
  if (served != nullptr && served->send == link) return IsStranger(*served);
  stBindMsg own;
  own.send = link;
  return IsStranger(own);
}

void cBridge::TraceRecieveCmd(iSend* send, unsigned int cmd, const char* text) {
  platform::SetColor(platform::kColorDarkGreen);
  std::cout << "[TraceRecieveCmd]" << std::endl;
  std::cout << send->GetName() << " id " << send->GetID() << " cmd " << cmd << " "
            << EscapeControls(MaskCmdText(text)) << std::endl;
  platform::SetColor(platform::kColorLightCyan);
}

cCmd* cBridge::GetCmdSafe(unsigned int cmd) {
  if (cCmd* own = GetCmd(cmd)) return own;
  if (m_bUseConsoleCmd) {
    cCmdArray* console = cCmdArray::Console();
    return console != nullptr ? console->GetCmd(cmd) : nullptr;
  }
  return nullptr;
}

int cBridge::SendBackCmd(iSend* send, unsigned int cmd, const char* text) {
  TESSEL_ASSERT_WORKER();
  const cOriginDesk::cAnswering answering;
  const std::string& path = GetReturnPath();
  if (path.empty()) return SendCmd(send, static_cast<int>(cmd), text);
  return SendCmdPath(send, cmd, text, path.c_str());
}

// The path is a route template (route_text.h) that takes the group number and the text; the
// text goes into a long bracket it cannot close. The result travels as a command of group 7.
int cBridge::SendCmdPath(iSend* send, unsigned int cmd, const char* text, const char* path) {
  const std::string routed = FillRoute(path != nullptr ? path : "", static_cast<int>(cmd),
                                       text != nullptr ? text : "", "");
  return SendCmd(send, kRouteGroup, routed.c_str());
}

void cBridge::AddCmdLog_Run(const stBindMsg& msg) {
  TESSEL_ASSERT_WORKER();
  if (CmdLogFull()) ClearCmdLog(TraceMsg());
  stCmdLogEntry entry;
  // The group and text are read only inside the bytes received; a login text is masked.
  const cCmdRecordView view(msg.msg, msg.size);
  entry.group = view.Group();
  entry.text = MaskCmdText(view.Text());
  if (msg.msg != nullptr && msg.size >= sizeof(stMsg) && (IsServer() || IsMapServer()))
    entry.id = msg.msg->id;
  entry.time = std::time(nullptr);
  entry.tick = platform::TimeGetTime();
  m_nCmdLogBytes += sizeof(entry) + entry.text.size();
  m_lstCmdLog.push_back(std::move(entry));
}

// An accepted command is logged whole; a text that did not pass keeps only its first bytes, so
// that whoever sends refused texts cannot fill the log with them.
void cBridge::AddCmdLog_Result(HandleChatExceptionEnum result) {
  TESSEL_ASSERT_WORKER();
  if (m_lstCmdLog.empty()) return;
  stCmdLogEntry& entry = m_lstCmdLog.back();
  entry.result = result;
  if (result == ChatException_OK || entry.text.size() <= kLogTextBytes) return;
  const size_t whole = entry.text.size();
  entry.text = LogCmdText(entry.text);
  m_nCmdLogBytes -= whole - entry.text.size();
}

void cBridge::WriteCmdLogEntry(const stCmdLogEntry& entry) {
  cLog& log = m_pCmdLog->GetLog().BeginLine();
  log << platform::FormatLocalTime(platform::kLineTimeFormat, entry.time) << "【link】" << entry.id
      << " time " << entry.tick << "【cmd】" << entry.group << " {" << EscapeControls(entry.text)
      << "}"
      << " result " << entry.result << "\n";
}

void cBridge::ClearCmdLog(bool write) {
  TESSEL_ASSERT_WORKER();
  cTimerFunctionTessel guard("cBridge::ClearCmdLog", "", kClearCmdLogWarnMs, 1);
  if (write) {
    for (const stCmdLogEntry& entry : m_lstCmdLog) WriteCmdLogEntry(entry);
  }
  m_pCmdLog->GetLog().flush();
  m_lstCmdLog.clear();
  m_nCmdLogBytes = 0;
}

void cBridge::BindiConnectDisconnect(iConnectDisconnect* listener) {
  if (listener != nullptr) m_lstListeners.push_back(listener);
}

void cBridge::BindiTesselWorld(iTesselWorld* world) {
  if (world != nullptr) m_lstWorlds.push_back(world);
}

bool cBridge::CreateWorld() {
  for (iTesselWorld* world : m_lstWorlds)
    if (!world->CreateWorld()) return false;
  return true;
}

bool cBridge::DestroyWorld() {
  TESSEL_LOG(tessel_info(), "cBridge::DestroyWorld"
                                << " " << m_strName);
  bool all = true;
  for (iTesselWorld* world : m_lstWorlds) all = world->DestroyWorld() && all;
  return all;
}

void cBridge::OnConnectBridge(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  for (iConnectDisconnect* listener : m_lstListeners) listener->OnConnect(id);
}

bool cBridge::OnDisconnectBridge(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  // What the link defined in the groups goes with it; a link given the same id starts afresh.
  DropPeerEnv(this, id);
  bool all = true;
  for (iConnectDisconnect* listener : m_lstListeners) all = listener->OnDisconnect(id) && all;
  return all;
}

void cBridge::OnLoginedBridge(unsigned int id, int result) {
  TESSEL_ASSERT_WORKER();
  for (iConnectDisconnect* listener : m_lstListeners) listener->OnLogined(id, result);
}

void cBridge::End() {
  TESSEL_LOG(tessel_info(), "cBridge::End"
                                << " start " << m_strName);
  m_tEnd = std::time(nullptr);
  Report();
  m_pMsgLog->GetLog().flush();
  ClearCmdLog(true);
  m_pExceptionLog->flush();
  m_pReportLog->flush();
  EndLog();
  for (size_t level = 0; level < GetCmdCount(); ++level)
    if (cCmd* group = GetCmd(static_cast<unsigned>(level))) group->Clear();
  DestroyWorld();
  TESSEL_LOG(tessel_info(), "cBridge::End"
                                << " end! ");
}
