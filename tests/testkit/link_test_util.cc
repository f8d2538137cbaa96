#include "link_test_util.h"

#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/lua_text.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/ostream_cmd.h"

namespace fs = std::filesystem;

namespace linktest {

uint16_t stReceived::Type() const {
  uint16_t type = 0;
  if (bytes.size() >= 2) std::memcpy(&type, bytes.data(), 2);
  return type;
}

int32_t stReceived::Word(size_t index) const {
  int32_t word = 0;
  if (bytes.size() >= 8 + 4 * index) std::memcpy(&word, bytes.data() + 4 + 4 * index, 4);
  return word;
}

std::string stReceived::CmdText() const {
  if (bytes.size() <= 8) return {};
  const char* text = bytes.data() + 8;
  return std::string(text, strnlen(text, bytes.size() - 8));
}

cPeer::cPeer(unsigned short port, stClientInfo info) {
  InitSocket();
  info.name = "testpeer";
  m_pClient = Net_CreateClient(0);
  if (m_pClient->Init(&info, this) == 0) return;
  m_pClient->Connect("127.0.0.1", port);
  std::unique_lock lock(m_lock);
  m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_bConnected; });
}

cPeer::~cPeer() {
  m_pClient->Release();
}

int cPeer::OnMessage(int kind, const void* data, unsigned long size, iSend*) {
  std::lock_guard lock(m_lock);
  stReceived item;
  item.kind = kind;
  item.bytes.assign(static_cast<const char*>(data), static_cast<const char*>(data) + size);
  if (kind == 1 && item.Type() == NetNotice_Client) {
    m_bConnected = item.Word(0) == NetState_ConnectResult && item.Word(1) == 0;
  } else {
    m_items.push_back(std::move(item));
  }
  m_changed.notify_all();
  return 1;
}

int cPeer::SendCmd(int cmd, const std::string& text) {
  std::vector<char> record(CmdWireSize(text.size()), 0);
  const uint16_t type = static_cast<uint16_t>(stMsg_Cmd::s_nType);
  std::memcpy(record.data(), &type, 2);
  std::memcpy(record.data() + 4, &cmd, 4);
  std::memcpy(record.data() + 8, text.data(), text.size());
  return SendRaw(record);
}

int cPeer::SendRaw(const std::vector<char>& record) {
  return m_pClient->Send(reinterpret_cast<const stMsg*>(record.data()), record.size());
}

bool cPeer::WaitRecord(const std::function<bool(const stReceived&)>& pred, int ms) {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    for (const auto& item : m_items)
      if (pred(item)) return true;
    return false;
  });
}

std::vector<stReceived> cPeer::Records() {
  std::lock_guard lock(m_lock);
  return m_items;
}

bool cPeer::Has(const std::function<bool(const stReceived&)>& pred) {
  std::lock_guard lock(m_lock);
  for (const auto& item : m_items)
    if (pred(item)) return true;
  return false;
}

void cPeer::ClearRecords() {
  std::lock_guard lock(m_lock);
  m_items.clear();
}

cServerEndpoint::cServerEndpoint(const char* name) {
  using Fn = std::function<void(lua_State*)>;
  m_login = std::make_unique<cTestCmd>(
      "cCmd_TestLogin", Fn([this](lua_State* L) {
        luareg::def(L, "Login", [this](const char* account, const char* password) {
          const unsigned id = get_gout().GetLinkID();
          const bool ok = m_accounts.Login(id, account, password);
          OnLoginedBridge(id, ok ? 1 : 0);
        });
        luareg::def(L, "Logout", [this]() { m_accounts.Logout(get_gout().GetLinkID()); });
        luareg::def(L, "Logined", [this](int result, const char*) {
          m_vLogined.emplace_back(get_gout().GetLinkID(), result);
        });
      }));
  auto echo = [](int group) {
    return Fn([group](lua_State* L) {
      luareg::def(L, "Echo", [group](const char* text) { get_gout() << text << " " << group; });
    });
  };
  m_echo3 = std::make_unique<cTestCmd>("cCmd_TestEcho3", echo(3));
  m_echo25 = std::make_unique<cTestCmd>("cCmd_TestEcho25", echo(25));
  m_count4 = std::make_unique<cTestCmd>("cCmd_TestCount", Fn([this](lua_State* L) {
                                          luareg::def(L, "Count", [this]() { ++m_nCount; });
                                        }));
  AddCmd(2, m_login.get());
  AddCmd(3, m_echo3.get());
  AddCmd(4, m_count4.get());
  AddCmd(25, m_echo25.get());
  SetUseConsoleCmd(false);

  m_msg.Init(this);
  CreateBridge(name, &m_msg);
  m_accounts.BindBridge(this);
  BindAMServer(&m_accounts);
  BindiConnectDisconnect(&m_accounts);
  InitSocket();
  iServer* server = Net_CreateServer();
  stServerInfo info;
  std::snprintf(info.name, sizeof(info.name), "%s", name);
  info.bindip = 0x7F000001;
  SetNet(server);
  m_accounts.BindNetServer(server);
  if (server->Init(&info, GetNetHelp()) != 0) m_nPort = server->GetPort();
  Start();
}

cServerEndpoint::~cServerEndpoint() {
  ClearNet();
  End();
}

bool cServerEndpoint::LogIn(cPeer& peer, const char* account, const char* password) {
  fs::create_directories("db/accounts");
  std::ofstream(std::string("db/accounts/") + account + ".ini")
      << "password = " << password << "\ncmd = 9\n";
  const std::string login = std::string("Login('") + account + "','" + password + "')";
  if (!PumpUntil([&] { return m_accounts.GetAccount(1) != nullptr; }) ||
      peer.SendCmd(2, login) == 0)
    return false;
  return PumpUntil([&] { return m_accounts.GetAccount(1)->IsLogin(); });
}

bool cServerEndpoint::PumpUntil(const std::function<bool()>& pred, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    HandleMsg(0);
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void cServerEndpoint::PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

std::string OutputCmd(const std::string& output) {
  return "Output(" + LuaLongBracket(output) + ")";
}

bool IsCmd(const stReceived& r) {
  return r.kind == 2 && r.Type() == stMsg_Cmd::s_nType;
}

bool IsException(const stReceived& r, int type, int code) {
  return r.kind == 2 && r.Type() == stMsg_Exception::s_nType &&
         static_cast<int>(r.Word(0)) == type && static_cast<int>(r.Word(1)) == code;
}

}  // namespace linktest
