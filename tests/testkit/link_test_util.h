// Helpers for the link tests: a temporary working folder, a peer that is a plain client of the
// network library recording what it receives, and a listening endpoint on 127.0.0.1 with its
// registry, account manager and command groups of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/msg_registry.h"
#include "testkit/file_text.h"
#include "testkit/temp_dir.h"

namespace linktest {

// A fresh temporary folder made the working folder and the host's home for one test.
class cTempHome : public testkit::cTempDir {
 public:
  cTempHome() : cTempDir(kHome) {}
  const std::filesystem::path& Path() const { return path(); }
  // Every file below `folder` (relative to the home), read whole and joined.
  std::string ReadAll(const std::string& folder) const {
    return testkit::ReadFolder(path() / folder);
  }
};

// One record or notice as the peer received it.
struct stReceived {
  int kind = 0;
  std::vector<char> bytes;
  uint16_t Type() const;
  int32_t Word(size_t index) const;  // the 32-bit field at 4 + 4 * index
  std::string CmdText() const;       // the text of a command record
};

// A client of the network library connected to 127.0.0.1:port, recording every delivery.
class cPeer : public iCallbackNet {
 public:
  using Pred = std::function<bool(const stReceived&)>;
  explicit cPeer(unsigned short port, stClientInfo info = stClientInfo());
  ~cPeer();
  bool Connected() const { return m_bConnected; }
  iClient* Client() const { return m_pClient; }
  // Sends a command record of group `cmd` built byte by byte.
  int SendCmd(int cmd, const std::string& text);
  int SendRaw(const std::vector<char>& record);
  // Waits at most `ms` for a peer record matching `pred`; true when one arrived.
  bool WaitRecord(const std::function<bool(const stReceived&)>& pred, int ms = 5000);
  std::vector<stReceived> Records();
  // True when a record matching `pred` has arrived (does not wait).
  bool Has(const std::function<bool(const stReceived&)>& pred);
  void ClearRecords();
  int OnMessage(int kind, const void* data, unsigned long size, iSend* send) override;

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<stReceived> m_items;
  iClient* m_pClient = nullptr;
  bool m_bConnected = false;
};

// A command group whose functions are given as a registration function.
class cTestCmd : public cCmd {
 public:
  cTestCmd(const char* name, std::function<void(lua_State*)> bind)
      : m_name(name), m_bind(std::move(bind)) {}
  ~cTestCmd() override { Clear(); }
  void bind_cln(lua_State* L) override { m_bind(L); }
  const char* GetName() override { return m_name.c_str(); }

 private:
  std::string m_name;
  std::function<void(lua_State*)> m_bind;
};

// A listening endpoint on 127.0.0.1 (free port): the registry with the built-in bindings, an
// account manager bound and listening, and groups 2 (Login, Logout, Logined), 3 and 25 (Echo,
// which prints its argument and the group) and 4 (Count, counting its calls).
class cServerEndpoint : public cBridgeServer {
 public:
  explicit cServerEndpoint(const char* name = "testlink");
  ~cServerEndpoint() override;
  // Pumps until `pred` holds or `ms` pass; true when it held.
  bool PumpUntil(const std::function<bool()>& pred, int ms = 5000);
  // Pumps for about `ms`.
  void PumpFor(int ms);
  unsigned short Port() const { return m_nPort; }
  cAccountManagerHelpServer& Accounts() { return m_accounts; }
  int CountCalls() const { return m_nCount; }
  std::vector<std::pair<unsigned, int>> Logined() const { return m_vLogined; }
  // Writes the account file (level 9) and logs the peer in with it; true when it is logged in.
  bool LogIn(cPeer& peer, const char* account, const char* password);

 private:
  cMsg m_msg;
  cAccountManagerHelpServer m_accounts;
  std::unique_ptr<cTestCmd> m_login, m_echo3, m_count4, m_echo25;
  unsigned short m_nPort = 0;
  int m_nCount = 0;
  std::vector<std::pair<unsigned, int>> m_vLogined;
};

// The text of the Output command that returns `output`.
std::string OutputCmd(const std::string& output);
bool IsCmd(const stReceived& r);
bool IsException(const stReceived& r, int type, int code);

}  // namespace linktest
