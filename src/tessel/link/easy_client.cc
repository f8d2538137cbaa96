#include "tessel/link/easy_client.h"

#include <filesystem>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>

#include "platform/console_color.h"
#include "platform/console_key.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/launch_words.h"
#include "tessel/core/login_text.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_help.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/ini_file.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/util/text_file_util.h"

namespace {

// Every clone made by Clone, in creation order, kept for the life of the process.
std::mutex g_cloneLock;
std::list<std::unique_ptr<cEasyClientClone>>& CloneList() {
  static auto* clones = new std::list<std::unique_ptr<cEasyClientClone>>;
  return *clones;
}

bool FolderExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

const char* TrueFalse(bool value) {
  return value ? "true" : "false";
}

}  // namespace

cEasyClient::~cEasyClient() {
  delete m_pMsg;
}

void cEasyClient::Trace(std::ostream& os) {
  os << "这是客户端 " << GetName() << std::endl;
}

bool cEasyClient::CreateTessel() {
  m_pMsg = new cMsg;
  m_pMsg->Init(&m_BridgeClient);
  if (!m_BridgeClient.CreateBridge(GetName(), m_pMsg)) {
    std::cout << "create world error!" << std::endl;
    if (!IsWorkerThread()) platform::WaitOneKey();  // as a client link's start does
    return false;
  }
  return true;
}

bool cEasyClient::Start() {
  std::cout << "cEasyClient::Start"
            << " " << GetName() << std::endl;
  platform::ColorSection cyan(platform::kColorLightCyan);
  Trace(std::cout);
  std::cout << "\n【一】Create World" << std::endl;
  if (!CreateTessel()) return false;
  std::cout << "\n【二】Create Net client" << std::endl;
  stClientInfo info;
  info.name = GetName();
  GetInfo(info);
  m_BridgeClient.Start(info);
  std::cout << "client " << GetName() << "成功启动"
            << "\n"
            << std::endl;
  return true;
}

void cEasyClient::End() {
  std::cout << "cEasyClient::End"
            << " " << GetName() << std::endl;
  delete m_pMsg;
  m_pMsg = nullptr;
  m_BridgeClient.End();
  std::cout << "client " << GetName() << " end！"
            << "\n"
            << std::endl;
  platform::SetColor(platform::kColorLightCyan);
}

void cEasyClient::StartEnd() {
  m_BridgeClient.GetInfo().autoreconnect = false;
}

bool cEasyClient::CanEnd(std::string& reason) {
  iClient* client = m_BridgeClient.GetNetClient();
  if (client != nullptr && client->GetUnsentBytes() > 0) {
    reason = kUnsentReason;
    return false;
  }
  return true;
}

void cEasyClient::ExceptionEnd() {
  m_BridgeClient.GetInfo().autoreconnect = false;
  // The end sequence runs beside the worker.
  SendCmdApart(m_BridgeClient.GetNetClient(), kExceptionGroup, "ClientException()");
}

unsigned int cEasyClient::GetMsgNum() {
  cNetHelp* help = m_BridgeClient.GetNetHelp();
  return help != nullptr ? static_cast<unsigned>(help->GetQueued()) : 0;
}

void cEasyClient::SetAccount(const char* account, const char* password) {
  m_BridgeClient.GetInfo().account = account != nullptr ? account : "";
  m_BridgeClient.GetInfo().password = password != nullptr ? password : "";
}

void cEasyClient::TraceSendCmd(bool on) {
  if (iClient* client = m_BridgeClient.GetNetClient()) client->TraceSendCmd(on);
}

void cEasyClient::TraceRecieveCmd(bool on) {
  if (iClient* client = m_BridgeClient.GetNetClient()) client->TraceRecieveCmd(on);
}

std::string cEasyClient::LoginFolder(const std::string& exe, const std::string& exeName) {
  for (const std::string& candidate : {"config/" + exe, "config/" + exeName})
    if (FolderExists(candidate)) return candidate;
  return "config";
}

