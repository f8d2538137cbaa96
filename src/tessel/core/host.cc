#include "tessel/core/host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <atomic>

#include "tessel/core/config_stores.h"
#include "tessel/core/tessel_values.h"

namespace {

std::atomic<iHost*> g_installed{nullptr};

}  // namespace

const char* iHost::GetAccount() {
  return cTesselValues::Instance().GetProgram().c_str();
}

int iHost::IsAccount(const char* name) {
  return name != nullptr && cTesselValues::Instance().GetProgram() == name ? 1 : 0;
}

std::string iHost::MapServerName() {
  return GetMapServerName();
}

std::string iHost::ConfigString(const char* name) {
  return GetConfigString(name, "");
}

std::vector<std::string> iHost::OwnAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) out.emplace_back(text);
  }
  ::freeifaddrs(list);
  return out;
}

std::string iHost::LogFilePath(const char* name) {
  return cTesselValues::Instance()._GetLogFile(name);
}

iHost& GetHost() {
  static iHost s_neutral;
  iHost* host = g_installed.load();
  return host != nullptr ? *host : s_neutral;
}

void SetHost(iHost* host) {
  g_installed.store(host);
}

iHost* GetInstalledHost() {
  return g_installed.load();
}
