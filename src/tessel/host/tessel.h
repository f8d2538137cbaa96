// The host: owns the worker thread that runs every cycle (links' messages, console input, game
// clock, timers, the links' periodic work), runs the console loop on the caller's thread, ends
// the process in order (on request, at a scheduled time or after an exception) and keeps the
// registries of the process's easy servers and clients. Start-up, Main and End: main thread;
// the cycle: worker thread; lookups, Exit and Restart: any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "tessel/core/host.h"
#include "tessel/core/thread.h"
#include "tessel/host/console_input.h"
#include "tessel/host/service_watch.h"

class cEasyServer;
class cEasyClient;
class cBridgeServer;
class cBridgeClient;
class cBridge;
class iSend;
class iAccountManagerServer;
class iServer;
class iClient;

// The pauses of the end sequence. The defaults are the host's own; a program may shorten them.
struct stEndPacing {
  unsigned long pauseMs = 100;           // after End begins
  unsigned long pollMs = 2000;           // between two rounds of CanEnd
  unsigned long exceptionRounds = 10;    // ExceptionWait rounds of the exception phase
  unsigned long exceptionStepMs = 1000;  // pause after each round
  unsigned long threadEndMs = 10000;     // how long the worker may take to stop
  unsigned long settleMs = 2000;         // between ending the links and clearing the network
};

class cTessel : public cThreadCallback, public iHost {
 public:
  // The process's host, made on first use (network start-up, working directory, allocation
  // aids) and kept until the process ends.
  static cTessel& Instance();
  // The host installed for the lower floors (the last one that ran Init), else Instance().
  static cTessel& Current();
  // A host of its own; a process normally uses Instance() only.
  cTessel();
  virtual ~cTessel();
  cTessel(const cTessel&) = delete;
  cTessel& operator=(const cTessel&) = delete;

  // Start-up, in this order.
  void SetProgram(const char* buildDate, const char* buildTime, const char* version,
                  const char* program);
  void Init();
  // Starts the console parser, every server, every client; with bThread also the worker. Runs
  // once: a second call is refused (false), since it would start every link and worker again.
  bool Start(bool bThread);
  // Starts the worker; 0 while one runs already (two would run the cycle side by side).
  int RunThread();

  // The worker.
  unsigned int Thread() override;
  unsigned int _Thread();
  unsigned int MyThread();
  // One cycle, and its message part; n > 0 bounds the items each queue's pump takes, 0 takes
  // all that were queued.
  void RunOnce(unsigned int n);
  void HandleMsg(unsigned int n);
  // The timed part of a cycle; always true.
  bool Run(unsigned long elapsedMs);
  // Between two periodic cycles the worker sleeps until woken, then handles what arrived: the
  // links' queued records and the console's waiting line. Worker thread.
  void RunWoken();
  // Wakes the worker for a queued record or a handed-over console line; one wake-up stands for
  // every arrival until the worker has taken it. Any thread.
  void WakeWorker() override;
  // The interval of the periodic cycle (10 ms); set before the worker starts.
  void SetCycleInterval(unsigned long ms) { m_dwCycleInterval = ms; }
  // Periodic cycles the worker has run.
  uint64_t GetPeriodicCycles() const { return m_nPeriodicCycles.load(); }

  // The console loop; returns when the operator (or Exit) quits.
  void Main();
  // Asks the console loop to quit; with crash, first writes the crash status.
  void Exit(bool crash);
  // when = 0: stops now; otherwise at the first cycle whose timer-manager clock reaches when.
  void Restart(long when, bool restart) override;
  // Drops a planned stop; a stop already under way goes on.
  void CancelRestart() override { m_nRestartTime = 0; }
  // The orderly end; runs once. Called on the worker, it only makes the console loop quit.
  void End();
  void Wait();
  void Exception();
  void EndThread(unsigned long ms);
  void EndThread();
  void ClearNet();
  // Writes a crash report of the present state, then makes the console loop quit.
  void Dump();

  // Registries of easy servers and clients (not owned), keyed by their names.
  void SetTesselServer(cEasyServer* server);
  void SetTesselClient(cEasyClient* client) override;
  cEasyServer* GetTesselServer(const char* name) override;
  cEasyClient* GetTesselClient(const char* name) override;
  cEasyServer* GetTesselServerOne(const char* name);
  cEasyClient* GetTesselClientOne() override;
  bool IsServer() override;
  cBridgeServer* GetBridgeServer(const char* name) override;
  cBridgeClient* GetBridgeClient(const char* name) override;
  iServer* GetNetServer(const char* name) override;
  iClient* GetNetClient(const char* name) override;
  iAccountManagerServer* GetAMServer(const char* name) override;
  iAccountManagerServer* GetAMServerFront();
  // The named server's endpoint, else the named client's; null if none.
  cBridge* FindBridge(const char* name) override;
  // The link on which some server has the account `name` logged in; null if none.
  iSend* FindServerAccount(const char* name) override;
  // found = 1 and the link to the program called `name`: a client of that name, else a server
  // link with that account logged in; found = 0 and null otherwise.
  iSend* FindLinkProgram(const char* name, int& found) override;
  // The process's own account name: the default route's login account when a default route is
  // set, else the program's name.
  const char* GetAccount() override;
  int IsAccount(const char* name) override;
  // Sends the command to every link of every server.
  void SendCmdAllServer(int cmd, const char* text);
  // The same, skipping servers made for many links (word after the name of 1000 or more); the
  // number of links it went on, -1 when no server is a server manager.
  int SendCmdAllServerManager(int cmd, const char* text) override;
  void CheckServerLinks(const char* tag) override;
  int GetMsgNum();
  void TraceSendCmd(bool on) override;
  void TraceRecieveCmd(bool on) override;
  void ListClients(std::ostream& os) override;
  void ListServers(std::ostream& os) override;
  // Snapshots of the registered servers / clients, in no particular order.
  std::vector<cEasyServer*> Servers() const override;
  std::vector<cEasyClient*> Clients() const override;
  void Version(std::ostream& os);

