#include "tessel_server/server_side.h"

#include <iostream>
#include <string>

#include "platform/console_color.h"
#include "tessel/core/config_stores.h"

namespace {

// Why the setting that demands client certificates cannot be taken; empty when it can. Only
// tls_client_cert = 1 in the integer file demands them: any other value (2, the network
// library's word for it, say), the key written in the string file alone, or an integer file
// whose load stopped before the key ("tls_client_cert = yes") dropped them without a word.
std::string ClientCertMistake() {
  cStringValue& config = GetConfigStore();
  const bool read = config.GetValues().count("tls_client_cert") != 0;
  if (!read && config.GetStrings().count("tls_client_cert") != 0)
    return "config/config_str.ini: tls_client_cert is read from config/config_int.ini";
  if (!read && config.IntFileCut())
    return "config/config_int.ini: tls_client_cert is not read past its unreadable line";
  const int demand = GetConfigValue("tls_client_cert", 0);
  if (demand == 0 || demand == 1) return {};
  return "config/config_int.ini: tls_client_cert = " + std::to_string(demand) + ": expected 0 or 1";
}

}  // namespace

bool cServerSide::CreateTessel() {
  const std::string mistake = m_tls ? ClientCertMistake() : "";
  if (!mistake.empty()) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "cServerSide::CreateTessel " << mistake << " (1 demands client certificates); "
              << m_name << " does not start" << std::endl;
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
