// One end of a link seen from the application: owns its command groups (as a command array),
// its network callback, its five logs and the log of received commands; pumps the callback's
// queue, runs commands from peers after checking them, and reports throughput every 30 seconds.
// Derived endpoints supply the network side. Worker thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <list>
#include <string>
#include <vector>

#include "tessel/contracts/loglib.h"
#include "tessel/core/cmd_array.h"
#include "tessel/link/log_budget.h"
#include "tessel/msg/bridge_interfaces.h"

class iAccount;

class cBridge : public iBridge, public cCmdArray {
 public:
  // The command log is written out and emptied when it holds this many entries or bytes.
  static constexpr size_t kCmdLogCap = 5000;
  static constexpr size_t kCmdLogCapBytes = 1 << 20;
  // Thresholds of the pump's warnings.
  static constexpr uint32_t kSlowPumpMs = 100;
  static constexpr int kBusyPumpRecords = 500;
  // Seconds between two throughput reports.
  static constexpr std::time_t kReportSeconds = 30;

  cBridge();
  cBridge(const cBridge&) = delete;
  cBridge& operator=(const cBridge&) = delete;

  // Set-up and lifecycle.
  bool CreateBridge(const char* name, cMsg* msg);
  void Start();
  void Run(unsigned long elapsed) override;
  bool CreateWorld() override;
  bool DestroyWorld() override;
  // Pumps the delivery queue: at most n items when n > 0, else all it held when the pump began.
  void HandleMsg(unsigned int n);
  void Report();
  void ClearCmdLog(bool write);

  // Configuration by the application.
  void SetCheck(iCheckCmd* check) { m_pCheck = check; }
  void SetCheckMsg(iCheckCmdMsg* check) { m_pCheckMsg = check; }
  void SetDistribute(iDistribute* distribute) { m_pDistribute = distribute; }
  // false stops the pump, true resumes it.
  void ForbidHandleMessage(bool handle) { m_bHandleMsg = handle; }
  bool IsHandleMessage() const { return m_bHandleMsg; }
  void SetNext(bool next) { m_bNext = next; }
  bool IsNext() const { return m_bNext; }
  void BindNext(cCmdArray* next) { m_pNextArray = next; }
  cCmdArray* GetNext() const { return m_pNextArray; }
  bool HaveBindNext() const { return m_pNextArray != nullptr; }
  // Whether GetCmdSafe falls back to the console's groups.
  void SetUseConsoleCmd(bool use) { m_bUseConsoleCmd = use; }
  void BindiConnectDisconnect(iConnectDisconnect* listener) override;
  void BindiTesselWorld(iTesselWorld* world) override;

  // Link events, called by the derived endpoints.
  void OnConnectBridge(unsigned int id);
  bool OnDisconnectBridge(unsigned int id);
  void OnLoginedBridge(unsigned int id, int result);

  // Commands.
  HandleChatExceptionEnum RunCmdBridge(iSend* send, unsigned int cmd, const char* text) override;
  HandleChatExceptionEnum RunCmdBridge(iSend* send, stMsg_Cmd* msg) override;
  // The one handler of a command record from a link (cCmdHandler).
  HandleChatExceptionEnum HandleCmdRecord(const stCmdRecord& cmd) override;
  // The console account of the link: a server side's record of it; null elsewhere.
  virtual iAccount* LinkAccount(iSend*) { return nullptr; }
  // Whether `msg`, a record received on a link, comes from a stranger: the link has an account
  // record that is not logged in for it. A login a replay made holds for the replay's records
  // only and the peer's own login for the peer's own, so what the peer sends on a link a replay
  // logged in is a stranger's (and so is a replayed record on a link its peer logged in).
  bool IsStranger(const stBindMsg& msg);
  // The same for the record served now, when it came on `link`; else for the peer's own.
  bool IsStranger(iSend* link);
  cCmd* GetCmdSafe(unsigned int cmd) override;
  int SendBackCmd(iSend* send, unsigned int cmd, const char* text) override;
  int SendCmdPath(iSend* send, unsigned int cmd, const char* text, const char* path);
  // At most cLogBudget::kEntriesPerSecond entries a second per link; the rest is summed up in
  // the exception log.
  bool MayLog(iSend* link) override;
  // At most cEventBudget::kLinesPerSecond link event lines a second; the rest is summed up on
  // the console and in the message log.
  bool MayLogLinkEvent() override;
  // At most cEventBudget::kLinesPerSecond lines a second, in the exception log and the audit
  // trail together, about records of links that have not logged in (a failed or accepted login
  // aside): each connection is a new link, so a stranger reconnecting would write at its speed.
  // The rest is summed up in the exception log.
  bool MayNoteStranger();
  void AddCmdLog_Run(const stBindMsg& msg) override;
  void AddCmdLog_Result(HandleChatExceptionEnum result) override;
  size_t GetCmdLogSize() const { return m_lstCmdLog.size(); }
  size_t GetCmdLogBytes() const { return m_nCmdLogBytes; }