bool cEasyClient::GetLoginFile(std::string& path) {
  const cTesselValues& values = cTesselValues::Instance();
  const std::string named = "/login_" + std::string(GetName()) + ".ini";
  const std::string common = "/login.ini";
  const std::string folder = LoginFolder(values.GetExe(), values.GetExeName());
  for (const std::string& candidate :
       {folder + named, folder + common, std::string("config/login.ini")}) {
    if (FileExists(candidate.c_str())) {
      path = candidate;
      return true;
    }
  }
  {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "not find login file under path "
              << "config/" << values.GetExeName() << " or "
              << "config" << std::endl;
    std::cout << "by the name " << named << " or " << common << std::endl;
  }
  path.clear();
  return false;
}

// A file that cannot be read gives the fallback address and account, never part of its text.
// The launch words LoadInfo reads: they win over every client link's login file.
const cLaunchWords kLoginWords{
    {"serverip", "ADDRESS", "address of every client link's server, over the login file"},
    {"serverip2", "ADDRESS", "second address of every client link's server"},
    {"account", "NAME", "login account of every client link, over the login file"},
    {"password", "SECRET", "login password of every client link (hidden from the process list)"},
};

void cEasyClient::LoadInfo(stClientInfo& info) {
  std::string path;
  if (GetLoginFile(path)) {
    std::cout << "cEasyClient::LoadInfo"
              << " file " << path << std::endl;
    cIniFile file;
    if (file.Load(path.c_str())) {
      file.GetString("serverip", info.serverip);
      file.GetString("serverip2", info.serverip2);
      file.GetString("account", info.account);
      if (file.GetString("password", info.password)) ReportPasswordFileOpenToOthers(path);
      file.GetBool("autoconnect", info.autoconnect);
      file.GetBool("autoreconnect", info.autoreconnect);
      file.ReportKeysInOtherCase(
          {"serverip", "serverip2", "account", "password", "autoconnect", "autoreconnect"});
    } else {
      platform::ColorSection red(platform::kColorLightRed);
      std::cout << "load error" << std::endl;
      info.serverip = "127.0.0.1";
      info.account = "opsuser";
      info.password = "mxmx";
    }
  }
  const std::pair<const char*, std::string*> overrides[] = {{"serverip", &info.serverip},
                                                            {"serverip2", &info.serverip2},
                                                            {"account", &info.account},
                                                            {"password", &info.password}};
  for (const auto& [key, field] : overrides) {
    std::string value = GetExeParam(key, "");
    if (!value.empty()) *field = value;
  }
  std::cout << "serverip = " << info.serverip << "\n"
            << "serverip2 = " << info.serverip2 << "\n"
            << "account = " << info.account << "\n"
            << "password = " << MaskPassword(info.password.c_str()) << "\n"
            << "autoconnect = " << TrueFalse(info.autoconnect) << "\n"
            << "autoreconnect = " << TrueFalse(info.autoreconnect) << std::endl;
}

cEasyClient* cEasyClient::Clone(const char* name, int netType) {
  stClientInfo info = m_BridgeClient.GetInfo();
  info.name = name != nullptr ? name : "";
  info.autoconnect = false;
  info.autoreconnect = false;
  auto clone = std::make_unique<cEasyClientClone>(name != nullptr ? name : "", info);
  // The clone connects where its original chose by the echoes of its start. Sent again here, on
  // the worker (CloneClient), the echoes to two addresses that do not answer held every link and
  // timer 6 s, and a name to resolve as long as the resolver waits.
  clone->m_BridgeClient.KeepAddressChoice(m_BridgeClient.IsUseIp2());
  clone->m_BridgeClient.SetNetType(netType);
  clone->Start();
  std::lock_guard lock(g_cloneLock);
  CloneList().push_back(std::move(clone));
  return CloneList().back().get();
}
