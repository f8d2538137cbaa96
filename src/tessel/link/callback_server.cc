#include "tessel/link/callback_server.h"

#include <cstring>
#include <iostream>

#include "platform/console_color.h"
#include "tessel/core/log_file.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/msg_registry.h"

namespace {

// The console's plain white on black, set after a link event.
constexpr int kColorWhiteOnBlack = 7;

}  // namespace

cCallbackServer::cCallbackServer(cBridgeServer& server) : m_server(server) {
  SetBridge(&server);
  SetNewLinksGuests(true);
}

bool cCallbackServer::IsGuest(iSend* link) {
  iAccountManagerServer* accounts = m_server.GetAMServer();
  iAccount* account =
      accounts != nullptr && link != nullptr ? accounts->GetAccount(link->GetID()) : nullptr;
  return account == nullptr || !account->IsLogin();
}

// A stranger's refusal was logged by the endpoint (once for its link); every other refusal
// gets its exception entry.
void cCallbackServer::HandlePeerMessageSelf(stBindMsg* msg) {
  cNetHelpTessel::HandlePeerMessageSelf(msg);
  const int type = msg->size >= sizeof(stMsg) ? msg->msg->type : 0;
  HandleChatExceptionEnum result = m_server.RefuseStranger(msg);
  const bool stranger = result != ChatException_OK;
  if (!stranger) result = m_server.GetMsg().HandleMsg(msg);
  if (result != ChatException_OK) {
    if (!stranger) WriteExceptionEntry(msg, result);
    unsigned long size = 0;
    stMsg* notice = Msg_GetException(type, result, size);
    if (msg->send != nullptr) msg->send->Send(notice, size);
  }
  CheckServerLinks("cCallbackServer::HandlePeerMessageSelf");
}

void cCallbackServer::HandleNetMessageSelf(stBindMsg* msg) {
  cNetHelpTessel::HandleNetMessageSelf(msg);
  stNetNoticeServer notice;
  if (msg->size >= sizeof(notice)) {
    std::memcpy(static_cast<void*>(&notice), static_cast<const void*>(msg->msg), sizeof(notice));
    if (notice.type == NetNotice_Server) OnLinkEvent(notice, msg->send);
  }
  CheckServerLinks("cCallbackServer::HandleNetMessageSelf");
}

// The lines about link events keep to the endpoint's budget, so that a peer opening and closing
// connections by the thousand cannot fill the console and the message log; the disconnection of
// a logged-in link is always written. The link itself is handled either way.
void cCallbackServer::OnLinkEvent(const stNetNoticeServer& notice, iSend* link) {
  const bool loggedIn = notice.event == NetEvent_Disconnected && !IsGuest(link);
  if (loggedIn || m_pBridge->MayLogLinkEvent()) WriteLinkEvent(notice, link);
  if (notice.event == NetEvent_Connected) m_pBridge->OnConnect(notice.id);
  if (notice.event == NetEvent_Disconnected) m_pBridge->OnDisconnect(notice.id);
}

void cCallbackServer::WriteLinkEvent(const stNetNoticeServer& notice, iSend* link) {
  m_pBridge->GetMsgLog().GetLog() << "【net】NetStateEnum " << notice.event << " " << notice.reason
                                  << " id " << notice.id << std::endl;
  platform::SetColor(platform::kColorYellow);
  std::cout << m_pBridge->GetName() << " link id " << notice.id << " "
            << " ip " << (link != nullptr ? link->GetIP() : "") << " ";
  switch (notice.event) {
    case NetEvent_Created:
      std::cout << "create" << std::endl;
      break;
    case NetEvent_Connected:
      std::cout << "connect " << std::endl;
      break;
    case NetEvent_Disconnected:
      std::cout << "disconnect for " << DisconnectReasonText(notice.reason) << std::endl;
      break;
    default:
      std::cout << "unknow " << std::endl;
      break;
  }
  platform::SetColor(kColorWhiteOnBlack);
}
