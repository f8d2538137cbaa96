// The listening end of links: a bridge with the network library's server object (owned), the
// table of allowed peer addresses with its file, and the account rules that decide what a peer
// may run. Worker thread only.
#pragma once

#include <istream>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tessel/link/bridge.h"

class iServer;
class iAccountManagerServer;

class iAccount;

class cBridgeServer : public cBridge {
 public:
  // Creates the endpoint's server callback.
  cBridgeServer();
  ~cBridgeServer() override;

  // Stores the server object and hands it the address table.
  void SetNet(iServer* server);
  iServer* GetNetServer() const { return m_pNetServer; }
  void BindAMServer(iAccountManagerServer* manager) { m_pAMServer = manager; }
  iAccountManagerServer* GetAMServer() const { return m_pAMServer; }
  // Whether a link's object is released once every listener agreed to its disconnect.
  void SetReleaseOnDisconnect(bool release) { m_bReleaseOnDisconnect = release; }

  // The table of allowed peers: name -> address, kept in name order. False (nothing changed)
  // when the name or the address is not one word, or when the entry would not fit the table.
  bool NameIP(const char* name, const char* ip);
  // Whether the table, with this entry set, stays within what LoadIP reads of its file (1 MiB):
  // a longer file is read as none at the next start, and would admit nobody.
  bool IPTableFits(const std::string& name, const std::string& ip) const;
  // NameIP, then saves the file and hands the new list to the server object. False when the
  // entry was refused or not saved (said on the console; the entry holds in the table).
  bool SetNameIP(const char* name, const char* ip);
  // Adds the entries of a file ("name address" lines; an empty line ends the list). A file that
  // is there but cannot be read (a pipe, past 1 MiB, a first line that is no entry) is said in
  // red (and in tessel.err) and admits nobody until an entry is set.
  bool LoadIP(const char* file);
  // The addresses handed to the server object: empty admits every address.
  std::vector<std::string> AdmittedIPs() const;
  // Writes the table to its file. Every process of this server name in the home saves the same
  // file: under the folder's lock the file is read again and what it holds is kept but for the
  // names set here since the last save. False, the file as it was, when it cannot be saved.
  bool SaveIP();
  void SetIP();
  void TraceIP(std::ostream& os);
  const std::map<std::string, std::string>& GetNameIPs() const { return m_mapIP; }

  void OnConnect(unsigned int id) override;
  bool OnDisconnect(unsigned int id) override;
  void OnLogined(unsigned int id, int result) override;
  // The serial of the connection that holds the link id now, new at every connect; 0 while none
  // does. An answer made later goes only to the connection it was made for.
  uint64_t GetLinkSerial(unsigned int id) const;

  // The account rules: groups 0 to 19 (and commands whose check asks for a login) need an
  // account; groups other than 2 need it logged in with a level above 0.
  HandleChatExceptionEnum CheckCmd(iSend* send, unsigned int cmd) override;
  using cBridge::RunCmdBridge;
  // A link that is not logged in with a level above 0 may run in group 2 only a single call of
  // Login or Logout with literal arguments; anything else is refused with 16.
  HandleChatExceptionEnum RunCmdBridge(iSend* send, unsigned int cmd, const char* text) override;
  void ClearNet() override;

  iAccount* LinkAccount(iSend* link) override;
  // A stranger gets only the login group's command records among the system's own record types
  // and groups 0 to 19; command records of groups from 20 on and record types the application
  // registered go on to the application's own checks. ChatException_OK when the record may go
  // on; otherwise ChatException_NotLogin, counted, and logged the first time for the link.
  HandleChatExceptionEnum RefuseStranger(const stBindMsg* msg);
  // Records refused from strangers since the endpoint was made.
  unsigned long GetStrangerRefused() const { return m_nStrangerRefused; }
  // Cuts the link (reason 22, banned) and refuses every record of it not handled yet: what it
  // queued behind a running command does not run with its account while its end is on the way.
  // False when the server has no such link.
  bool Kick(unsigned int id);
  // Tells the link's peer whether it may carry origins (cOriginDesk::Greet) ahead of the answer
  // to its login, so that a client knows before it counts itself logged in; the mark of the
  // login that follows then greets no more.
  void GreetAhead(unsigned int id);

 private:
  bool IsTrustedLink(iSend* send);
  // Tells the network library that the link's peer logged in (its login deadline is over).
  void MarkLogined(unsigned int id);
  void RefuseLoginGroupText(iSend* send, const char* text);
  void LogStranger(const stBindMsg* msg);
  // A record of a kicked link: refused, the first one logged.
  HandleChatExceptionEnum RefuseKicked(const stBindMsg* msg);
  // Its audit line, with the same once-per-link bound.
  void AuditStranger(const stBindMsg* msg);
  // LoadIP met an empty line at `number`; `rest` holds the lines after it.
  void EndAtEmptyLine(std::istream& rest, int number);

  bool m_bReleaseOnDisconnect = true;
  std::string m_strIPFile;
  bool m_bListUnread = false;  // the file was there but gave no entry
  std::map<std::string, std::string> m_mapIP;
  std::set<std::string> m_changedIP;  // names set here since the table was last saved
  iServer* m_pNetServer = nullptr;
  iAccountManagerServer* m_pAMServer = nullptr;
  std::unordered_set<unsigned> m_strangerLogged;  // links whose refusal was logged (until down)
  std::unordered_set<unsigned> m_kicked;          // links cut by Kick (until down)
  std::unordered_set<unsigned> m_greetedAhead;    // greeted before their login is marked
  unsigned long m_nStrangerRefused = 0;
  std::unordered_map<unsigned int, uint64_t> m_linkSerials;
  uint64_t m_nLastSerial = 0;
};

// The account the server endpoint serving the current command holds for the requester's link;
// null when no server endpoint is serving one. Worker thread only.
iAccount* ServingAccount();
