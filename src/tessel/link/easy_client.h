// The connecting side of a server program, one per server it connects to: a program derives
// from it, names the link and fills its connection record (LoadInfo reads the login file); it
// owns its link endpoint and the link's message registry. The host starts it (main thread),
// drives it every cycle (worker thread) and ends it (main thread). Not copyable.
#pragma once

#include <ostream>
#include <string>

#include "tessel/contracts/net_records.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/easy_server.h"

class cMsg;
class iClient;

class cEasyClient {
 public:
  // The exception command group of the server, told when this side ends after an exception.
  static constexpr int kExceptionGroup = 12;

  cEasyClient() = default;
  cEasyClient(const cEasyClient&) = delete;
  cEasyClient& operator=(const cEasyClient&) = delete;

  // Virtual operations, in slot order.
  virtual ~cEasyClient();
  // Makes the message registry and the link endpoint; false (after a message) on failure.
  virtual bool CreateTessel();
  virtual void GetInfo(stClientInfo& info) = 0;
  virtual const char* GetName() = 0;
  virtual void Trace(std::ostream& os);
  virtual bool Start();
  virtual void BeforeEnd() {}
  // No automatic re-connect from now on.
  virtual void StartEnd();
  // The reason CanEnd gives while the link has unsent data.
  static constexpr const char* kUnsentReason = "Send Buffer not empty!";
  // False with the reason kUnsentReason while the link has unsent data.
  virtual bool CanEnd(std::string& reason);
  virtual void OnServerException() {}
  virtual void ExceptionWait() {}
  // No automatic re-connect; tells the server "ClientException()".
  virtual void ExceptionEnd();

  void End();
  void RunEasy(unsigned long elapsedMs) { m_BridgeClient.Run(elapsedMs); }
  void HandleMsg() { m_BridgeClient.HandleMsg(0); }
  void HandleMsgEx(unsigned int n) { m_BridgeClient.HandleMsg(n); }
  void ClearNet() { m_BridgeClient.ClearNet(); }
  unsigned int GetMsgNum();
  iClient* GetNetClient() { return m_BridgeClient.GetNetClient(); }
  cBridgeClient* GetBridgeClient() { return &m_BridgeClient; }
  cMsg* GetMsg() { return m_pMsg; }
  // Sets account and password of the link's connection record.
  void SetAccount(const char* account, const char* password);
  void TraceSendCmd(bool on);
  void TraceRecieveCmd(bool on);
  // Fills the address and account fields from the login file and the launch parameters.
  void LoadInfo(stClientInfo& info);
  // The login file of this client: true with its path, or false (after a message) with "".
  bool GetLoginFile(std::string& path);
  // The folder of the login files: the first that exists of "config/" + the executable's file
  // name `exe` and "config/" + its exe name `exeName` (which carries the map suffix), else
  // "config".
  static std::string LoginFolder(const std::string& exe, const std::string& exeName);
  // A started copy of this client under another name, never connecting by itself; kept in the
  // process-wide clone list for the life of the process.
  cEasyClient* Clone(const char* name, int netType);

 protected:
  cBridgeClient m_BridgeClient;
  cMsg* m_pMsg = nullptr;
};

// A client made at run time as a copy of another, with a name of its own.
class cEasyClientClone : public cEasyClient {
 public:
  cEasyClientClone(const char* name, const stClientInfo& info) : m_strName(name), m_info(info) {}
  void GetInfo(stClientInfo& info) override { info = m_info; }
  const char* GetName() override { return m_strName.c_str(); }

 private:
  std::string m_strName;
  stClientInfo m_info;
};
