#include "tessel/link/bridge_server.h"

#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/console_color.h"
#include "platform/folder_lock.h"
#include "platform/home_file.h"
#include "platform/text_clean.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/log_file.h"
#include "tessel/core/loggers.h"
#include "tessel/core/login_text.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/callback_server.h"
#include "tessel/link/cmd_audit.h"
#include "tessel/link/origin_desk.h"
#include "tessel/msg/msg_bindings.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/text_file_util.h"

namespace {

// The login command group: open to links that have not logged in.
constexpr unsigned kLoginGroup = 2;
// Groups from this number on need no account unless their check asks for a login.
constexpr unsigned kFirstFreeGroup = 20;
constexpr int kColorWhiteOnBlack = 7;
// The disconnect reason of a kicked link.
constexpr int kReasonBanned = 22;
// Bytes of a refused stranger's record body the log line shows.
constexpr size_t kStrangerSampleBytes = 64;
// An address list that is there but cannot be read was meant to narrow the peers: it admits none
// (failing open, it admitted every address) until it is mended or Set gives it an entry.
constexpr const char* kAdmitsNone = "; no address is admitted until it is mended";

}  // namespace

cBridgeServer::cBridgeServer() {
  m_pNetHelp = new cCallbackServer(*this);
}

cBridgeServer::~cBridgeServer() = default;

void cBridgeServer::SetNet(iServer* server) {
  m_pNetServer = server;
  SetIP();
}

namespace {

// The file is read back word by word: a name or address that is not one word would load as
// other entries (the allowed address lost, or one nobody gave).
bool OneWord(const char* word) {
  return word != nullptr && *word != '\0' && std::strpbrk(word, " \t\r\n\v\f") == nullptr;
}

// The entries of a saved table, read as LoadIP reads them: up to an empty line or a line that
// is no entry. `tail` gets the lines from there on, as the operator wrote them.
std::map<std::string, std::string> SavedIPs(std::string text, std::string& tail) {
  DecodeTextFile(text);
  std::map<std::string, std::string> table;
  std::istringstream in(text);
  std::string line, name, ip;
  for (std::streamoff lineStart = 0; std::getline(in, line); lineStart = in.tellg()) {
    std::istringstream words(line);
    if (!(words >> name >> ip)) {
      tail = text.substr(static_cast<std::size_t>(lineStart));
      break;
    }
    table[name] = ip;
  }
  return table;
}

}  // namespace

bool cBridgeServer::NameIP(const char* name, const char* ip) {
  if (!OneWord(name) || !OneWord(ip) || !IPTableFits(name, ip)) return false;
  m_mapIP[name] = ip;
  m_changedIP.insert(name);
  return true;
}

bool cBridgeServer::IPTableFits(const std::string& name, const std::string& ip) const {
  // SaveIP writes "name ip\n" a line.
  std::size_t bytes = name.size() + ip.size() + 2;
  for (const auto& [known, address] : m_mapIP)
    if (known != name) bytes += known.size() + address.size() + 2;
  return bytes <= platform::kSettingsFileBytes;
}

bool cBridgeServer::SetNameIP(const char* name, const char* ip) {
  if (!NameIP(name, ip)) return false;
  const bool saved = SaveIP();
  if (!saved)
    std::cout << "cBridgeServer::SetNameIP " << name << " " << ip << ": the address table could "
              << "not be saved to " << m_strIPFile << ", the entry holds until the process ends"
              << std::endl;
  SetIP();
  return saved;
}

bool cBridgeServer::LoadIP(const char* file) {
  platform::SetColor(platform::kColorLightGreen);
  m_strIPFile = file != nullptr ? file : "";
  m_bListUnread = false;
  // Read without waiting: a pipe in its place held the start for ever.
  std::string text, why;
  const platform::eHomeFile got =
      platform::ReadHomeFile(m_strIPFile, platform::kSettingsFileBytes, text, &why);
  if (got != platform::eHomeFile::kRead) {
    if (got == platform::eHomeFile::kRefused) {
      m_bListUnread = true;
      ReportUnreadableFile(m_strIPFile, why + kAdmitsNone);
    } else {
      // Without the file every address is admitted: one copied under other letter case is named.
      ReportOtherCase(m_strIPFile);
    }
    platform::SetColor(kColorWhiteOnBlack);
    return false;
  }
  std::cout << "从文件 " << m_strIPFile << " 载入有效的IP地址" << std::endl;
  DecodeTextFile(text);
  std::istringstream in(text);
  std::string line;
  bool ok = true;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      EndAtEmptyLine(in, number);
      break;
    }
    std::istringstream words(line);
    std::string name, ip;
    if (!(words >> name >> ip)) {
      std::cout << "unvalid file at line " << number << std::endl;
      if (m_mapIP.empty()) {
        m_bListUnread = true;
        ReportUnreadableLine(m_strIPFile, number,
                             std::string("no entry (NAME ADDRESS)") + kAdmitsNone);
      }
      ok = false;
      break;
    }
    std::cout << "name " << name << " ip " << ip << std::endl;
    NameIP(name.c_str(), ip.c_str());
    m_changedIP.erase(name);  // read from the file, not set here
  }
  platform::SetColor(kColorWhiteOnBlack);
  return ok;
}

