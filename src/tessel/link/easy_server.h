// The listening side of a server program: a program derives from it, names the link and fills
// its set-up record; it owns its link endpoint, the link's message registry and the console
// account manager of its links. The host starts it (main thread), drives it every cycle (worker
// thread) and ends it (main thread). Not copyable.
#pragma once

#include <ostream>
#include <string>

#include "tessel/contracts/net_records.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"

class cMsg;
class iServer;

class cEasyServer {
 public:
  // The exception command group of the peers, told when this side ends after an exception.
  static constexpr int kExceptionGroup = 12;

  cEasyServer();
  cEasyServer(const cEasyServer&) = delete;
  cEasyServer& operator=(const cEasyServer&) = delete;

  // Virtual operations, in slot order.
  virtual ~cEasyServer();
  // Makes the message registry, binds the account manager and makes the link endpoint.
  virtual bool CreateTessel();
  virtual void GetInfo(stServerInfo& info) = 0;
  virtual const char* GetName() = 0;
  virtual void Trace(std::ostream& os);
  virtual void BeforeEnd() {}
  virtual void StartEnd() {}
  virtual bool CanEnd(std::string&) { return true; }
  // Tells every link "ServerException()".
  virtual void ExceptionEnd();
  virtual void ExceptionWait() {}
  virtual void OnClientException(unsigned int) {}

  // Loads the address file, makes the endpoint and the listening network server.
  bool Start();
  void End();
  void RunEasy(unsigned long elapsedMs) { m_BridgeServer.Run(elapsedMs); }
  // Pumps the link's queue, then answers the logins that have come due.
  void HandleMsg() { HandleMsgEx(0); }
  void HandleMsgEx(unsigned int n);
  // Releases the network server (the account manager forgets it first).
  void ClearNet();
  unsigned int GetMsgNum();
  void TraceSendCmd(bool on);
  void TraceRecieveCmd(bool on);
  iAccountManagerServer* GetAMServer() { return m_pAccountManager; }
  cAccountManagerHelpServer& GetAccountManagerHelpServer() { return *m_pAccountManager; }
  cBridgeServer* GetBridgeServer() { return &m_BridgeServer; }
  // The network server of the link; null before Start and after ClearNet.
  iServer* GetNetServer() { return m_BridgeServer.GetNetServer(); }
  cMsg* GetMsg() { return m_pMsg; }
  // Milliseconds a new link may take to log in before it is cut, 0 for no deadline; taken from
  // the configuration value "login_deadline" (default kDefaultLoginDeadlineMs) at Start unless
  // set here first.
  // Without a deadline no link gives way to a new one when the server is full. The delay of a
  // slowed login is kept to half of it (kNoDeadlineLoginDelayMs without one).
  void SetLoginDeadline(unsigned int ms);
  unsigned int GetLoginDeadline() const;

  // Flood limits of every link, unless the program's GetInfo sets others: the configuration
  // values "flood_records" (records per second) and "flood_kbytes" (KiB per second). They are
  // far above what a cluster's busiest link carries (a link's queue is bounded in bytes anyway);
  // links that have not logged in are held to much tighter ones.
  static constexpr unsigned int kDefaultFloodRecords = 1000000;
  static constexpr unsigned int kDefaultFloodKBytes = 1048576;
  // Three times the wait of a client whose login was refused before it logs in again
  // (cBridgeClient::kReloginSeconds), so that the retry comes on the same link.
  static constexpr unsigned int kDefaultLoginDeadlineMs = 30000;
  static constexpr unsigned int kNoDeadlineLoginDelayMs = 30000;

 protected:
  cBridgeServer m_BridgeServer;
  cAccountManagerHelpServer* m_pAccountManager;
  cMsg* m_pMsg = nullptr;

 private:
  // Tells the network server and the login desk.
  void ApplyLoginDeadline(unsigned int ms);

  int m_nLoginDeadlineMs = -1;  // -1: from the configuration
};
