#include "tessel_cli/cli_link.h"

#include <chrono>
#include <cstring>
#include <sstream>
#include <string_view>

#include "platform/line_editor.h"
#include "tessel/console/cmd_line.h"
#include "tessel/console/groups/cmd_login.h"
#include "tessel/console/groups/cmd_remote.h"
#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/path_router.h"
#include "tessel/console/remote_path.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/chat_exception.h"
#include "tessel/msg/msg_bindings.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/msg_registry.h"

namespace {

constexpr int kLevels = 17;
constexpr int kLoginLevel = cCmdLogin::kLevel;
constexpr int kRouteLevel = 7;
// After a refused login the server's reason follows the answer; this long it is waited for.
constexpr int kReasonWaitMs = 1000;

// The one link of the program, told by the Lua functions of its groups.
cCliLink* g_link = nullptr;

void PrintOutput(const char* text) {
  if (g_link != nullptr) g_link->OnOutput(text);
}

void GotMarked(const char* mark) {
  if (g_link != nullptr) g_link->OnMarked(std::strtoll(mark, nullptr, 10));
}

// A group that only takes answers: Output (and, in the login group, the login answers).
class cAnswerGroup : public cCmd {
 public:
  ~cAnswerGroup() override { Clear(); }
  void bind_cln(lua_State*) override {}
  const char* GetName() override { return "cCmd_Answer"; }
};

// Notes the refusals for the waiting line, then logs them as every endpoint does.
class cRefusalBind : public cMsgBind {
 public:
  explicit cRefusalBind(cCliLink* link)
      : cMsgBind("异常消息", sizeof(stMsg_Exception), 0), m_link(link) {}
  HandleChatExceptionEnum OnMsg(iBridge* bridge, stBindMsg* msg) override {
    m_link->OnRefused(reinterpret_cast<const stMsg_Exception*>(msg->msg)->code);
    return stMsg_ExceptionBind::Instance().OnMsg(bridge, msg);
  }

 private:
  cCliLink* m_link;
};

bool IsAccessRefusal(int code) {
  return code == ChatException_NotLogin || code == ChatException_NoPri;
}

}  // namespace

// The host as the library sees it in this program: one client link, which is the default
// route, named on the routes by the account it logs in with.
class cCliLink::cHost : public iHost, public iRemotePathListener {
 public:
  explicit cHost(cCliLink* link) : m_link(link) {}
  std::vector<cEasyClient*> Clients() const override { return {m_link}; }
  cEasyClient* GetTesselClientOne() override { return m_link; }
  cBridgeClient* GetBridgeClient(const char* name) override {
    return std::strcmp(name, m_link->GetName()) == 0 ? m_link->GetBridgeClient() : nullptr;
  }
  cBridge* FindBridge(const char* name) override { return GetBridgeClient(name); }
  const char* GetAccount() override { return m_link->m_options.account.c_str(); }
  int IsAccount(const char* name) override { return m_link->m_options.account == name ? 1 : 0; }
  void SetAccountFather(const char* name) override { m_link->SetServerName(name); }
  cBridgeClient* GetDefaultRoute() const override { return m_link->GetBridgeClient(); }
  void OnFindRemotePath(const char* dest) override { m_link->OnRouteFound(dest); }

 private:
  cCliLink* m_link;
};

cCliLink::cCliLink(const stCliOptions& options, std::FILE* out)
    : m_options(options), m_out(out), m_host(std::make_unique<cHost>(this)), m_names(kLevels) {
  g_link = this;
}

cCliLink::~cCliLink() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bStop = true;
  }
  m_changed.notify_all();
  if (m_worker.joinable()) m_worker.join();
  ClearNet();
  cRemotePath::Instance().SetListener(nullptr);
  SetHost(nullptr);
  g_link = nullptr;
}

void cCliLink::GetInfo(stClientInfo& info) {
  info.serverip = m_options.host;
  info.port = m_options.port;
  info.account = m_options.account;
  info.password = m_options.password;
  info.autoconnect = true;
  info.autoreconnect = false;
  info.autologin = true;
  // A TLS link; the server's certificate is checked against --ca when given, else against
  // config/tls/ca.crt of the state folder. The network client is made after this call.
  if (m_options.tls) info.net.word[stNetParam::NetParam_Encode] = 1;
  if (m_options.tls && !m_options.ca.empty())
    Net_SetClientTls(m_options.ca.c_str(), nullptr, nullptr);
}

