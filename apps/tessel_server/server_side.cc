#include "tessel_server/server_side.h"

void cServerSide::GetInfo(stServerInfo& info) {
  info.port = static_cast<unsigned int>(m_port);
  info.bindip = m_bindIp;
}
