#include "tessel/msg/msg_bindings.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/terminal_text.h"
#include "platform/text_clean.h"
#include "tessel/contracts/baselib.h"
#include "tessel/core/log_file.h"
#include "tessel/core/loggers.h"
#include "tessel/msg/bridge_interfaces.h"

namespace {

// A received text field is used only when it ends inside the record as received.
bool TextEndsInside(const char* text, std::size_t available) {
  return available > 0 && std::memchr(text, 0, available) != nullptr;
}

void TraceError(stMsg_Error* record, cLog& log) {
  if (TraceErrorFunc trace = GetTraceErrorFunc()) {
    trace(record, static_cast<std::ostream&>(log));
  } else if (record->error != 0) {
    log << "【错误】: " << record->error << " msg " << record->msg << " unknow error" << std::endl;
  } else {
    log << "【成功】: " << record->msg << std::endl;
  }
}

}  // namespace

stMsg_ErrorBind& stMsg_ErrorBind::Instance() {
  static stMsg_ErrorBind binding;
  return binding;
}

HandleChatExceptionEnum stMsg_ErrorBind::OnMsg(iBridge* bridge, stBindMsg* msg) {
  auto* record = reinterpret_cast<stMsg_Error*>(msg->msg);
  // A peer that floods replies is traced only up to its bound; the error script sees them all.
  if (bridge->MayLog(msg->send)) TraceError(record, bridge->GetMsgLog().GetLog());
  if (KLuaScript* script = GetErrorScript()) {
    char call[10240];
    std::snprintf(call, sizeof(call), "OnError(%d,%d)", record->msg, record->error);
    script->DoString(call);
  }
  return ChatException_OK;
}

stMsg_ExceptionBind& stMsg_ExceptionBind::Instance() {
  static stMsg_ExceptionBind binding;
  return binding;
}

std::string stMsg_ExceptionBind::TraceLine(const stMsg_Exception& notice) {
  return "【异常】 msg " + std::to_string(notice.msg) + " " + ChatExceptionText(notice.code);
}

HandleChatExceptionEnum stMsg_ExceptionBind::OnMsg(iBridge* bridge, stBindMsg* msg) {
  const auto& notice = *reinterpret_cast<const stMsg_Exception*>(msg->msg);
  if (bridge->MayLog(msg->send)) {
    const std::string trace = TraceLine(notice);
    std::cout << "stMsg_ExceptionBind::OnMsg"
              << " " << bridge->GetName() << std::endl;
    std::cout << trace << std::endl;
    cLog& log = bridge->GetMsgLog().GetLog();
    log << "stMsg_ExceptionBind::OnMsg"
        << " " << bridge->GetName() << std::endl;
    log << trace << std::endl;
  }
  // The server found itself in a broken state for this link: a client drops the link (and
  // re-connects if it is set to); a server only logs it.
  if (notice.code == ChatException_InternalWrong) bridge->OnPeerInternalWrong();
  return ChatException_OK;
}

stMsg_OutBind& stMsg_OutBind::Instance() {
  static stMsg_OutBind binding;
  return binding;
}

HandleChatExceptionEnum stMsg_OutBind::OnMsg(iBridge* bridge, stBindMsg* msg) {
  const auto* record = reinterpret_cast<const stMsg_Out*>(msg->msg);
  if (!TextEndsInside(record->text, msg->size - sizeof(stMsg))) return ChatException_ParamWrong;
  if (!bridge->MayLog(msg->send)) return ChatException_OK;
  // The peer chose every byte: its line ends and terminal controls are escaped in the log, so
  // that one record stays one line there and cannot forge others, and none of its controls
  // reaches the terminal showing the console.
  bridge->GetMsgLog().GetLog() << "【Out】"
                               << " [" << EscapeControls(record->text) << "]" << std::endl;
  std::cout << platform::TerminalText(record->text);
  return ChatException_OK;
}

stMsg_CmdBind& stMsg_CmdBind::Instance() {
  static stMsg_CmdBind binding;
  return binding;
}

// The group number and a terminated text must lie inside the bytes received; anything else
// would have the endpoint read past the record.
HandleChatExceptionEnum stMsg_CmdBind::OnMsg(iBridge* bridge, stBindMsg* msg) {
  const cCmdRecordView view(msg->msg, msg->size);
  if (!view.HasText()) return ChatException_SizeWrong;
  if (!view.TextEndsInside()) return ChatException_ParamWrong;
  return bridge->HandleCmdRecord(
      stCmdRecord{msg, reinterpret_cast<stMsg_Cmd*>(msg->msg), view.Group(), view.Text()});
}

stMsg_WindowsBind& stMsg_WindowsBind::Instance() {
  static stMsg_WindowsBind binding;
  return binding;
}

HandleChatExceptionEnum stMsg_WindowsBind::OnMsg(iBridge*, stBindMsg*) {
  return ChatException_OK;
}

bool IsBuiltInBind(const cMsgBind* binding) {
  return binding == &stMsg_ErrorBind::Instance() || binding == &stMsg_ExceptionBind::Instance() ||
         binding == &stMsg_OutBind::Instance() || binding == &stMsg_CmdBind::Instance() ||
         binding == &stMsg_WindowsBind::Instance();
}
