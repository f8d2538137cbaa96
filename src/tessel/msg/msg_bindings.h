// The five built-in bindings: error replies, exception notices, output text, commands and
// window messages. Each is a process-wide singleton shared by every registry; worker thread only.
#pragma once

#include <string>

#include "tessel/msg/msg_registry.h"

// An operation's outcome reported by the peer: traced to the message log.
class stMsg_ErrorBind : public cMsgBind {
 public:
  static stMsg_ErrorBind& Instance();
  HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg) override;

 private:
  stMsg_ErrorBind() : cMsgBind("错误消息", sizeof(stMsg_Error), 0) {}
};

// The peer refused one of our records: traced to standard output and the message log.
class stMsg_ExceptionBind : public cMsgBind {
 public:
  static stMsg_ExceptionBind& Instance();
  HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg) override;
  // The trace line of a notice: "【异常】 msg " type " " code text.
  static std::string TraceLine(const stMsg_Exception& notice);

 private:
  stMsg_ExceptionBind() : cMsgBind("异常消息", sizeof(stMsg_Exception), 0) {}
};

// Text from the peer: to the message log and standard output.
class stMsg_OutBind : public cMsgBind {
 public:
  static stMsg_OutBind& Instance();
  HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg) override;

 private:
  stMsg_OutBind() : cMsgBind("输出消息", 0, stMsg_Out::kTextCapacity) {}
};

// A command from the peer: decoded and handed to the endpoint, which handles it whole.
class stMsg_CmdBind : public cMsgBind {
 public:
  static stMsg_CmdBind& Instance();
  HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg) override;

 private:
  stMsg_CmdBind() : cMsgBind("命令消息", 0, stMsg_Cmd::kTextCapacity) {}
};

// Window messages are accepted and ignored.
class stMsg_WindowsBind : public cMsgBind {
 public:
  static stMsg_WindowsBind& Instance();
  HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg) override;

 private:
  stMsg_WindowsBind() : cMsgBind("windows消息", 0, sizeof(stMsg_Windows)) {}
};

// Whether `binding` is one of the five above: a record type of the system's own, not one the
// hosting program registered or bound in its place.
bool IsBuiltInBind(const cMsgBind* binding);
