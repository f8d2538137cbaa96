// The connecting side of a server program, one per server it connects to: a program derives
// from it, names the link and fills its connection record; the host starts it, drives it every
// cycle (worker thread) and ends it (main thread). Not copyable.
#pragma once

#include <ostream>
#include <string>

#include "tessel/contracts/net_records.h"
#include "tessel/link/easy_server.h"

class cBridgeClient;
class iClient;

class cEasyClient {
 public:
  cEasyClient() = default;
  cEasyClient(const cEasyClient&) = delete;
  cEasyClient& operator=(const cEasyClient&) = delete;

  // Virtual operations, in slot order.
  virtual ~cEasyClient() = default;
  virtual bool CreateTessel() = 0;
  virtual void GetInfo(stClientInfo& info) = 0;
  virtual const char* GetName() = 0;
  virtual void Trace(std::ostream& os) = 0;
  virtual bool Start() = 0;
  virtual void BeforeEnd() = 0;
  virtual void StartEnd() = 0;
  // False with a reason while the client must not end yet.
  virtual bool CanEnd(std::string& reason) = 0;
  virtual void OnServerException() = 0;
  virtual void ExceptionWait() = 0;
  virtual void ExceptionEnd() = 0;

  // What the host calls on every registered client (defined with the link endpoints).
  void End() TESSEL_LINK_WEAK;
  void RunEasy(unsigned long elapsedMs) TESSEL_LINK_WEAK;
  void HandleMsg() TESSEL_LINK_WEAK;
  void ClearNet() TESSEL_LINK_WEAK;
  unsigned int GetMsgNum() TESSEL_LINK_WEAK;
  void TraceSendCmd(bool on) TESSEL_LINK_WEAK;
  void TraceRecieveCmd(bool on) TESSEL_LINK_WEAK;
  iClient* GetNetClient() TESSEL_LINK_WEAK;
  cBridgeClient* GetBridgeClient() TESSEL_LINK_WEAK;
};