// An empty line ends the list. Entries after it are not loaded, which the operator is told; one
// before any entry would leave the list empty, admitting every address where it was written to
// narrow them, so the list then admits none.
void cBridgeServer::EndAtEmptyLine(std::istream& rest, int number) {
  std::ostringstream after;
  after << rest.rdbuf();
  if (after.str().find_first_not_of(" \t\r\n\v\f") == std::string::npos) return;
  if (m_mapIP.empty()) m_bListUnread = true;
  ReportUnreadableLine(m_strIPFile, number,
                       std::string("an empty line ends the list: the lines from here on are not "
                                   "loaded") +
                           (m_mapIP.empty() ? kAdmitsNone : ""));
}

std::vector<std::string> cBridgeServer::AdmittedIPs() const {
  std::vector<std::string> ips;
  ips.reserve(m_mapIP.size());
  for (const auto& [name, ip] : m_mapIP) ips.push_back(ip);
  // A word that is no address: the server's list then admits nobody.
  if (ips.empty() && m_bListUnread) ips.emplace_back("-");
  return ips;
}

// Written beside the file and renamed over it: a save that fails (a full disk) leaves the file
// as it was, never cut short, which would narrow or lift the list at the next start. The lines
// from an empty line or one that is no entry on stay after the table as they were (a load reads
// up to there): dropped, what the operator kept there was lost at the first Set.
bool cBridgeServer::SaveIP() {
  const platform::cFolderLock lock(m_strIPFile);
  std::string saved, tail;
  if (lock.Held() && platform::ReadHomeFile(m_strIPFile, platform::kSettingsFileBytes, saved) ==
                         platform::eHomeFile::kRead)
    for (auto& [name, ip] : SavedIPs(saved, tail))
      if (m_changedIP.count(name) == 0) m_mapIP[name] = std::move(ip);
  std::ostringstream text;
  if (!m_mapIP.empty() && BeginsLikeAMark(m_mapIP.begin()->first)) text << kByteOrderMark;
  for (const auto& [name, ip] : m_mapIP) text << name << " " << ip << "\n";
  text << tail;
  if (!tail.empty() && tail.back() != '\n') text << '\n';
  if (!lock.Held() || text.str().size() > platform::kSettingsFileBytes ||
      !platform::WriteFileAtomically(m_strIPFile, text.str()))
    return false;
  m_changedIP.clear();
  return true;
}

void cBridgeServer::SetIP() {
  if (m_pNetServer != nullptr) m_pNetServer->SetIP(AdmittedIPs());
}

void cBridgeServer::TraceIP(std::ostream& os) {
  os << "cBridgeServer::TraceIP";
  for (const auto& [name, ip] : m_mapIP) os << "\t" << name << " " << ip << "\n";
}

void cBridgeServer::OnConnect(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  m_kicked.erase(id);
  m_greetedAhead.erase(id);
  m_linkSerials[id] = ++m_nLastSerial;
  if (m_pNetServer != nullptr) {
    cOriginDesk::Instance().Forget(m_pNetServer->GetLink(id));
    cOriginDesk::Instance().AwaitGuest(m_pNetServer->GetLink(id), m_pNetServer);
  }
  OnConnectBridge(id);
  // A link whose account starts logged in (no login needed) is no guest of the server.
  iAccount* account = m_pAMServer != nullptr ? m_pAMServer->GetAccount(id) : nullptr;
  if (account != nullptr && account->IsLogin()) MarkLogined(id);
}

uint64_t cBridgeServer::GetLinkSerial(unsigned int id) const {
  auto it = m_linkSerials.find(id);
  return it != m_linkSerials.end() ? it->second : 0;
}

// A login a replay made leaves the link a guest of its server: its peer did not log in (the
// login deadline and the guests' limits still hold, and the replay does not take the link for
// its peer's).
void cBridgeServer::OnLogined(unsigned int id, int result) {
  TESSEL_ASSERT_WORKER();
  iAccount* account = m_pAMServer != nullptr ? m_pAMServer->GetAccount(id) : nullptr;
  if (result != 0 && (account == nullptr || !account->IsReplayLogin())) MarkLogined(id);
  OnLoginedBridge(id, result);
}

