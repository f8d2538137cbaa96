#include "tessel/link/account_manager.h"

#include "tessel/contracts/netlib.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/login_desk.h"
#include "tessel/msg/cmd_record_gate.h"
#include "tessel/msg/ostream_cmd.h"

cAccountManagerHelpServer::cAccountManagerHelpServer()
    : m_pDesk(std::make_unique<cLoginDesk>(*this)) {}

cAccountManagerHelpServer::~cAccountManagerHelpServer() {
  m_pDesk.reset();
  for (iAccount* account : m_vAccount) delete account;
}

iAccount* cAccountManagerHelpServer::GetAccount(unsigned int linkId) {
  return linkId < m_vAccount.size() ? m_vAccount[linkId] : nullptr;
}

iAccount* cAccountManagerHelpServer::FindAccount(const char* name) {
  auto it = m_mapAccount.find(name ? name : "");
  return it == m_mapAccount.end() ? nullptr : it->second;
}

// A record renamed here is no longer logged in under the name it entered the table with. A
// link named here is logged in: its server no longer holds it to the login deadline.
void cAccountManagerHelpServer::SetLogin(unsigned int linkId, const char* name, int level) {
  TESSEL_ASSERT_WORKER();
  iAccount* account = GetAccount(linkId);
  if (account == nullptr) return;
  EraseEntries(account, name != nullptr ? name : "");
  account->SetAccount(name, level);
  iServerLink* link =
      m_pNetServer != nullptr && account->IsLogin() ? m_pNetServer->GetLink(linkId) : nullptr;
  if (link != nullptr) link->SetLogined();
}

bool cAccountManagerHelpServer::EraseEntries(const iAccount* account, const char* keep) {
  bool erased = false;
  for (auto it = m_mapAccount.begin(); it != m_mapAccount.end();) {
    if (it->second == account && (keep == nullptr || it->first != keep)) {
      it = m_mapAccount.erase(it);
      erased = true;
    } else {
      ++it;
    }
  }
  return erased;
}

// The peer's own login on a link a replay logged in takes the link over, also under the name
// the replay used; the replay's name leaves the table.
bool cAccountManagerHelpServer::Login(unsigned int linkId, const char* name, const char* password,
                                      bool replayed) {
  TESSEL_ASSERT_WORKER();
  iAccount* account = GetAccount(linkId);
  if (account == nullptr) {
    get_gout() << "login error not find player\n";
    return false;
  }
  iAccount* holder = FindAccount(name);
  if (holder != nullptr && (holder != account || replayed || !account->IsReplayLogin())) {
    get_gout() << "login error player already logined\n";
    return false;
  }
  if (!account->Login(name, password, replayed)) return false;
  EraseEntries(account);
  m_mapAccount[account->GetName()] = account;
  return true;
}

bool cAccountManagerHelpServer::Logout(unsigned int linkId) {
  TESSEL_ASSERT_WORKER();
  iAccount* account = GetAccount(linkId);
  if (account == nullptr) {
    get_gout() << "logout error not find player\n";
    return false;
  }
  // Entries go by the record they point at, never by its present name: whatever renamed the
  // record, no name is left behind pointing at it. A record given its name by SetAccount never
  // entered the table.
  const bool entered = EraseEntries(account);
  if (!account->IsLogin()) return true;
  account->Logout();
  // What the account's commands defined on the link, and the code they left to run later, end
  // with its session: the next account logged in on the link starts afresh.
  if (m_pBridge != nullptr) DropPeerEnv(m_pBridge, linkId);
  // The link is a guest of its server again: the login deadline and the guests' limits apply.
  if (iServerLink* link = m_pNetServer != nullptr ? m_pNetServer->GetLink(linkId) : nullptr)
    link->SetLogout();
  return entered;
}

void cAccountManagerHelpServer::AccountNum() {
  get_gout() << GetAccountNum() << "\n";
}

std::vector<std::string> cAccountManagerHelpServer::AccountNames() {
  std::vector<std::string> names;
  for (const auto& entry : m_mapAccount) names.push_back(entry.first);
  return names;
}

void cAccountManagerHelpServer::Accounts() {
  if (m_bOnlyNum) {
    get_gout() << GetAccountNum() << " ";
    return;
  }
  for (const auto& [name, account] : m_mapAccount) get_gout() << name << " ";
}

void cAccountManagerHelpServer::Account(const char* name) {
  if (iAccount* account = FindAccount(name))
    account->Trace();
  else
    get_gout() << "noplayer";
}

int cAccountManagerHelpServer::SendMsgLogined(stMsg* msg, unsigned long size) {
  if (m_pNetServer == nullptr) return 1;
  for (const auto& [name, account] : m_mapAccount) {
    iServerLink* link = m_pNetServer->GetLink(account->GetLinkID());
    if (link != nullptr && PassCmdRecordGate(link, msg, size)) link->Send(msg, size);
  }
  return 1;
}

// The record goes with its link, and the manager never holds the link back: a record kept for
// a dead link would hand its level to the next link given the same id, and a link kept would
// never give its id back.
bool cAccountManagerHelpServer::OnDisconnect(unsigned int linkId) {
  TESSEL_ASSERT_WORKER();
  m_pDesk->DropLink(linkId);
  iAccount* account = GetAccount(linkId);
  if (account == nullptr) return true;
  Logout(linkId);  // takes every name of the record out of the table
  delete account;
  m_vAccount[linkId] = nullptr;
  return true;
}

iAccount* cAccountManagerHelpServer::CreateAccount(unsigned int linkId) {
  TESSEL_ASSERT_WORKER();
  if (m_vAccount.size() < linkId + 1) m_vAccount.resize(linkId + 1, nullptr);
  if (m_vAccount[linkId] != nullptr) return m_vAccount[linkId];
  auto* account = new cAccountHelp;
  if (!m_bNeedLogin) account->SetAccount("opsuser", 1);
  account->SetLinkID(linkId);
  m_vAccount[linkId] = account;
  return account;
}

int cAccountManagerHelpServer::ReloadRights() {
  TESSEL_ASSERT_WORKER();
  int bad = 0;
  for (const auto& entry : m_mapAccount)
    if (auto* account = dynamic_cast<cAccountHelp*>(entry.second))
      if (!account->ReloadRights()) ++bad;
  return bad;
}
