#include "tessel/core/tessel_values.h"

#include <iostream>
#include <sstream>

#include "platform/console_color.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "platform/text_clean.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/host.h"
#include "tessel/core/log_routing.h"
#include "tessel/core/trace.h"

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n\f\v";
  size_t begin = s.find_first_not_of(blanks);
  if (begin == std::string::npos) return {};
  return s.substr(begin, s.find_last_not_of(blanks) - begin + 1);
}

}  // namespace

cTesselValues& cTesselValues::Instance() {
  static cTesselValues values = [] {
    return cTesselValues(platform::ExecutablePath(), GetHost().MapServerName());
  }();
  // Once the names are known: the network library learns the exe name, and every log line gets
  // its time prefix and line end.
  static const bool wired = [] {
    std::string exeName = values.m_strExeName;
    Net_SetExeName(exeName);
    SetupLogPrefixes();
    return true;
  }();
  (void)wired;
  return values;
}

cTesselValues::cTesselValues(const std::string& exePath, const std::string& mapName) {
  std::string path = exePath.empty() ? std::string("Unknown") : exePath;
  size_t slash = path.find_last_of("/\\");
  m_strExe = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = m_strExe.rfind('.');
  m_strExeBaseName = dot == std::string::npos ? m_strExe : m_strExe.substr(0, dot);
  m_strExeName = m_strExeBaseName;
  // The exe name is a folder of log/, log/audit/ and config/: a separator or control byte of the
  // map's name is '_' there, so that the name cannot lead out of them.
  if (!mapName.empty()) m_strExeName += "_" + mapName;
  for (size_t i = m_strExeBaseName.size(); i < m_strExeName.size(); ++i) {
    const auto byte = static_cast<unsigned char>(m_strExeName[i]);
    if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7f) m_strExeName[i] = '_';
  }
  std::cout << "exe name = " << m_strExeName << std::endl;
}

void cTesselValues::SetProgram(const char* buildDate, const char* buildTime, const char* version,
                               const char* program) {
  TESSEL_TRACE();
  TESSEL_DUMP_POSITION();
  std::cout << buildDate << " " << buildTime << " " << program << std::endl;

  m_strBuildDate = buildDate;
  m_strBuildTime = buildTime;
  m_strVersion = version;
  m_strProgram = program;
  SetInfoValue("Version", m_strVersion);
  PickAddresses();
  SetRegistry();
}

void cTesselValues::PickAddresses() {
  std::string first;
  std::string second;
  PickOwnAddresses(GetHost().OwnAddresses(), first, second, std::cout);
  if (first.empty()) {
    std::cout.flush();
    platform::SetColor(platform::kColorLightRed);
    std::cout << "getselfip return NULL may be not call initsocket yet." << std::endl;
    platform::SetColor(platform::kColorLightCyan);
  }
  std::string firewall = GetHost().ConfigString("FirewallIP");
  if (!firewall.empty()) first = firewall;
  SetInfoValue("IP", first);
  if (!second.empty()) SetInfoValue("IP2", second);
}

void PickOwnAddresses(const std::vector<std::string>& addresses, std::string& first,
                      std::string& second, std::ostream& os) {
  first.clear();
  second.clear();
  for (const std::string& a : addresses) {
    os << "ip = " << a << std::endl;
    if (first.empty()) {
      first = a;
      continue;
    }
    if (first == "127.0.0.1" || StartsWith(first, "192.168")) {
      first = a;
    } else if (second.empty()) {
      second = a;
    }
    if (StartsWith(second, "192.168")) second = a;
  }
}

void cTesselValues::SetInfoValue(const char* name, int value) {
  SetInfoValue(name, std::to_string(value));
}

void cTesselValues::SetInfoValue(const char* name, const char* value) {
  SetInfoValue(name, std::string(value ? value : ""));
}

void cTesselValues::SetInfoValue(const char* name, const std::string& value) {
  std::lock_guard<std::mutex> lock(m_mutexInfos);
  m_mapInfos[name] = value;
}

bool cTesselValues::SetInfoValueWithin(const char* name, const std::string& value,
                                       size_t maxNames) {
  std::lock_guard<std::mutex> lock(m_mutexInfos);
  if (m_mapInfos.size() >= maxNames && m_mapInfos.find(name) == m_mapInfos.end()) return false;
  m_mapInfos[name] = value;
  return true;
}

std::string cTesselValues::GetInfoValue(const char* name) {
  std::lock_guard<std::mutex> lock(m_mutexInfos);
  return m_mapInfos[name];
}

void cTesselValues::GetInfos(std::ostream& os) {
  for (const auto& [name, count] : GetHost().EasyServerInfos()) SetInfoValue(name.c_str(), count);
  std::lock_guard<std::mutex> lock(m_mutexInfos);
  for (const auto& [name, value] : m_mapInfos)
    os << EscapeControls(name) << "=" << EscapeControls(value) << ",";
}

void cTesselValues::RecoverInfos(std::istream& in, InfoTable& out) {
  std::string item;
  while (std::getline(in, item, ',')) {
    size_t at = item.find('=');
    std::string name = item.substr(0, at);
    std::string value = at == std::string::npos ? std::string() : item.substr(at + 1);
    // A blank item (such as a line end after the last comma) carries no value.
    if (at == std::string::npos && Trim(name).empty()) continue;
    std::cout << name << " = " << value << std::endl;
    out[Trim(name)] = value;
  }
}

void cTesselValues::Version(std::ostream& os) {
  os << "程序 " << m_strProgram << " 版本 日期 " << m_strBuildDate << " 时间 " << m_strBuildTime
     << " 版本 " << m_strVersion << "\n\n";
}

void cTesselValues::SetRegistry() {
  TESSEL_TRACE();
  WriteRegistryValues({{"exe", m_strExe},
                       {"name", m_strExeName},
                       {"program", m_strProgram},
                       {"build_date", m_strBuildDate},
                       {"build_time", m_strBuildTime},
                       {"ip", GetInfoValue("IP")},
                       {"version", m_strVersion},
                       {"starttime", platform::LocalTimeNow(platform::kFileTimeFormat)}});
}

bool cTesselValues::WriteRegistryValues(const platform::RegistryValues& values) {
  platform::RegistryKey key;
  if (!key.Open("Software/" + m_strExeName)) {
    std::cout << "Could not create the registry key." << std::endl;
    return false;
  }
  if (!key.Set(values)) {
    std::cout << "Could not Write registry." << std::endl;
    return false;
  }
  return true;
}

int cTesselValues::IsProgram(const char* program) {
  return program && m_strProgram == program ? 1 : 0;
}

std::string cTesselValues::_GetLogFile(const char* name) const {
  return "log/" + m_strExeName + "/" + name;
}

std::string cTesselValues::_GetConfigFile(const char* name) const {
  return "config/" + m_strExeBaseName + "/" + name;
}

std::string GetTesselIP() {
  return cTesselValues::Instance().GetInfoValue("IP");
}

bool IsGameServer() {
  static const bool is = cTesselValues::Instance().IsProgram("game");
  return is;
}

bool IsGameClient() {
  static const bool is = cTesselValues::Instance().IsProgram("c_game");
  return is;
}

bool IsLoginServer() {
  static const bool is = cTesselValues::Instance().IsProgram("login");
  return is;
}

bool IsMapServer() {
  static const bool is = cTesselValues::Instance().IsProgram("map");
  return is;
}

bool IsTesselServer() {
  return GetHost().IsServer();
}

bool IsServer() {
  return IsTesselServer() || IsMapServer();
}