  std::vector<std::pair<std::string, int>> EasyServerInfos() override;
  std::string StatusLine() override { return m_service.StatusLine(*this); }

  void SetDefaultRoute(cBridgeClient* route) { m_pDefaultRoute.store(route); }
  cBridgeClient* GetDefaultRoute() const override { return m_pDefaultRoute.load(); }
  void SetAccountFather(const char* name) override;
  std::string GetAccountFather() const;

  bool IsStopped() const { return m_bStopped.load(); }
  bool IsEnded() const { return m_bEnded.load(); }
  int GetWaitTime() const { return m_nWaitTime.load(); }
  bool GetRestartFlag() const { return m_bRestart.load(); }
  long GetRestartTime() const { return m_nRestartTime.load(); }
  bool HasThread() const { return m_pThread.load() != nullptr; }
  // The worker was abandoned and has not yet left its body.
  bool HasAbandonedWorker() const { return m_bAbandoned.load() && m_bWorkerBusy.load(); }
  void SetEndPacing(const stEndPacing& pacing) { m_pacing = pacing; }

 private:
  void RunInit();
  void CreateDefaultScript();
  void InstallHooks();
  void RemoveHooks();
  void OnConsoleSignal(int signo);
  // Takes the turn of Start and End (see m_lifeTurn); the lock owns nothing when the wait ran out.
  std::unique_lock<std::recursive_mutex> TakeLifeTurn();
  void ReportSlowCycle(uint32_t costMs);
  void HandleConsoleLine(const std::string& line);
  // Waits (at most kLineRunWaitMs) until the worker has run the lines handed over.
  void WaitLineRun();
  static constexpr int kLineRunWaitMs = 3000;
  // Opens /dev/null on any of the descriptors 0 to 2 that is closed, so that no pipe or socket
  // made later takes their place (a write to "standard output" would then go into it). Runs
  // first of all members.
  static bool OpenStandardFds();

  bool m_bStandardFds = OpenStandardFds();
  std::atomic<bool> m_bStopped{false};
  std::atomic<bool> m_bStarted{false};      // Start ran
  std::atomic<bool> m_bStartFailed{false};  // Start ran and returned false
  std::atomic<cBridgeClient*> m_pDefaultRoute{nullptr};
  mutable std::mutex m_mutexLinks;
  std::unordered_map<std::string, cEasyClient*> m_mapClients;
  std::unordered_map<std::string, cEasyServer*> m_mapServers;
  mutable std::mutex m_mutexFather;
  std::string m_strAccountFather;
  std::atomic<bool> m_bRestart{false};
  std::atomic<long> m_nRestartTime{0};
  std::atomic<bool> m_bEnded{false};
  // A signal came while the end was under way: the graceful phase stops waiting for the links.
  std::atomic<bool> m_bHurry{false};
  std::atomic<bool> m_bInMain{false};  // the console loop runs
  // Start and End take turns: an end asked by a signal waits for a start in progress (which
  // would go on with the links the end releases), and a second end waits for the first before
  // its caller leaves the process. A turn is waited for kLifeTurnMs at most.
  std::recursive_mutex m_lifeTurn;
  static constexpr int kLifeTurnMs = 30000;
  std::atomic<int> m_nWaitTime{10000};
  std::atomic<cThread*> m_pThread{nullptr};
  // Set when the worker did not stop in time: its cycle takes no further step. Cleared when a
  // worker starts.
  std::atomic<bool> m_bAbandoned{false};
  std::atomic<bool> m_bWorkerBusy{false};  // the worker's body runs
  unsigned long m_dwCycleInterval = 10;
  std::atomic<uint64_t> m_nPeriodicCycles{0};
  // The running worker's event, which WakeWorker signals; null while no worker waits on it.
  std::mutex m_wakeLock;
  std::shared_ptr<cThread::Event> m_wakeEvent;
  std::atomic<bool> m_bWakePending{false};
  std::atomic<uint32_t> m_dwLastTick{0};
  uint32_t m_dwZoneTick = 0;  // the worker's: when it last took the zone's offset
  std::string m_strInitCmd;
  stEndPacing m_pacing;
  bool m_bSignalsOwned = false;  // the signal thread calls this host
  cConsoleInput m_console;
  cServiceWatch m_service;
};

// The network object of the named easy server / client of the process's host; null if none.
iServer* GetNetServer(const char* name);
iClient* GetNetClient(const char* name);
