#include "tessel/link/bridge_client.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "platform/console_color.h"
#include "platform/console_key.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/loglib.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/loggers.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_help.h"
#include "tessel/link/callback_client.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/origin_desk.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/ping.h"

namespace {

// Background of the connect line (light magenta); its text keeps the colour of the moment.
constexpr int kConnectBackground = 0xD0;
constexpr unsigned int kConnectPollMs = 100;

}  // namespace

cBridgeClient::cBridgeClient() {
  auto* callback = new cCallbackClient;
  callback->SetBridge(this);
  m_pNetHelp = callback;
}

// A network client still held would deliver into the callback this endpoint owns: it goes first.
cBridgeClient::~cBridgeClient() {
  if (iClient* client = m_pNetClient.exchange(nullptr)) {
    client->Stop();
    client->Release();
  }
}

cCallbackClient* cBridgeClient::GetCallbackClient() const {
  return static_cast<cCallbackClient*>(m_pNetHelp);
}

std::time_t cBridgeClient::Now() const {
  return m_fnClock ? m_fnClock() : std::time(nullptr);
}

unsigned long cBridgeClient::GetPing(const char* ip) {
  const unsigned long r = m_fnEcho ? m_fnEcho(ip, kEchoCount) : ::Ping(ip, kEchoCount);
  std::cout << "cBridgeClient::GetPing"
            << " Ping " << ip << " " << r << std::endl;
  return r;
}

int cBridgeClient::Start(const stClientInfo& info) {
  m_bStarting = true;
  cBridge::Start();
  if (!info.serverip2.empty() && !m_bChoiceKept) {
    const unsigned long p1 = GetPing(info.serverip.c_str());
    const unsigned long p2 = GetPing(info.serverip2.c_str());
    if (p1 > p2) {
      std::cout << "ip1 " << info.serverip << " ping = " << p1 << std::endl;
      std::cout << "ip2 " << info.serverip2 << " ping = " << p2 << std::endl;
      m_bUseIp2 = 1;
    }
  }
  m_info = info;
  cCallbackClient* callback = GetCallbackClient();
  callback->SetWaitEncoding(m_info.net.IsEncoded());
  callback->SetName(GetNameStr());
  iClient* client = Net_CreateClient(m_nNetType);
  if (client == nullptr || client->Init(&m_info, callback) == 0) {
    if (client != nullptr) client->Release();
    m_bStarting = false;
    std::cout << "create client failed 请检查socket是否被耗尽" << std::endl;
    // The start waits for the operator to see it; the worker (CloneClient) never waits for a
    // key: it would hold every link until one is pressed, and take it from the console's line.
    if (!IsWorkerThread()) platform::WaitOneKey();
    return 0;
  }
  m_pNetClient = client;
  m_bStarting = false;
  if (m_info.autoconnect) return Connect();
  return 1;
}

// Waits only while a Start is making the client, and never longer than kConnectWaitMs: after
// ClearNet or a failed Start no client is coming, and a wait on the worker would stop every link.
iClient* cBridgeClient::WaitNetClient() {
  for (unsigned waited = 0;
       m_pNetClient.load() == nullptr && m_bStarting.load() && waited < kConnectWaitMs;
       waited += kConnectPollMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectPollMs));
  return m_pNetClient.load();
}

int cBridgeClient::Connect() {
  iClient* client = WaitNetClient();
  if (client == nullptr) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "cBridgeClient::Connect"
              << " client " << GetNameStr() << " has no net client, connect failed" << std::endl;
    // A pending re-connect waits its full time again instead of failing on every step.
    if (m_tDisconnect > 0) m_tDisconnect = Now();
    return 0;
  }
  ++m_nConnect;
  std::string address = m_info.serverip;
  if (m_bUseIp2 != 0 && !m_info.serverip2.empty()) {
    address = m_info.serverip2;
    std::cout << "use ip2 = " << m_info.serverip2 << " ip1 = " << m_info.serverip << std::endl;
  }
  // The connect line stands out on a background of its own; the colours before it come back.
  const int attribute = platform::CurrentAttribute();
  platform::SetAttribute(kConnectBackground | (attribute & 0x0F));
  std::cout << "client " << m_info.name << " connect to " << address << " port " << m_info.port
            << "\n";
  platform::SetAttribute(attribute);
  if (m_tDisconnect > 0 && m_info.autoreconnect) {
    std::cout << "autoreconnect canceled...\n" << std::flush;
    m_tDisconnect = 0;
  }
  return client->Connect(address.c_str(), m_info.port);
}

int cBridgeClient::SendCmd(int cmd, const char* text) {
  TESSEL_ASSERT_WORKER();
  iClient* client = m_pNetClient.load();
  if (client == nullptr) return 0;
  return ::SendCmd(client, cmd, text);
}

