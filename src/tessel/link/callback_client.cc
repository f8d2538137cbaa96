#include "tessel/link/callback_client.h"

#include <boost/format.hpp>
#include <cstring>
#include <iostream>
#include <sstream>

#include "platform/console_color.h"
#include "tessel/contracts/baselib.h"
#include "tessel/core/log_file.h"
#include "tessel/core/lua_text.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/msg_registry.h"

namespace {

std::atomic<KLuaScript*> g_stateScript{nullptr};

constexpr int kColorWhiteOnBlack = 7;

}  // namespace

void cCallbackClient::SetClientStateScript(KLuaScript* script) {
  g_stateScript.store(script);
}

KLuaScript* cCallbackClient::GetClientStateScript() {
  return g_stateScript.load();
}

void cCallbackClient::HandlePeerMessageSelf(stBindMsg* msg) {
  cNetHelpTessel::HandlePeerMessageSelf(msg);
  if (msg->size >= sizeof(stMsg) && msg->msg->type == kNetDisconnectRecordType) {
    OnDisconnectReason(msg);
    return;
  }
  HandleChatExceptionEnum result = m_pBridge->GetMsg().HandleMsg(msg);
  if (result != ChatException_OK) WriteExceptionEntry(msg, result);
  CheckServerLinks("cCallbackClient::HandlePeerMessageSelf");
}

void cCallbackClient::OnDisconnectReason(const stBindMsg* msg) {
  stNetDisconnectRecord record;
  std::memcpy(static_cast<void*>(&record), static_cast<const void*>(msg->msg),
              std::min<size_t>(msg->size, sizeof(record)));
  const char* text = DisconnectReasonText(record.reason);
  std::cout << "disconnect reason " << record.reason << " " << text << " error " << record.error
            << std::endl;
  if (KLuaScript* script = GetClientStateScript()) {
    std::ostringstream call;
    call << "NetError(" << record.reason << "," << LuaQuote(text) << "," << record.error << ")";
    script->DoCmd(call.str().c_str());
  }
}

void cCallbackClient::HandleNetMessageSelf(stBindMsg* msg) {
  cNetHelpTessel::HandleNetMessageSelf(msg);
  constexpr size_t kAddressOffset = offsetof(stNetNoticeClient, ip);
  if (msg->size >= kAddressOffset && msg->msg->type == NetNotice_Client) {
    stNetNoticeClient notice;
    std::memcpy(static_cast<void*>(&notice), static_cast<const void*>(msg->msg),
                std::min<size_t>(msg->size, sizeof(notice)));
    // The address is used only up to the end of what was delivered.
    notice.ip[std::min<size_t>(msg->size - kAddressOffset, sizeof(notice.ip) - 1)] = '\0';
    OnStateNotice(notice);
    if (KLuaScript* script = GetClientStateScript()) {
      std::string call = "Net(" + LuaLongBracket(m_pBridge->GetName()) + "," +
                         std::to_string(m_nState) + "," + std::to_string(notice.error) + "," +
                         LuaLongBracket(notice.ip) + ")";
      script->DoCmd(call.c_str());
    }
  }
  CheckServerLinks("cCallbackClient::HandleNetMessageSelf");
}

void cCallbackClient::OnStateNotice(const stNetNoticeClient& notice) {
  m_pBridge->GetMsgLog().GetLog() << "【net】NetStateEnum " << notice.state << " " << notice.error
                                  << std::endl;
  std::ostringstream text;
  text << m_pBridge->GetName();
  switch (notice.state) {
    case NetState_SendError:
    case NetState_RecvError:
      text << (notice.state == NetState_SendError ? " send error for " : " recv error for ")
           << notice.ip << "\n";
      platform::SetColor(platform::kColorYellow);
      std::cout << text.str() << std::flush;
      platform::SetColor(kColorWhiteOnBlack);
      return;
    case NetState_ConnectError:
      text << " connect error for " << notice.ip << "\n";
      m_nState = State_Down;
      break;
    case NetState_ConnectResult:
      if (notice.error != 0) {
        text << " connect to server failed!"
             << "连接服务器失败"
             << "\n"
             << notice.ip << "\n";
        ++m_nConnectFailures;
        m_nState = State_Down;
      } else {
        text << " connect to server ok!"
             << "成功的连接上服务器"
             << "\n";
        m_nState = m_bWaitEncoding ? State_WaitEncode : State_Ready;
      }
      break;
    case NetState_ServerDown:
      text << " server down for " << notice.ip << "\n";
      m_nState = State_Down;
      break;
    case NetState_EncodeOk:
      text << " get the encode ok "
           << "\n";
      m_nState = State_Ready;
      break;
    default:
      text.str(std::string());
      break;
  }
  platform::SetColor(platform::kColorYellow);
  if (!text.str().empty()) std::cout << text.str() << std::flush;
  // The event that belongs to the state as it now stands.
  if (m_nState == State_Down) {
    m_pBridge->OnDisconnect(0);
  } else if (m_nState == State_Ready) {
    m_pBridge->OnConnect(1);
  }
  platform::SetColor(kColorWhiteOnBlack);
}
