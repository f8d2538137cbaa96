#include "tessel_server/server_side.h"

#include "tessel/core/config_stores.h"

void cServerSide::GetInfo(stServerInfo& info) {
  info.port = static_cast<unsigned int>(m_port);
  info.bindip = m_bindIp;
  info.maxlinks = m_maxLinks;
  if (m_tls)
    info.net.word[stNetParam::NetParam_Encode] = GetConfigValue("tls_client_cert", 0) == 1 ? 2 : 1;
  if (m_compress) info.net.word[stNetParam::NetParam_Compress] = 1;
}
