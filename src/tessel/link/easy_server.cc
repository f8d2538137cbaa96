#include "tessel/link/easy_server.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iostream>

#include "platform/console_color.h"
#include "platform/console_key.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/config_stores.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/login_desk.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"

// A refused client logs in again once more than kReloginSeconds whole seconds have passed.
static_assert(cEasyServer::kDefaultLoginDeadlineMs > (cBridgeClient::kReloginSeconds + 2) * 1000);

cEasyServer::cEasyServer() : m_pAccountManager(new cAccountManagerHelpServer) {}

// A network server still held would deliver into the endpoint that goes now: it goes first.
cEasyServer::~cEasyServer() {
  ClearNet();
  delete m_pMsg;
  delete m_pAccountManager;
}

void cEasyServer::Trace(std::ostream& os) {
  os << "这是服务器 " << GetName() << std::endl;
}

bool cEasyServer::CreateTessel() {
  m_pMsg = new cMsg;
  m_pMsg->Init(&m_BridgeServer);
  m_pAccountManager->BindBridge(&m_BridgeServer);
  m_BridgeServer.BindAMServer(m_pAccountManager);
  m_BridgeServer.BindiConnectDisconnect(m_pAccountManager);
  if (!m_BridgeServer.CreateBridge(GetName(), m_pMsg)) {
    std::cout << "create world error!" << std::endl;
    platform::WaitOneKey();
    return false;
  }
  return true;
}

bool cEasyServer::Start() {
  std::cout << "cEasyServer::Start"
            << " " << GetName() << std::endl;
  platform::ColorSection cyan(platform::kColorLightCyan);
  const std::string ipFile = "config/nameip_" + std::string(GetName()) + ".ini";
  m_BridgeServer.LoadIP(ipFile.c_str());
  std::cout << "\n【二】Create World" << std::endl;
  if (!CreateTessel()) return false;
  m_BridgeServer.Start();
  std::cout << "\n【三】Create Net server" << std::endl;
  stServerInfo info;
  std::snprintf(info.name, sizeof(info.name), "%s", GetName());
  info.net.word[stNetParam::NetParam_FloodRecords] =
      static_cast<unsigned>(std::max(0, GetConfigValue("flood_records", kDefaultFloodRecords)));
  info.net.word[stNetParam::NetParam_FloodKBytes] =
      static_cast<unsigned>(std::max(0, GetConfigValue("flood_kbytes", kDefaultFloodKBytes)));
  GetInfo(info);
  iServer* server = Net_CreateServer();
  if (server == nullptr) {
    std::cout << "\n";
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "create server failed 请检查端口是否被占用" << std::endl;
    platform::WaitOneKey();
    return false;
  }
  m_BridgeServer.SetNet(server);
  m_pAccountManager->BindNetServer(server);
  if (server->Init(&info, m_BridgeServer.GetNetHelp()) == 0) {
    // The server that did not start is released here: nothing else would.
    m_pAccountManager->BindNetServer(nullptr);
    m_BridgeServer.ClearNet();
    std::cout << "\n";
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "create server failed 请检查端口是否被占用" << std::endl;
    platform::WaitOneKey();
    return false;
  }
  ApplyLoginDeadline(GetLoginDeadline());
  server->Trace(std::cout);
  std::cout << "\nserver " << GetName() << "成功启动"
            << "\n"
            << std::endl;
  return true;
}

void cEasyServer::End() {
  std::cout << "cEasyServer::End"
            << " " << GetName() << std::endl;
  delete m_pMsg;
  m_pMsg = nullptr;
  m_BridgeServer.End();
  std::cout << "server " << GetName() << " end！"
            << "\n"
            << std::endl;
  platform::SetColor(platform::kColorLightCyan);
}

void cEasyServer::SetLoginDeadline(unsigned int ms) {
  m_nLoginDeadlineMs = static_cast<int>(std::min<unsigned>(ms, INT_MAX));
  if (GetNetServer() != nullptr) ApplyLoginDeadline(ms);
}

void cEasyServer::ApplyLoginDeadline(unsigned int ms) {
  GetNetServer()->SetLoginDeadline(ms);
  m_pAccountManager->GetLoginDesk().SetMaxDelay(ms != 0 ? ms / 2 : kNoDeadlineLoginDelayMs);
}

void cEasyServer::HandleMsgEx(unsigned int n) {
  m_BridgeServer.HandleMsg(n);
  m_pAccountManager->GetLoginDesk().Run();
}

unsigned int cEasyServer::GetLoginDeadline() const {
  if (m_nLoginDeadlineMs >= 0) return static_cast<unsigned>(m_nLoginDeadlineMs);
  return static_cast<unsigned>(
      std::max(0, GetConfigValue("login_deadline", static_cast<int>(kDefaultLoginDeadlineMs))));
}

void cEasyServer::ClearNet() {
  m_pAccountManager->BindNetServer(nullptr);
  m_BridgeServer.ClearNet();
}

void cEasyServer::ExceptionEnd() {
  // The end sequence runs beside the worker.
  SendServerCmdApart(GetNetServer(), kExceptionGroup, "ServerException()");
}

unsigned int cEasyServer::GetMsgNum() {
  cNetHelp* help = m_BridgeServer.GetNetHelp();
  return help != nullptr ? static_cast<unsigned>(help->GetQueued()) : 0;
}

void cEasyServer::TraceSendCmd(bool on) {
  if (iServer* server = GetNetServer()) server->TraceSendCmd(on);
}

void cEasyServer::TraceRecieveCmd(bool on) {
  if (iServer* server = GetNetServer()) server->TraceRecieveCmd(on);
}
