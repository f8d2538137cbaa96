#include "tessel_server/client_side.h"

bool cClientSide::Start() {
  return cEasyClient::Start() && GetNetClient() != nullptr;
}

bool cClientSide::CreateTessel() {
  if (!cEasyClient::CreateTessel()) return false;
  m_BridgeClient.BindiConnectDisconnect(this);
  return true;
}

void cClientSide::GetInfo(stClientInfo& info) {
  // Once started, the record is the link's own (console commands may have changed it); the
  // login file is read for the first record only.
  if (m_bLoaded) {
    info = m_BridgeClient.GetInfo();
    return;
  }
  m_bLoaded = true;
  // Defaults first, so that the login file and the launch parameters may change them.
  info.serverip = "127.0.0.1";
  info.port = static_cast<unsigned short>(m_port);
  info.autoconnect = true;
  info.autoreconnect = true;
  info.reconnecttime = m_reconnectSeconds;
  if (m_tls) info.net.word[stNetParam::NetParam_Encode] = 1;
  if (m_compress) info.net.word[stNetParam::NetParam_Compress] = 1;
  LoadInfo(info);
}

void cClientSide::OnLogined(unsigned int, int result) {
  m_BridgeClient.SetLogin(result != 0);
}