bool cCliLink::CreateTessel() {
  if (!cEasyClient::CreateTessel()) return false;
  cBridgeClient& bridge = m_BridgeClient;
  bridge.BindiConnectDisconnect(this);
  // Only the groups of this program answer the server: nothing the server sends runs in the
  // console groups of a process.
  bridge.SetUseConsoleCmd(false);
  for (int level = 0; level < kLevels; ++level) {
    cCmd* group = nullptr;
    if (level == kLoginLevel) {
      group = &cCmdLogin::Instance();
    } else if (level == kRouteLevel) {
      group = &cCmdRemote::Instance();
    } else {
      m_groups.push_back(std::make_unique<cAnswerGroup>());
      group = m_groups.back().get();
    }
    bridge.AddCmdOutput(static_cast<unsigned>(level), group, &PrintOutput);
  }
  bridge.RegisterOutput(kLoginLevel, "Marked", &GotMarked);
  m_refusalBind = std::make_unique<cRefusalBind>(this);
  m_pMsg->Rebind(stMsg_Exception::s_nType, m_refusalBind.get());
  return true;
}

void cCliLink::OnOutput(const char* text) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_bCapture) {
    m_captured += text;
    return;
  }
  // A server's answer is text: escape sequences and control bytes in it never reach the
  // operator's terminal, where they could move the cursor, retitle the window or hide lines.
  std::string_view rest(text);
  do {
    const size_t end = rest.find('\n');
    const std::string line = platform::cLineEditor::Clean(rest.substr(0, end));
    std::fwrite(line.data(), 1, line.size(), m_out);
    std::fputc('\n', m_out);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  } while (!rest.empty());
  std::fflush(m_out);
}

void cCliLink::OnMarked(long long mark) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (mark > m_nMarked) m_nMarked = mark;
  m_changed.notify_all();
}

void cCliLink::OnRefused(int code) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_refusals.push_back(code);
  m_changed.notify_all();
}

void cCliLink::OnRouteFound(const std::string& dest) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (dest == m_options.to) m_bRouteFound = true;
  m_changed.notify_all();
}

void cCliLink::SetServerName(const std::string& name) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_serverName = name;
}

void cCliLink::OnConnect(unsigned int) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_bConnected = true;
  m_changed.notify_all();
}

bool cCliLink::OnDisconnect(unsigned int) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_bDisconnected = true;
  m_changed.notify_all();
  return true;
}

void cCliLink::OnLogined(unsigned int, int result) {
  m_BridgeClient.SetLogin(result != 0);
  std::lock_guard<std::mutex> hold(m_lock);
  m_nLogined = result != 0 ? 1 : 0;
  m_changed.notify_all();
}

// The endpoint's worker: the jobs of the main thread, then the received messages and the
// link's periodic work, every 10 ms or at once when a job comes.
void cCliLink::Work() {
  MarkWorkerThread(true);
  auto last = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> hold(m_lock);
  while (!m_bStop) {
    std::deque<std::function<void()>> jobs;
    jobs.swap(m_jobs);
    hold.unlock();
    for (auto& job : jobs) job();
    HandleMsg();
    const auto now = std::chrono::steady_clock::now();
    RunEasy(static_cast<unsigned long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count()));
    last = now;
    hold.lock();
    m_changed.wait_for(hold, std::chrono::milliseconds(10),
                       [this] { return m_bStop || !m_jobs.empty(); });
  }
  hold.unlock();
  MarkWorkerThread(false);
}

void cCliLink::Post(std::function<void()> job) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_jobs.push_back(std::move(job));
  m_changed.notify_all();
}

bool cCliLink::WaitUntil(const std::function<bool()>& done, int ms) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_changed.wait_for(hold, std::chrono::milliseconds(ms), done);
}

cCliLink::eExit cCliLink::Open(std::string& reason) {
  InitSocket();
  SetHost(m_host.get());
  cRemotePath::Instance().SetListener(m_host.get());
  const std::string address = m_options.host + ":" + std::to_string(m_options.port);
  // The login's own messages (the server's reason of a refusal) are kept, not printed.
  m_bCapture = true;
  if (!Start()) {
    reason = "cannot set up a client link to " + address;
    return kUnreachable;
  }
  m_worker = std::thread([this] { Work(); });
  const int waitMs = m_options.waitSeconds * 1000;
  WaitUntil([this] { return m_bConnected || m_bDisconnected; }, waitMs);
  if (!WaitUntil([this] { return m_bConnected && !m_bDisconnected; }, 0)) {
    reason = "cannot reach " + address;
    return kUnreachable;
  }
  if (!WaitUntil([this] { return m_nLogined >= 0 || m_bDisconnected; }, waitMs) ||
      m_nLogined != 1) {
    WaitUntil([this] { return !m_captured.empty(); }, kReasonWaitMs);
    std::lock_guard<std::mutex> hold(m_lock);
    std::string why = m_captured.substr(0, m_captured.find('\n'));
    reason = "login refused for account '" + m_options.account + "' on " +
             (m_serverName.empty() ? address : m_serverName) + (why.empty() ? "" : ": " + why);
    return kRefused;
  }
  // The server's login message follows its answer; an end mark sees it through.
  std::string ignored;
  Send(kLoginLevel, "", ignored);
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bCapture = false;
    m_captured.clear();
  }
  if (!m_options.to.empty()) {
    const std::string dest = m_options.to;
    Post([dest] { FindPathOnRoute(dest.c_str()); });
    if (!WaitUntil([this] { return m_bRouteFound || m_bDisconnected; }, waitMs) ||
        !WaitUntil([this] { return m_bRouteFound; }, 0)) {
      std::lock_guard<std::mutex> hold(m_lock);
      reason = "no route to " + dest + " from " + m_serverName;
      return kNotAnswered;
    }
    m_bRouted = true;
  }
  return kAllAnswered;
}