void cBridgeServer::MarkLogined(unsigned int id) {
  iServerLink* link = m_pNetServer != nullptr && id != 0 ? m_pNetServer->GetLink(id) : nullptr;
  if (link == nullptr) return;
  link->SetLogined();
  if (m_greetedAhead.erase(id) == 0) cOriginDesk::Instance().Greet(*this, link, m_pNetServer);
}

void cBridgeServer::GreetAhead(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  iServerLink* link = m_pNetServer != nullptr && id != 0 ? m_pNetServer->GetLink(id) : nullptr;
  if (link == nullptr) return;
  cOriginDesk::Instance().Greet(*this, link, m_pNetServer);
  m_greetedAhead.insert(id);
}

// The link object goes only when every listener agreed; an id the server no longer knows has
// nothing to release.
bool cBridgeServer::OnDisconnect(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  m_strangerLogged.erase(id);
  m_kicked.erase(id);
  m_greetedAhead.erase(id);
  m_linkSerials.erase(id);
  if (m_pNetServer != nullptr) cOriginDesk::Instance().Forget(m_pNetServer->GetLink(id));
  if (!OnDisconnectBridge(id)) return false;
  iServerLink* link = m_pNetServer != nullptr ? m_pNetServer->GetLink(id) : nullptr;
  if (m_bReleaseOnDisconnect && link != nullptr) link->ReleaseLink();
  return true;
}

HandleChatExceptionEnum cBridgeServer::CheckCmd(iSend* send, unsigned int cmd) {
  TESSEL_ASSERT_WORKER();
  HandleChatExceptionEnum result = cBridge::CheckCmd(send, cmd);
  if (result != ChatException_OK && result != ChatException_NeedLogin) return result;
  if (cmd >= kFirstFreeGroup && result != ChatException_NeedLogin) return ChatException_OK;
  const unsigned id = send != nullptr ? send->GetID() : 0;
  iAccount* account = m_pAMServer != nullptr ? m_pAMServer->GetAccount(id) : nullptr;
  if (account == nullptr) {
    if (!MayLog(send)) return ChatException_InternalWrong;
    platform::ColorSection red(platform::kColorLightRed);
    TESSEL_LOG(tessel_fetalerror(), "Account id: " << id << " not find!"
                                                   << "\n");
    return ChatException_InternalWrong;
  }
  if (cmd == kLoginGroup) return ChatException_OK;
  if (IsStranger(send)) return ChatException_NotLogin;
  if (account->GetLevel() == 0) return ChatException_NoPri;
  return ChatException_OK;
}

bool cBridgeServer::IsTrustedLink(iSend* send) {
  iAccount* account = m_pAMServer != nullptr ? m_pAMServer->GetAccount(send->GetID()) : nullptr;
  return account != nullptr && !IsStranger(send) && account->GetLevel() > 0;
}

HandleChatExceptionEnum cBridgeServer::RunCmdBridge(iSend* send, unsigned int cmd,
                                                    const char* text) {
  if (cmd == kLoginGroup && send != nullptr) {
    HandleChatExceptionEnum result = CheckCmd(send, cmd);
    if (result != ChatException_OK) return result;
    if (!IsTrustedLink(send) && !IsPeerLoginCall(text)) {
      RefuseLoginGroupText(send, text);
      return ChatException_NoPri;
    }
  }
  return cBridge::RunCmdBridge(send, cmd, text);
}

// The refused text is not shown: it may hold a password.
void cBridgeServer::RefuseLoginGroupText(iSend* send, const char* text) {
  if (!MayLog(send)) return;
  platform::ColorSection red(platform::kColorLightRed);
  GetExceptionLog().TimeStamp() << "cBridgeServer::RunCmdBridge refused link #" << send->GetID()
                                << " ip " << send->GetIP() << " cmd " << kLoginGroup << " size "
                                << (text != nullptr ? std::char_traits<char>::length(text) : 0)
                                << ": not logged in, only Login or Logout may run"
                                << "\n";
  GetExceptionLog().flush();
}

iAccount* cBridgeServer::LinkAccount(iSend* link) {
  return m_pAMServer != nullptr && link != nullptr ? m_pAMServer->GetAccount(link->GetID())
                                                   : nullptr;
}

