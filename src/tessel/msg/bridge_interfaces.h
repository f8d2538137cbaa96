// The interfaces through which the host and the application see a link endpoint, and the
// application hooks an endpoint calls. Pure interfaces; endpoints are used on the worker thread.
#pragma once

#include "tessel/msg/chat_exception.h"

class iSend;
class cCmd;
class cMsg;
class cMsgLog;
class cLog;
class cNetHelp;
struct stMsg;
class stMsg_Cmd;
struct stBindMsg;
struct stCmdRecord;

// Link events of an endpoint.
class iConnectDisconnect {
 public:
  // A link came up: the link id on a server, 1 on a client.
  virtual void OnConnect(unsigned int id) = 0;
  // A link went down: the link id on a server, 0 on a client.
  virtual bool OnDisconnect(unsigned int id) = 0;
  // A login on link `id` finished with `result`.
  virtual void OnLogined(unsigned int id, int result) = 0;

 protected:
  ~iConnectDisconnect() = default;
};

// The hosted application object driven by the host's main loop.
class iTesselWorld {
 public:
  virtual void Run(unsigned long elapsed) = 0;
  virtual bool CreateWorld() = 0;
  virtual bool DestroyWorld() = 0;

 protected:
  ~iTesselWorld() = default;
};

// Decides whether a command of a group number above 20 may run.
class iCheckCmd {
 public:
  virtual HandleChatExceptionEnum CheckCmd(iSend* send, unsigned int cmd) = 0;

 protected:
  ~iCheckCmd() = default;
};

// Decides whether a received command record of a group number above 20 may run.
class iCheckCmdMsg {
 public:
  virtual HandleChatExceptionEnum CheckCmdMsg(iSend* send, stMsg_Cmd* msg) = 0;

 protected:
  ~iCheckCmdMsg() = default;
};

// Takes a command record that found no command group; true when it accepted the record.
class iDistribute {
 public:
  virtual bool Distribute(unsigned short linkId, stMsg* msg, unsigned long size) = 0;

 protected:
  ~iDistribute() = default;
};

// One end of a link as the message bindings, the output stream and the host see it.
class iBridge : public iConnectDisconnect, public iTesselWorld {
 public:
  virtual iDistribute* GetDistribute() = 0;
  virtual HandleChatExceptionEnum RunCmdBridge(iSend* send, unsigned int cmd, const char* text) = 0;
  virtual HandleChatExceptionEnum RunCmdBridge(iSend* send, stMsg_Cmd* msg) = 0;
  virtual cCmd* GetCmdSafe(unsigned int cmd) = 0;
  // Sends `text` as a command of group `cmd` back to the requester on `send`.
  virtual int SendBackCmd(iSend* send, unsigned int cmd, const char* text) = 0;
  virtual cMsg& GetMsg() = 0;
  virtual cMsgLog& GetMsgLog() = 0;
  virtual cMsgLog& GetCmdLog() = 0;
  virtual cLog& GetExceptionLog() = 0;
  virtual void BindiConnectDisconnect(iConnectDisconnect* listener) = 0;
  virtual void BindiTesselWorld(iTesselWorld* world) = 0;
  virtual cNetHelp* GetNetHelp() = 0;
  virtual const char* GetName() = 0;
  virtual void AddCmdLog_Run(const stBindMsg& msg) = 0;
  virtual void AddCmdLog_Result(HandleChatExceptionEnum result) = 0;
  // The peer reported that it found itself in a broken state for this link: a client endpoint
  // drops the link (and re-connects if it is set to); any other endpoint only logs the notice.
  virtual void OnPeerInternalWrong() {}
  // Whether a log entry that a record from `link` causes may be written now: an endpoint bounds
  // the entries one link can cause per second.
  virtual bool MayLog(iSend*) { return true; }
  // Whether a line about a link event (created, connected, disconnected) may be written now: an
  // endpoint bounds those lines per second, over all its links.
  virtual bool MayLogLinkEvent() { return true; }
  // Handles a command record from a link, as the command binding decoded it.
  virtual HandleChatExceptionEnum HandleCmdRecord(const stCmdRecord& cmd) = 0;

 protected:
  ~iBridge() = default;
};
