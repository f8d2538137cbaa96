#include "tessel_server/launch_params.h"

#include <arpa/inet.h>

#include <charconv>
#include <sstream>

#include "tessel/core/config_stores.h"

std::string cLaunchParams::JoinWords(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

bool cLaunchParams::ParsePort(const std::string& text, int& port) const {
  int value = -1;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 0 || value > 65535) return false;
  port = value;
  return true;
}

// "NAME:PORT[,NAME:PORT...]"; every name unique and not empty, every port 1-65535.
bool cLaunchParams::ParseUpstreams(const std::string& text) {
  std::istringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t colon = item.rfind(':');
    stUpstream up;
    if (colon == std::string::npos || colon == 0 || !ParsePort(item.substr(colon + 1), up.port) ||
        up.port == 0) {
      m_error = "connect: expected NAME:PORT, got '" + item + "'";
      return false;
    }
    up.name = item.substr(0, colon);
    for (const stUpstream& known : m_upstreams) {
      if (known.name == up.name) {
        m_error = "connect: the name '" + up.name + "' is given twice";
        return false;
      }
    }
    m_upstreams.push_back(up);
  }
  return true;
}

bool cLaunchParams::Load() {
  m_program = GetExeParam("program", "game");
  m_serverName = GetExeParam("server", m_program.c_str());
  const std::string listen = GetExeParam("listen", "");
  if (!listen.empty() && !ParsePort(listen, m_listenPort)) {
    m_error = "listen: expected a port 0-65535, got '" + listen + "'";
    return false;
  }
  const std::string listenIp = GetExeParam("listenip", "127.0.0.1");
  in_addr address{};
  if (::inet_pton(AF_INET, listenIp.c_str(), &address) != 1) {
    m_error = "listenip: expected an IPv4 address, got '" + listenIp + "'";
    return false;
  }
  m_listenIp = ntohl(address.s_addr);
  if (!ParseUpstreams(GetExeParam("connect", ""))) return false;
  m_quickEnd = GetExeParam("quickend", "0") == "1";
  m_setsMachineClock = GetExeParam("settime", "0") == "1";
  m_tls = GetExeParam("tls", "0") == "1";
  m_compress = GetExeParam("compress", "0") == "1";
  const std::string reconnect = GetExeParam("reconnect", "10");
  if (!ParsePort(reconnect, m_reconnectSeconds)) {
    m_error = "reconnect: expected seconds 0-65535, got '" + reconnect + "'";
    return false;
  }
  return true;
}