// The link's end is handled only after the records it queued before it: without the mark those
// ran with the kicked account's rights.
bool cBridgeServer::Kick(unsigned int id) {
  TESSEL_ASSERT_WORKER();
  iServerLink* link = m_pNetServer != nullptr && id != 0 ? m_pNetServer->GetLink(id) : nullptr;
  if (link == nullptr) return false;
  m_kicked.insert(id);
  link->Disconnect(kReasonBanned);
  return true;
}

HandleChatExceptionEnum cBridgeServer::RefuseKicked(const stBindMsg* msg) {
  const unsigned id = msg->send->GetID();
  if (m_strangerLogged.insert(id).second && MayNoteStranger()) {
    platform::ColorSection red(platform::kColorLightRed);
    GetExceptionLog().TimeStamp() << "cBridgeServer::RefuseStranger link #" << id << " ip "
                                  << msg->send->GetIP()
                                  << " kicked: its records not handled yet are refused"
                                  << "\n";
    GetExceptionLog().flush();
  }
  return ChatException_NotLogin;
}

HandleChatExceptionEnum cBridgeServer::RefuseStranger(const stBindMsg* msg) {
  TESSEL_ASSERT_WORKER();
  if (msg->send != nullptr && m_kicked.count(msg->send->GetID()) != 0) return RefuseKicked(msg);
  if (!IsStranger(*msg)) return ChatException_OK;
  const bool header = msg->msg != nullptr && msg->size >= sizeof(stMsg);
  cMsgBind* binding = header ? GetMsg().GetBind(msg->msg) : nullptr;
  if (binding != nullptr && !IsBuiltInBind(binding)) return ChatException_OK;
  if (binding == &stMsg_CmdBind::Instance()) {
    const auto group = static_cast<unsigned>(cCmdRecordView(msg->msg, msg->size).Group());
    if (group == kLoginGroup || group >= kFirstFreeGroup) return ChatException_OK;
  }
  ++m_nStrangerRefused;
  if (m_strangerLogged.insert(msg->send->GetID()).second && MayNoteStranger()) {
    LogStranger(msg);
    AuditStranger(msg);
  }
  return ChatException_NotLogin;
}

void cBridgeServer::AuditStranger(const stBindMsg* msg) {
  const bool header = msg->msg != nullptr && msg->size >= sizeof(stMsg);
  if (header && msg->msg->type == stMsg_Cmd::s_nType) {
    const cCmdRecordView view(msg->msg, msg->size);
    AuditRefusedStranger(msg->send, std::to_string(view.Group()), view.Text());
  } else {
    AuditRefusedStranger(msg->send, "-", "");
  }
}

// One line per link: a stranger cannot fill the log, and what it sent is shown only as a short
// sample with its control bytes escaped.
void cBridgeServer::LogStranger(const stBindMsg* msg) {
  const bool header = msg->msg != nullptr && msg->size >= sizeof(stMsg);
  const int type = header ? msg->msg->type : -1;
  std::string sample;
  if (type == stMsg_Cmd::s_nType) {
    const cCmdRecordView view(msg->msg, msg->size);
    sample = "cmd " + std::to_string(view.Group()) + " " + EscapeControls(LogCmdText(view.Text()));
  } else if (header) {
    const char* body = reinterpret_cast<const char*>(msg->msg) + sizeof(stMsg);
    sample =
        EscapeControls({body, std::min<size_t>(msg->size - sizeof(stMsg), kStrangerSampleBytes)});
  }
  platform::ColorSection red(platform::kColorLightRed);
  GetExceptionLog().TimeStamp() << "cBridgeServer::RefuseStranger link #" << msg->send->GetID()
                                << " ip " << msg->send->GetIP() << " not logged in: refused msg "
                                << type << " size " << msg->size << " [" << sample << "]"
                                << "; its further records before a login are refused unlogged"
                                << "\n";
  GetExceptionLog().flush();
}

void cBridgeServer::ClearNet() {
  TESSEL_LOG(tessel_info(), "cBridgeServer::ClearNet"
                                << " " << GetNameStr() << " netserver... ");
  if (m_pNetServer != nullptr) {
    m_pNetServer->Stop();
    m_pNetServer->Release();
    m_pNetServer = nullptr;
  }
  TESSEL_LOG(tessel_info(), "cBridgeServer::ClearNet"
                                << " " << GetNameStr() << " clear m_pNetHelp... ");
  if (m_pNetHelp != nullptr) m_pNetHelp->Clear();
}

iAccount* ServingAccount() {
  auto* server = get_gout().GetBridgeAs<cBridgeServer>();
  if (server == nullptr || get_gout().GetLink() == nullptr) return nullptr;
  iAccountManagerServer* accounts = server->GetAMServer();
  return accounts != nullptr ? accounts->GetAccount(get_gout().GetLinkID()) : nullptr;
}
