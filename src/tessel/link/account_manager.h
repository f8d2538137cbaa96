// The console accounts of the links of one listening server: one record per link, and the
// table of logged-in names (one link per name). Told of link events by the server's endpoint.
// Worker thread only.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tessel/link/account_help.h"
#include "tessel/msg/bridge_interfaces.h"

class iServer;
class cLoginDesk;
struct stMsg;

class iAccountManagerServer {
 public:
  virtual iAccount* GetAccount(unsigned int linkId) = 0;
  virtual iAccount* FindAccount(const char* name) = 0;
  virtual void SetLogin(unsigned int linkId, const char* name, int level) = 0;
  // `replayed`: the Login came from a replay of recorded traffic (iAccount::Login).
  virtual bool Login(unsigned int linkId, const char* name, const char* password,
                     bool replayed = false) = 0;
  virtual bool Logout(unsigned int linkId) = 0;
  virtual unsigned int GetAccountNum() = 0;
  virtual void AccountNum() = 0;
  virtual void Accounts() = 0;
  virtual void Account(const char* name) = 0;
  // Sends the record to every logged-in link; 1.
  virtual int SendMsgLogined(stMsg* msg, unsigned long size) = 0;
  // The names logged in now, in no particular order.
  virtual std::vector<std::string> AccountNames() { return {}; }
  virtual ~iAccountManagerServer() = default;
};

class cAccountManagerHelpServer : public iAccountManagerServer, public iConnectDisconnect {
 public:
  cAccountManagerHelpServer();
  ~cAccountManagerHelpServer() override;
  cAccountManagerHelpServer(const cAccountManagerHelpServer&) = delete;
  cAccountManagerHelpServer& operator=(const cAccountManagerHelpServer&) = delete;

  iAccount* GetAccount(unsigned int linkId) override;
  iAccount* FindAccount(const char* name) override;
  void SetLogin(unsigned int linkId, const char* name, int level) override;
  bool Login(unsigned int linkId, const char* name, const char* password,
             bool replayed = false) override;
  bool Logout(unsigned int linkId) override;
  unsigned int GetAccountNum() override { return static_cast<unsigned>(m_mapAccount.size()); }
  std::vector<std::string> AccountNames() override;
  void AccountNum() override;
  void Accounts() override;
  void Account(const char* name) override;
  int SendMsgLogined(stMsg* msg, unsigned long size) override;

  // Link events: a record is made when a link comes up and dropped when it goes down; the
  // manager always agrees to the disconnect.
  void OnConnect(unsigned int linkId) override { CreateAccount(linkId); }
  bool OnDisconnect(unsigned int linkId) override;
  void OnLogined(unsigned int, int) override {}

  iAccount* CreateAccount(unsigned int linkId);
  void BindBridge(iBridge* bridge) { m_pBridge = bridge; }
  iBridge* GetBridge() const { return m_pBridge; }
  // The network server whose links SendMsgLogined writes to.
  void BindNetServer(iServer* server) { m_pNetServer = server; }
  // When false, every new link starts logged in as "opsuser" at level 1.
  void SetNeedLogin(bool need) { m_bNeedLogin = need; }
  // Reads the rights of every logged-in account's file again; returns how many files were bad
  // (those accounts keep their rights).
  int ReloadRights();
  // When true, Accounts() prints the count only.
  void SetOnlyNum(bool only) { m_bOnlyNum = only; }
  // Answers the links' Login commands, slowing guesses (login_desk.h).
  cLoginDesk& GetLoginDesk() { return *m_pDesk; }

 private:
  // Drops every table entry that points at `account`, except one under `keep` (when given);
  // true if any was dropped.
  bool EraseEntries(const iAccount* account, const char* keep = nullptr);

  bool m_bNeedLogin = true;
  iBridge* m_pBridge = nullptr;
  iServer* m_pNetServer = nullptr;
  std::vector<iAccount*> m_vAccount;  // by link id, owned
  std::unordered_map<std::string, iAccount*> m_mapAccount;
  bool m_bOnlyNum = false;
  std::unique_ptr<cLoginDesk> m_pDesk;
};
