#include "tessel_server/server_side.h"

#include <iostream>

#include "platform/console_color.h"
#include "tessel/core/config_stores.h"

// Only 1 demands client certificates: any other value (2, the network library's word for it,
// say) would drop them without a word, so it is refused, naming the file and the value.
bool cServerSide::CreateTessel() {
  const int demand = m_tls ? GetConfigValue("tls_client_cert", 0) : 0;
  if (demand != 0 && demand != 1) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "cServerSide::CreateTessel config/config_int.ini: tls_client_cert = " << demand
              << ": expected 0 or 1 (1 demands client certificates); " << m_name
              << " does not start" << std::endl;
    return false;
  }
  return cEasyServer::CreateTessel();
}

void cServerSide::GetInfo(stServerInfo& info) {
  info.port = static_cast<unsigned int>(m_port);
  info.bindip = m_bindIp;
  info.maxlinks = m_maxLinks;
  if (m_tls)
    info.net.word[stNetParam::NetParam_Encode] = GetConfigValue("tls_client_cert", 0) == 1 ? 2 : 1;
  if (m_compress) info.net.word[stNetParam::NetParam_Compress] = 1;
}
