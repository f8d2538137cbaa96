#include "tessel/link/account_manager.h"

#include "tessel/contracts/netlib.h"
#include "tessel/msg/ostream_cmd.h"

cAccountManagerHelpServer::~cAccountManagerHelpServer() {
  for (iAccount* account : m_vAccount) delete account;
}

iAccount* cAccountManagerHelpServer::GetAccount(unsigned int linkId) {
  return linkId < m_vAccount.size() ? m_vAccount[linkId] : nullptr;
}

iAccount* cAccountManagerHelpServer::FindAccount(const char* name) {
  auto it = m_mapAccount.find(name ? name : "");
  return it == m_mapAccount.end() ? nullptr : it->second;
}

void cAccountManagerHelpServer::SetLogin(unsigned int linkId, const char* name, int level) {
  if (iAccount* account = GetAccount(linkId)) account->SetAccount(name, level);
}

bool cAccountManagerHelpServer::Login(unsigned int linkId, const char* name, const char* password) {
  iAccount* account = GetAccount(linkId);
  if (account == nullptr) {
    get_gout() << "login error not find player\n";
    return false;
  }
  if (FindAccount(name) != nullptr) {
    get_gout() << "login error player already logined\n";
    return false;
  }
  if (!account->Login(name, password)) return false;
  m_mapAccount[account->GetName()] = account;
  return true;
}

bool cAccountManagerHelpServer::Logout(unsigned int linkId) {
  iAccount* account = GetAccount(linkId);
  if (account == nullptr) {
    get_gout() << "logout error not find player\n";
    return false;
  }
  if (!account->IsLogin()) {
    account->Logout();
    return true;
  }
  auto it = m_mapAccount.find(account->GetName());
  // Only the record entered under the name may take it out of the table: a record given its
  // name by SetAccount never entered it.
  bool entered = it != m_mapAccount.end() && it->second == account;
  if (entered) m_mapAccount.erase(it);
  account->Logout();
  return entered;
}

void cAccountManagerHelpServer::AccountNum() {
  get_gout() << GetAccountNum() << "\n";
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
  for (const auto& [name, account] : m_mapAccount)
    if (iServerLink* link = m_pNetServer->GetLink(account->GetLinkID())) link->Send(msg, size);
  return 1;
}

bool cAccountManagerHelpServer::OnDisconnect(unsigned int linkId) {
  if (GetAccount(linkId) == nullptr) return Logout(linkId);
  bool loggedOut = Logout(linkId);
  // The record goes with its link even when the logout was refused: a record kept for a dead
  // link would hand its level and state to the next link given the same id.
  delete m_vAccount[linkId];
  m_vAccount[linkId] = nullptr;
  return loggedOut;
}

iAccount* cAccountManagerHelpServer::CreateAccount(unsigned int linkId) {
  if (m_vAccount.size() < linkId + 1) m_vAccount.resize(linkId + 1, nullptr);
  if (m_vAccount[linkId] != nullptr) return m_vAccount[linkId];
  auto* account = new cAccountHelp;
  if (!m_bNeedLogin) account->SetAccount("opsuser", 1);
  account->SetLinkID(linkId);
  m_vAccount[linkId] = account;
  return account;
}
