// The listening side of a server program: a program derives from it, names the link and fills
// its set-up record; the host starts it, drives it every cycle (worker thread) and ends it
// (main thread). Not copyable.
#pragma once

#include <ostream>
#include <string>

#include "tessel/contracts/net_records.h"

class cBridgeServer;
class iAccountManagerServer;
class iServer;

// The operations below that are not virtual are declared weak: their definitions come with the
// link endpoints; until a program links them, no easy server can be made and none is called.
#define TESSEL_LINK_WEAK __attribute__((weak))

class cEasyServer {
 public:
  cEasyServer() = default;
  cEasyServer(const cEasyServer&) = delete;
  cEasyServer& operator=(const cEasyServer&) = delete;

  // Virtual operations, in slot order.
  virtual ~cEasyServer() = default;
  virtual bool CreateTessel() = 0;
  virtual void GetInfo(stServerInfo& info) = 0;
  virtual const char* GetName() = 0;
  virtual void Trace(std::ostream& os) = 0;
  virtual void BeforeEnd() = 0;
  virtual void StartEnd() = 0;
  // False with a reason while the server must not end yet.
  virtual bool CanEnd(std::string& reason) = 0;
  virtual void ExceptionEnd() = 0;
  virtual void ExceptionWait() = 0;
  virtual void OnClientException(unsigned int linkId) = 0;

  // What the host calls on every registered server.
  bool Start() TESSEL_LINK_WEAK;
  void End() TESSEL_LINK_WEAK;
  void RunEasy(unsigned long elapsedMs) TESSEL_LINK_WEAK;
  void HandleMsg() TESSEL_LINK_WEAK;
  void ClearNet() TESSEL_LINK_WEAK;
  unsigned int GetMsgNum() TESSEL_LINK_WEAK;
  void TraceSendCmd(bool on) TESSEL_LINK_WEAK;
  void TraceRecieveCmd(bool on) TESSEL_LINK_WEAK;
  iAccountManagerServer* GetAMServer() TESSEL_LINK_WEAK;
  cBridgeServer* GetBridgeServer() TESSEL_LINK_WEAK;
  // The network server of the link; null before Start.
  iServer* GetNetServer() TESSEL_LINK_WEAK;
};
