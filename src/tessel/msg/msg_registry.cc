#include "tessel/msg/msg_registry.h"

#include "tessel/core/worker_thread.h"
#include "tessel/msg/msg_bindings.h"

namespace {

TraceErrorFunc g_traceErrorFunc = nullptr;
KLuaScript* g_errorScript = nullptr;
KLuaScript* g_cmdScript = nullptr;

}  // namespace

HandleChatExceptionEnum cMsgBind::OnMsg(iBridge*, stBindMsg*) {
  return ChatException_TypeNoHandle;
}

const char* cMsgBind::GetErrorText(int) {
  return "未知错误";
}

void cMsgBind::OnParam(unsigned) {}

void cMsg::Init(iBridge* owner) {
  TESSEL_ASSERT_WORKER();
  m_pBridge = owner;
  m_pObjBind = nullptr;
  m_nNextType = kFirstType;
  m_vBind.clear();
  Register(stMsg_Error::s_nType, &stMsg_ErrorBind::Instance());
  Register(stMsg_Exception::s_nType, &stMsg_ExceptionBind::Instance());
  Register(stMsg_Out::s_nType, &stMsg_OutBind::Instance());
  Register(stMsg_Cmd::s_nType, &stMsg_CmdBind::Instance());
  Register(stMsg_Windows::s_nType, &stMsg_WindowsBind::Instance());
  Msg_GetCmdRecord().type = static_cast<std::uint16_t>(stMsg_Cmd::s_nType);
}

void cMsg::Register(int& typeNumber, cMsgBind* binding) {
  TESSEL_ASSERT_WORKER();
  // The numbers are shared by every registry and come out the same each time; writing only a
  // changed value keeps registries set up on different threads from racing on them.
  if (typeNumber != m_nNextType) typeNumber = m_nNextType;
  ++m_nNextType;
  m_vBind.push_back(binding);
}

bool cMsg::Rebind(int type, cMsgBind* binding) {
  TESSEL_ASSERT_WORKER();
  if (type < kFirstType || static_cast<std::size_t>(type - kFirstType) >= m_vBind.size())
    return false;
  m_vBind[static_cast<std::size_t>(type - kFirstType)] = binding;
  return true;
}

void cMsg::BindFixed(int type, cMsgBind* binding) {
  TESSEL_ASSERT_WORKER();
  if (type < kFixedTypes) return;
  for (auto& [number, bound] : m_fixed)
    if (number == type) return void(bound = binding);
  m_fixed.emplace_back(type, binding);
}

cMsgBind* cMsg::GetBind(int type) const {
  if (type >= kFixedTypes) {
    for (const auto& [number, bound] : m_fixed)
      if (number == type) return bound;
    return nullptr;
  }
  if (type < kFirstType) return nullptr;
  const auto index = static_cast<std::size_t>(type - kFirstType);
  return index < m_vBind.size() ? m_vBind[index] : nullptr;
}

cMsgBind* cMsg::GetBind(const stMsg* msg) const {
  if (m_pObjBind != nullptr && msg->id > 0) return m_pObjBind;
  return GetBind(msg->type);
}

HandleChatExceptionEnum cMsg::HandleMsg(stBindMsg* msg) {
  TESSEL_ASSERT_WORKER();
  // A record too short to hold its header has no type to dispatch on.
  if (msg->msg == nullptr || msg->size < sizeof(stMsg)) return ChatException_SizeWrong;
  cMsgBind* binding = GetBind(msg->msg);
  if (binding == nullptr) return ChatException_TypeOverflow;
  if (binding->GetExactSize() != 0) {
    if (binding->GetExactSize() != msg->size) return ChatException_SizeWrong;
  } else if (binding->GetMaxSize() != 0 && msg->size > binding->GetMaxSize()) {
    return ChatException_SizeOverflow;
  }
  return binding->OnMsg(m_pBridge, msg);
}

const char* cMsg::GetName(int type) const {
  cMsgBind* binding = GetBind(type);
  return binding != nullptr ? binding->GetName() : "unknow msg";
}

const char* cMsg::GetErrorText(int type, int error) const {
  cMsgBind* binding = GetBind(type);
  return binding != nullptr ? binding->GetErrorText(error) : "无效消息";
}

void SetTraceErrorFunc(TraceErrorFunc f) {
  g_traceErrorFunc = f;
}
TraceErrorFunc GetTraceErrorFunc() {
  return g_traceErrorFunc;
}

void SetErrorScript(KLuaScript* script) {
  g_errorScript = script;
}

KLuaScript* GetErrorScript() {
  return g_errorScript;
}

void SetCmdScript(KLuaScript* script) {
  g_cmdScript = script;
}

KLuaScript* GetCmdScript() {
  return g_cmdScript;
}