  // Accessors.
  iDistribute* GetDistribute() override { return m_pDistribute; }
  cMsg& GetMsg() override { return *m_pMsg; }
  cMsgLog& GetMsgLog() override { return *m_pMsgLog; }
  cMsgLog& GetCmdLog() override { return *m_pCmdLog; }
  cLog& GetExceptionLog() override { return *m_pExceptionLog; }
  cLog& GetCmdReport() { return *m_pReportLog; }
  cNetHelp* GetNetHelp() override { return m_pNetHelp; }
  const char* GetName() override { return m_strName.c_str(); }
  const std::string& GetNameStr() const { return m_strName; }
  uint32_t GetHandledTime() const { return m_dwHandledTime; }

  virtual HandleChatExceptionEnum CheckCmd(iSend* send, unsigned int cmd);
  virtual HandleChatExceptionEnum CheckCmdMsg(iSend* send, stMsg_Cmd* msg);
  virtual void End();
  // Releases the network objects of the derived endpoint.
  virtual void ClearNet() = 0;

  // The text and group number of the command running now in any endpoint.
  static const char* g_szCmd;
  static int g_cmd;

 protected:
  virtual ~cBridge();
  // Whether more than `seconds` passed from `since` to `now` on the calendar clock. A clock set
  // back before `since` starts the wait again at `now`, rather than holding it until the clock
  // has caught up (an hour set back held reconnects, logins and reports for an hour).
  static bool PassedSince(std::time_t& since, std::time_t now, std::time_t seconds) {
    if (now < since) since = now;
    return now - since > seconds;
  }

  cNetHelp* m_pNetHelp = nullptr;

 private:
  struct stCmdLogEntry {
    int group = 0;
    std::string text;  // masked; cut once it is known that the text did not pass
    int id = 0;
    int result = -1;
    std::time_t time = 0;
    uint32_t tick = 0;
  };
  void WriteCmdLogEntry(const stCmdLogEntry& entry);
  bool CmdLogFull() const;
  void TraceRecieveCmd(iSend* send, unsigned int cmd, const char* text);
  void WarnPump(const loglib::logger& log, uint32_t cost);
  void WriteEventsLeftOut(unsigned long left);
  void WriteStrangersLeftOut(unsigned long left);
  static bool TraceMsg();

  cMsg* m_pMsg = nullptr;
  cMsgLog* m_pMsgLog;
  cMsgLog* m_pCmdLog;
  iCheckCmd* m_pCheck = nullptr;
  iCheckCmdMsg* m_pCheckMsg = nullptr;
  uint32_t m_dwHandledTime = 0;
  bool m_bNext = false;
  iDistribute* m_pDistribute = nullptr;
  bool m_bHandleMsg = true;
  std::string m_strName;
  cLog* m_pExceptionLog;
  cLog* m_pReportLog;
  std::time_t m_tStart = 0;
  std::time_t m_tEnd = 0;
  std::time_t m_tLastReport = 0;
  bool m_bUseConsoleCmd = true;
  cCmdArray* m_pNextArray = nullptr;
  std::list<iConnectDisconnect*> m_lstListeners;
  std::list<iTesselWorld*> m_lstWorlds;
  std::list<stCmdLogEntry> m_lstCmdLog;
  size_t m_nCmdLogBytes = 0;  // held by the entries of m_lstCmdLog
  cLogBudget m_logBudget;
  cEventBudget m_eventBudget;
  cEventBudget m_strangerBudget;
};

// The text and group number of the command running now ("" and 0 before any).
const char* g_GetCurCmdStr();
int g_GetCurCmd();
