// The connecting end of a link: a bridge with one network client (owned; created by Start,
// released by ClearNet or at the latest by the destructor) that picks the faster of two server
// addresses, connects, logs in with a console account, pings every 5 seconds and re-connects and
// re-logs-in after fixed waits. Worker thread only, except Connect, which may wait for a Start
// running on another thread.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <string>

#include "tessel/contracts/net_records.h"
#include "tessel/link/bridge.h"

class iClient;
class cCallbackClient;

class cBridgeClient : public cBridge {
 public:
  // The server's command group of the login commands.
  static constexpr int kLoginGroup = 2;
  // Milliseconds of Run steps between two pings (a ping goes out once they pass this).
  static constexpr unsigned int kPingEveryMs = 5000;
  // Seconds after a refused login before the next automatic login.
  static constexpr std::time_t kReloginSeconds = 10;
  // Echo requests sent to each address when choosing between two.
  static constexpr int kEchoCount = 3;
  // Longest wait of Connect for a network client that a Start on another thread is making.
  static constexpr unsigned int kConnectWaitMs = 3000;
  // Size of the buffer the login command is formatted into.
  static constexpr size_t kCmdBufferSize = 10240;

  // ICMP echo (host, count) -> mean milliseconds, and the calendar clock in seconds; tests
  // install their own, an empty function restores the machine's.
  using EchoFunc = std::function<unsigned long(const char* host, int count)>;
  using ClockFunc = std::function<std::time_t()>;

  cBridgeClient();
  ~cBridgeClient() override;

  // Sets the client up from a copy of `info` and, with autoconnect, connects. 1 (or Connect's
  // result) on success; 0 when the network client cannot be made.
  int Start(const stClientInfo& info);
  // Starts a connect to the chosen address; the network client's result, 0 without one.
  int Connect();
  void Login();
  void Logout();
  void Disconnect();
  // Logs the peer's report as a fatal error and drops the link.
  void OnPeerInternalWrong() override;
  void Ping();
  // Mean echo time to `ip` in milliseconds (kPingFailed when it cannot be measured).
  unsigned long GetPing(const char* ip);

  // Sends `text` as a command of group `cmd` to the server; 0 without a network client.
  int SendCmd(int cmd, const char* text);
  int SendCmd(int cmd, const std::string& text) { return SendCmd(cmd, text.c_str()); }

  iClient* GetNetClient() const { return m_pNetClient.load(); }
  // The network client while it is connected, else null.
  iClient* GetNetClientConnect() const;
  // Replaces the pointer; the old client is not released.
  void SetNet(iClient* client) { m_pNetClient.store(client); }
  bool IsLogin() const { return m_bLogin; }
  void SetLogin(bool login) { m_bLogin = login; }
  const char* GetAccount() const { return m_info.account.c_str(); }
  bool IsAccount(const char* name) const;

  // Link events from the network callback.
  void OnConnect(unsigned int id) override;
  bool OnDisconnect(unsigned int id) override;
  void OnLogined(unsigned int id, int result) override;
  void ClearNet() override;
  // Periodic work: a due re-connect, or else pings and a due re-login; then the bridge's own.
  void Run(unsigned long elapsedMs) override;

  // The connection record as Start copied it (the wrappers change the account through it).
  stClientInfo& GetInfo() { return m_info; }
  const stClientInfo& GetInfo() const { return m_info; }
  // The argument given to Net_CreateClient by the next Start.
  void SetNetType(int type) { m_nNetType = type; }
  int GetNetType() const { return m_nNetType; }
  cCallbackClient* GetCallbackClient() const;
  void SetEcho(EchoFunc echo) { m_fnEcho = std::move(echo); }
  void SetClock(ClockFunc clock) { m_fnClock = std::move(clock); }
  std::time_t Now() const;

  // State, for the console and tests.
  bool IsUseIp2() const { return m_bUseIp2 != 0; }
  // Whether Connect uses the second address (when it is set); Start sets it after the echoes.
  void SetUseIp2(bool use) { m_bUseIp2 = use ? 1 : 0; }
  // Takes the choice between the two addresses as made elsewhere (a clone takes its original's):
  // Start sends no echoes then.
  void KeepAddressChoice(bool useIp2) {
    SetUseIp2(useIp2);
    m_bChoiceKept = true;
  }
  int GetLogined() const { return m_nLogined; }
  unsigned int GetConnectCount() const { return m_nConnect.load(); }
  std::time_t GetDisconnectTime() const { return m_tDisconnect; }
  std::time_t GetLoginFailTime() const { return m_tLoginFail; }

 private:
  // Waits (bounded) for a network client that a Start in progress is making.
  iClient* WaitNetClient();

  std::atomic<unsigned int> m_nConnect{0};
  unsigned int m_nPingTime = 0;
  int m_nLogined = 0;
  std::time_t m_tDisconnect = 0;
  std::time_t m_tLoginFail = 0;
  std::atomic<iClient*> m_pNetClient{nullptr};
  bool m_bLogin = false;
  stClientInfo m_info;
  int m_nNetType = 0;
  int m_bUseIp2 = 0;
  bool m_bChoiceKept = false;
  std::atomic<bool> m_bStarting{false};
  EchoFunc m_fnEcho;
  ClockFunc m_fnClock;
};