cCliLink::eWait cCliLink::Send(int level, const std::string& text, std::string& reason) {
  long long mark = 0;
  size_t refusalsBefore = 0;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    mark = ++m_nNextMark;
    refusalsBefore = m_refusals.size();
  }
  const std::string to = m_bRouted ? m_options.to : "";
  const std::string markText = "Mark(" + std::to_string(mark) + ")";
  Post([this, to, level, text, markText] {
    if (to.empty()) {
      if (!text.empty()) m_BridgeClient.SendCmd(level, text);
      m_BridgeClient.SendCmd(kLoginLevel, markText);
    } else {
      if (!text.empty()) SendRemoteCmd(to.c_str(), level, text.c_str());
      SendRemoteCmd(to.c_str(), kLoginLevel, markText.c_str());
    }
  });
  // A refusal of the account's rights refuses the mark as well: no mark will come.
  auto refusedAccess = [&] {
    for (size_t i = refusalsBefore; i < m_refusals.size(); ++i)
      if (IsAccessRefusal(m_refusals[i])) return true;
    return false;
  };
  const bool ended =
      WaitUntil([&] { return m_nMarked >= mark || m_bDisconnected || refusedAccess(); },
                m_options.waitSeconds * 1000);
  // The mark's own refusal follows the line's; it is waited for so that it is not taken for a
  // refusal of the next line.
  if (WaitUntil(refusedAccess, 0))
    WaitUntil([&] { return m_refusals.size() >= refusalsBefore + 2; }, kReasonWaitMs);
  std::lock_guard<std::mutex> hold(m_lock);
  if (refusalsBefore < m_refusals.size()) {
    const int code = m_refusals[refusalsBefore];
    reason = "refused by " + m_serverName + ": " + ChatExceptionText(code);
    return IsAccessRefusal(code) ? eWait::kRefused : eWait::kTimeOut;
  }
  if (m_bDisconnected) {
    reason = "the link to " + m_serverName + " was closed";
    return eWait::kClosed;
  }
  if (!ended) {
    reason = "no answer within " + std::to_string(m_options.waitSeconds) + " s";
    return eWait::kTimeOut;
  }
  return eWait::kDone;
}

int cCliLink::LevelOf(const std::string& name) {
  if (name.find_first_not_of("0123456789") == std::string::npos)
    return name.size() <= 3 ? std::stoi(name) : -1;
  for (const stStandardGroup& group : StandardGroups())
    if (group.cmd->FindName(name.c_str())) return static_cast<int>(group.level);
  return -1;
}

cCliLink::eExit cCliLink::RunLine(const std::string& input, std::string& reason) {
  const size_t first = input.find_first_not_of(' ');
  const std::string line = first == std::string::npos ? "" : input.substr(first);
  if (line.empty()) return kAllAnswered;
  int level = m_level;
  std::string statement;
  if (line.size() == 1) {
    if (line == "n" || line == "p") m_level = (m_level + (line == "n" ? 1 : kLevels - 1)) % kLevels;
    if (line != "?") return kAllAnswered;
    statement = "Help()";
  } else {
    const stCmdLine parts = SplitCmdLine(line);
    if (!parts.type.empty()) {
      reason = "the lines go to one process; //name switches are for a process's own console";
      return kNotAnswered;
    }
    if (!parts.name.empty()) {
      level = LevelOf(parts.name);
      if (level < 0) {
        reason = "no group " + parts.name;
        return kNotAnswered;
      }
      if (parts.statement.empty()) {
        m_level = level;
        return kAllAnswered;
      }
    }
    statement = parts.statement;
  }
  const eWait result = Send(level, statement, reason);
  if (result == eWait::kDone) return kAllAnswered;
  if (result == eWait::kTimeOut) return kNotAnswered;
  return result == eWait::kClosed ? kUnreachable : kRefused;
}

std::string cCliLink::Prompt() const {
  std::lock_guard<std::mutex> hold(m_lock);
  const std::string& name = m_options.to.empty() ? m_serverName : m_options.to;
  return name + "/" + std::to_string(m_level) + "!> ";
}

std::vector<std::string> cCliLink::Names() {
  std::vector<std::string>& names = m_names[static_cast<size_t>(m_level)];
  if (!names.empty()) return names;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bCapture = true;
    m_captured.clear();
  }
  std::string reason;
  const bool answered = Send(m_level, "Functions()", reason) == eWait::kDone;
  std::string text;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bCapture = false;
    text.swap(m_captured);
  }
  if (!answered) return names;
  std::istringstream words(text);
  for (std::string word; words >> word;) names.push_back(word);
  return names;
}
