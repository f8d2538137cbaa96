// The host as the lower floors see it: the process's link endpoints by name, its own account
// and default route, the planned stop, and the values that only the host knows. The program's
// host installs itself once at start-up; until then (and in tests that install none) every
// question gets the neutral answer of this base class. A test replaces single answers by
// installing a subclass. Which thread may call a method is said where the host implements it.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

class cEasyServer;
class cEasyClient;
class cBridge;
class cBridgeServer;
class cBridgeClient;
class cCmdArray;
class iSend;
class iServer;
class iClient;
class iAccountManagerServer;

class iHost {
 public:
  virtual ~iHost() = default;

  // The registered easy servers and clients, and lookups by name; null when there is none.
  virtual std::vector<cEasyServer*> Servers() const { return {}; }
  virtual std::vector<cEasyClient*> Clients() const { return {}; }
  virtual void SetTesselClient(cEasyClient*) {}
  virtual cEasyServer* GetTesselServer(const char*) { return nullptr; }
  virtual cEasyClient* GetTesselClient(const char*) { return nullptr; }
  virtual cEasyClient* GetTesselClientOne() { return nullptr; }
  // True while the host has an easy server.
  virtual bool IsServer() { return false; }
  virtual cBridgeServer* GetBridgeServer(const char*) { return nullptr; }
  virtual cBridgeClient* GetBridgeClient(const char*) { return nullptr; }
  virtual iServer* GetNetServer(const char*) { return nullptr; }
  virtual iClient* GetNetClient(const char*) { return nullptr; }
  virtual iAccountManagerServer* GetAMServer(const char*) { return nullptr; }
  // The named server's endpoint, else the named client's.
  virtual cBridge* FindBridge(const char*) { return nullptr; }
  // The link on which some server has the account `name` logged in.
  virtual iSend* FindServerAccount(const char*) { return nullptr; }
  // found = 1 and the link to the program called `name`, else found = 0 and null.
  virtual iSend* FindLinkProgram(const char*, int& found) {
    found = 0;
    return nullptr;
  }
  virtual void ListServers(std::ostream&) {}
  virtual void ListClients(std::ostream&) {}
  // Runs after every handled delivery: the host's check of its servers' links.
  virtual void CheckServerLinks(const char*) {}
  // The number of links the command went on; -1 when the process has no server manager.
  virtual int SendCmdAllServerManager(int, const char*) { return -1; }
  virtual void TraceSendCmd(bool) {}
  virtual void TraceRecieveCmd(bool) {}

  // The process's own account name (without a route above it, the program's name), and the
  // accounts and route above it.
  virtual const char* GetAccount();
  virtual int IsAccount(const char* name);
  virtual void SetAccountFather(const char*) {}
  virtual cBridgeClient* GetDefaultRoute() const { return nullptr; }

  // Wakes the host's worker when it waits between passes: a record was queued or a console
  // line handed over. Cheap when the worker is already awake. Any thread.
  virtual void WakeWorker() {}

  // The planned stop: when = 0 now, else at that timer-manager time; and its cancelling.
  virtual void Restart(long, bool) {}
  virtual void CancelRestart() {}

  // Values the host provides to the program values and the log routing.
  // For every easy server: its name and the link count its network server reports.
  virtual std::vector<std::pair<std::string, int>> EasyServerInfos() { return {}; }
  // The launch parameter "map".
  virtual std::string MapServerName();
  // A configuration string by name ("FirewallIP").
  virtual std::string ConfigString(const char* name);
  // The machine's IPv4 addresses in the order the system lists its interfaces.
  virtual std::vector<std::string> OwnAddresses();
  // The path of the log file `name`.
  virtual std::string LogFilePath(const char* name);
  // The process's state in one line, for the cluster view (the accounts group's Status): empty
  // without a host. Worker thread.
  virtual std::string StatusLine() { return {}; }
};

// The installed host, else the neutral one. Any thread.
iHost& GetHost();
// Installs `host` (null: back to the neutral one). The program's host does it once in Init; a
// test may install its own. Any thread; the host must outlive its installation.
void SetHost(iHost* host);
// The installed host, null when none is.
iHost* GetInstalledHost();