// Both values travel as escaped Lua literals, so a quote or backslash in them cannot change the
// statement the server runs; the server reads back exactly what was given.
void cBridgeClient::Login() {
  TESSEL_ASSERT_WORKER();
  if (m_bLogin) {
    std::cout << "already logined " << std::endl;
    return;
  }
  if (m_info.account.empty() || m_info.password.empty()) {
    std::cout << "account = " << m_info.account
              << " password = " << MaskPassword(m_info.password.c_str()) << " 信息不全\n"
              << std::flush;
  } else {
    std::cout << "login as account " << m_info.account << " password "
              << MaskPassword(m_info.password.c_str()) << "\n"
              << std::flush;
    std::string text = "Login(" + LuaQuote(m_info.account) + "," + LuaQuote(m_info.password) + ")";
    if (text.size() >= kCmdBufferSize) text.resize(kCmdBufferSize - 1);
    if (SendCmd(kLoginGroup, text) != 0) cOriginDesk::Instance().AwaitLogin(GetNetClient(), true);
  }
  if (m_tLoginFail > 0 && m_info.autologin) {
    std::cout << "autologin canceled...\n" << std::flush;
    m_tLoginFail = 0;
  }
}

void cBridgeClient::Logout() {
  TESSEL_ASSERT_WORKER();
  if (!m_bLogin) {
    std::cout << "not login yet\n" << std::flush;
    return;
  }
  SendCmd(kLoginGroup, "Logout()");
  m_bLogin = false;
}

void cBridgeClient::Disconnect() {
  if (iClient* client = m_pNetClient.load()) client->Disconnect();
}

void cBridgeClient::Ping() {
  TESSEL_ASSERT_WORKER();
  if (iClient* client = GetNetClientConnect()) client->Ping();
}

iClient* cBridgeClient::GetNetClientConnect() const {
  iClient* client = m_pNetClient.load();
  return client != nullptr && client->IsConnect() != 0 ? client : nullptr;
}

bool cBridgeClient::IsAccount(const char* name) const {
  return name != nullptr && m_info.account == name;
}

void cBridgeClient::OnConnect(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  // What the origin desk knew of the link belongs to the connection before: the client may
  // now lead to another server, one that reads no origins.
  cOriginDesk::Instance().Forget(GetNetClient());
  platform::ColorSection yellow(platform::kColorYellow);
  m_bLogin = false;
  if (m_info.autologin) {
    std::cout << "client " << m_info.name << " OnConnect , autologin start \n" << std::flush;
    Login();
  }
  OnConnectBridge(id);
  m_tDisconnect = 0;
}

bool cBridgeClient::OnDisconnect(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  m_pNetHelp->Clear();
  // The link is down now (so not taken by GetNetClientConnect): the answers awaited from it
  // are given up at once.
  cOriginDesk::Instance().Forget(GetNetClient());
  platform::ColorSection yellow(platform::kColorYellow);
  m_bLogin = false;
  m_tDisconnect = Now();
  std::cout << "cBridgeClient::OnDisconnect"
            << " client " << m_info.name << " "
            << (m_info.autoreconnect ? "重新连接将在5秒后开始\n" : "没有设置重新连接\n")
            << std::flush;
  return OnDisconnectBridge(id);
}

void cBridgeClient::OnLogined(unsigned int id, int result) {
  TESSEL_ASSERT_WORKER();
  m_nLogined = result;
  cOriginDesk::Instance().AwaitLogin(GetNetClient(), false);
  OnLoginedBridge(id, result);
  if (result == 0) {
    m_tLoginFail = Now();
    std::cout << (m_info.autologin ? "重新Login将在10秒后开始\n" : "没有设置重新Login\n")
              << std::flush;
  }
}

void cBridgeClient::Run(unsigned long elapsedMs) {
  TESSEL_ASSERT_WORKER();
  const std::time_t now = Now();
  if (m_tDisconnect != 0) {
    if (m_info.autoreconnect && PassedSince(m_tDisconnect, now, m_info.reconnecttime)) Connect();
  } else {
    m_nPingTime += static_cast<unsigned int>(elapsedMs);
    if (m_nPingTime > kPingEveryMs) {
      m_nPingTime = 0;
      Ping();
    }
    if (m_tLoginFail != 0 && m_info.autologin && !m_bLogin &&
        PassedSince(m_tLoginFail, now, kReloginSeconds))
      Login();
  }
  cBridge::Run(elapsedMs);
}

void cBridgeClient::ClearNet() {
  TESSEL_LOG(tessel_info(), "cBridgeClient::ClearNet"
                                << " " << m_info.name << " clear netclient... ");
  if (iClient* client = m_pNetClient.exchange(nullptr)) {
    client->Stop();
    client->Release();
  }
  TESSEL_LOG(tessel_info(), "cBridgeClient::ClearNet"
                                << " " << m_info.name << " clear m_pNetHelp... ");
  if (m_pNetHelp != nullptr) m_pNetHelp->Clear();
}

void cBridgeClient::OnPeerInternalWrong() {
  TESSEL_LOG(tessel_fetalerror(), "stMsg_ExceptionBind::OnMsg"
                                      << "【严重错误】ChatException_InternalWrong");
  Disconnect();
}
