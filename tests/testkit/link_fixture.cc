#include "testkit/link_fixture.h"

#include <chrono>
#include <thread>

#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/core/lua_text.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/login_desk.h"
#include "tessel/msg/msg_records.h"

namespace linktest {
namespace {

bool IsOutput(const testkit::stDelivery& d, const std::string& output) {
  return testkit::RecordOf(stMsg_Cmd::s_nType)(d) &&
         d.CmdText() == "Output(" + LuaLongBracket(output) + ")";
}

// An exception notice that refuses a record of `type` with `code`.
testkit::Pred Refusal(int type, int code) {
  return [=](const testkit::stDelivery& d) {
    return testkit::RecordOf(stMsg_Exception::s_nType)(d) && int(d.Word(0)) == type &&
           int(d.Word(1)) == code;
  };
}

}  // namespace

void cTestServer::GetInfo(stServerInfo& info) {
  info.port = m_nPort;
  info.bindip = 0x7F000001;
  if (m_nMaxLinks != 0) info.maxlinks = m_nMaxLinks;
}

void cTestClient::GetInfo(stClientInfo& info) {
  LoadInfo(info);
  info.port = m_pServer != nullptr ? m_pServer->Port() : m_nPort;
  if (adjust) adjust(info);
}

LinkTest::LinkTest() {
  // The standard groups answer what the endpoints' own arrays do not hold.
  static const bool groups = [] {
    AddStandardGroups(cTesselCmd::Instance());
    return true;
  }();
  (void)groups;
}

LinkTest::~LinkTest() {
  m_peerLink.reset();
  m_client.reset();
  m_server.reset();
  cLoginDesk::SetThreadStarter(nullptr);
}

void LinkTest::StartServer(unsigned short port) {
  m_server = std::make_unique<cTestServer>(port);
  ASSERT_TRUE(m_server->Start());
  ASSERT_NE(m_server->Port(), 0);
}

void LinkTest::StartClient(const std::function<void(stClientInfo&)>& adjust) {
  m_client = std::make_unique<cTestClient>(m_server->Port());
  m_client->adjust = adjust;
  Link().SetClock([this] { return m_now.load(); });
  Link().BindiConnectDisconnect(&m_logins);
  ASSERT_TRUE(m_client->Start());
}

bool LinkTest::ConnectPeer() {
  m_peerLink = std::make_unique<testkit::cClientScope>(m_peer, m_server->Port());
  return m_peerLink->connected && Pump([&] { return Accounts().GetAccount(1) != nullptr; });
}

bool LinkTest::Exchange(int group, const std::string& text, const testkit::Pred& pred) {
  m_peer.Clear();
  return SendCmd(m_peerLink->client, group, text) != 0 && Pump([&] { return m_peer.Has(pred); });
}

bool LinkTest::PeerAnswered(int group, const std::string& text, const std::string& output) {
  return Exchange(group, text, [&](const testkit::stDelivery& d) { return IsOutput(d, output); });
}

bool LinkTest::PeerRefused(int group, const std::string& text, int code) {
  return Exchange(group, text, Refusal(stMsg_Cmd::s_nType, code));
}

bool LinkTest::PeerRecordRefused(int type, const std::string& body, int code) {
  m_peer.Clear();
  return testkit::Send(m_peerLink->client, testkit::MakeRecord(uint16_t(type), body)) != 0 &&
         Pump([&] { return m_peer.Has(Refusal(type, code)); });
}

bool LinkTest::PeerLogIn(const std::string& account, const std::string& password) {
  return Exchange(
      2, "Login('" + account + "','" + password + "')",
      [](const testkit::stDelivery& d) { return d.CmdText().starts_with("Logined(1"); });
}

void LinkTest::StartLoggedIn(const std::string& password,
                             const std::function<void(stClientInfo&)>& adjust) {
  WriteAccount("opsuser", "pw", 1);
  m_home.login("global", "opsuser", password, "autoconnect = 1\nautoreconnect = 1\n");
  if (!m_server) StartServer();
  StartClient(adjust);
  ASSERT_TRUE(Pump([&] { return m_logins.results.size() == 1; }));
}

bool LinkTest::Pump(const std::function<bool()>& pred, int ms, unsigned long stepMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (m_server) m_server->HandleMsg();
    if (m_client) {
      m_client->HandleMsg();
      m_client->RunEasy(stepMs);
    }
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool LinkTest::Said(const std::string& part) const {
  for (const std::string& text : Outputs())
    if (text.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace linktest
