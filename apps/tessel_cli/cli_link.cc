#include "tessel_cli/cli_link.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <random>
#include <sstream>

#include "platform/terminal_text.h"
#include "tessel/console/cmd_line.h"
#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/path_router.h"
#include "tessel/console/remote_path.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd.h"
#include "tessel/core/route_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/callback_client.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/chat_exception.h"
#include "tessel/msg/msg_bindings.h"
#include "tessel/msg/msg_records.h"
#include "tessel/msg/msg_registry.h"
#include "tessel_cli/cli_probe.h"

namespace {

constexpr int kLevels = 17;
constexpr int kLoginLevel = 2;
constexpr int kNetLevel = 5;
// After a refused login the server's reason follows the answer; this long it is waited for.
constexpr int kReasonWaitMs = 1000;
// What a routed line needs besides its text: relays append their hop mark to the call.
constexpr size_t kHopMarkBytes = 16;
// Bounds of what a server's answers may make the client keep or show.
constexpr size_t kNameBytes = 64;
constexpr size_t kReasonBytes = 200;
constexpr size_t kMaxNames = 1000;
constexpr size_t kCaptureBytes = 1 << 20;
constexpr long long kDropNotes = 20;
// How long a group that left its names unanswered is not asked again for a completion: each
// question waits up to --wait, and the operator may press Tab again and again.
constexpr std::chrono::seconds kSilentMemory{60};
// How long a received record waits for room in the queue the worker prints from: longer than
// a server waits for a reader before it cuts an answer short, so that a slow terminal gets the
// server's line saying so on a link that stays.
constexpr int kRoomWaitMs = 10000;

bool IsAccessRefusal(int code) {
  return code == ChatException_NotLogin || code == ChatException_NoPri;
}

bool IsIdentifier(const std::string& word) {
  if (word.empty() || word.size() > kNameBytes || std::isdigit(static_cast<unsigned char>(word[0])))
    return false;
  for (const char c : word)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

// A name the server gave, in one line: it is shown in the prompt and inside reasons.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\t') c = '?';
  return text;
}

// The first mark of a run: a random number from 2^40 to 2^41, which Lua and the server's
// Mark keep exactly.
long long MarkStart() {
  std::random_device random;
  const unsigned long long high = random(), low = random();
  return static_cast<long long>((1ULL << 40) | (((high << 32) | low) & ((1ULL << 40) - 1)));
}

std::string Seconds(int seconds) {
  return std::to_string(seconds) + " s";
}

}  // namespace

// The host as the library sees it in this program: one client link, which is the default
// route, named on the routes by the account it logs in with.
class cCliLink::cHost : public iHost {
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
  cBridgeClient* GetDefaultRoute() const override { return m_link->GetBridgeClient(); }
  // A record came: the worker takes it at once, so that a long answer does not fill the
  // receiver's queue (which cuts the link) while the worker waits out its 10 ms.
  void WakeWorker() override { m_link->Wake(); }

 private:
  cCliLink* m_link;
};

// The server's command records: read as answers, never run.
class cCliLink::cAnswerBind : public cMsgBind {
 public:
  explicit cAnswerBind(cCliLink* link) : cMsgBind("命令消息", 0, 0), m_link(link) {}
  HandleChatExceptionEnum OnMsg(iBridge*, stBindMsg* msg) override {
    const cCmdRecordView view(msg->msg, msg->size);
    m_link->OnCmdRecord(view.Group(), view.Text());
    return ChatException_OK;
  }

 private:
  cCliLink* m_link;
};

// Notes the refusals for the waiting line, then logs them as every endpoint does.
class cCliLink::cRefusalBind : public cMsgBind {
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

// The other record types a server may send (error replies, output text, window messages):
// nothing the client asked for, so they are dropped and counted.
class cCliLink::cDropBind : public cMsgBind {
 public:
  explicit cDropBind(cCliLink* link) : cMsgBind("dropped", 0, 0), m_link(link) {}
  HandleChatExceptionEnum OnMsg(iBridge*, stBindMsg* msg) override {
    m_link->OnDropped("a record of type " + std::to_string(msg->msg->type));
    return ChatException_OK;
  }

 private:
  cCliLink* m_link;
};

cCliLink::cCliLink(const stCliOptions& options, std::FILE* out, std::FILE* notes)
    : m_options(options),
      m_address(options.host + ":" + std::to_string(options.port)),
      m_notes(notes),
      m_writer(out),
      m_host(std::make_unique<cHost>(this)),
      m_names(kLevels),
      m_silentUntil(kLevels),
      m_nMarked(MarkStart()),
      m_nNextMark(m_nMarked) {}

cCliLink::~cCliLink() {
  // What is still queued gets the line's wait to be written, unless the reader took nothing
  // already; then the worker no longer waits for room.
  DrainAnswers();
  m_writer.GiveUp();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bStop = true;
  }
  m_changed.notify_all();
  if (m_worker.joinable()) m_worker.join();
  // Nothing is printed any more: a record waiting for room is refused at once.
  if (cNetHelp* help = m_BridgeClient.GetNetHelp(); help != nullptr) help->SetRoomWait(0);
  ClearNet();
  SetHost(nullptr);
}

std::string cCliLink::Shown(std::string_view text, size_t most, size_t whole) {
  std::string shown = platform::TerminalText(text);
  if (whole == 0) whole = text.size();
  if (shown.size() <= most && whole <= text.size()) return shown;
  size_t cut = std::min(most, shown.size());
  while (cut > 0 && cut < shown.size() && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80)
    --cut;
  shown.resize(cut);
  return shown + "...(" + std::to_string(whole) + " bytes)";
}

void cCliLink::GetInfo(stClientInfo& info) {
  info.serverip = m_options.host;
  info.port = m_options.port;
  info.account = m_options.account;
  info.password = m_options.password;
  info.autoconnect = true;
  info.autoreconnect = false;
  info.autologin = true;
  // A TLS link checks the server's certificate against the CA and the name the operator gave
  // (the host, or --server-name); the network client is made after this call.
  if (!m_options.tls) return;
  info.net.word[stNetParam::NetParam_Encode] = 1;
  Net_SetClientTls(m_options.ca.c_str(), m_options.cert.c_str(), m_options.key.c_str());
  Net_SetClientTlsServerName(m_options.ServerName().c_str());
}

bool cCliLink::CreateTessel() {
  if (!cEasyClient::CreateTessel()) return false;
  cBridgeClient& bridge = m_BridgeClient;
  bridge.BindiConnectDisconnect(this);
  // The endpoint has no command group, and nothing falls back to a console's: no Lua state of
  // this program is reachable from a received record.
  bridge.SetUseConsoleCmd(false);
  // A long answer may come faster than it is printed: the link stops reading meanwhile (the
  // server holds the rest back) instead of being cut as a flood.
  if (cNetHelp* help = bridge.GetNetHelp(); help != nullptr) help->SetRoomWait(kRoomWaitMs);
  m_answerBind = std::make_unique<cAnswerBind>(this);
  m_refusalBind = std::make_unique<cRefusalBind>(this);
  m_dropBind = std::make_unique<cDropBind>(this);
  m_pMsg->Rebind(stMsg_Cmd::s_nType, m_answerBind.get());
  m_pMsg->Rebind(stMsg_Exception::s_nType, m_refusalBind.get());
  for (const int type : {stMsg_Error::s_nType, stMsg_Out::s_nType, stMsg_Windows::s_nType})
    m_pMsg->Rebind(type, m_dropBind.get());
  return true;
}

void cCliLink::OnCmdRecord(int group, std::string_view text) {
  const stAnswer answer = ReadAnswer(group, text, m_options.account);
  if (answer.kind == stAnswer::eKind::kNone) {
    OnDropped("group " + std::to_string(group) + ": " + Shown(text, 80));
    return;
  }
  // Text to show waits for room to be queued in, with no lock held: the link stops reading
  // meanwhile, and the server holds the rest back.
  if (answer.kind == stAnswer::eKind::kOutput) m_writer.WaitForRoom();
  OnAnswer(answer);
}

void cCliLink::OnAnswer(const stAnswer& answer) {
  using eKind = stAnswer::eKind;
  std::unique_lock<std::mutex> hold(m_lock);
  switch (answer.kind) {
    case eKind::kOutput:
      if (!AnswersLine(answer)) {
        // Text another account had sent to this link, or an answer later than its line's wait:
        // shown marked, it never passes for the answer of the line run, nor fails it.
        if (m_bCapture) break;
        PrintMarked(answer.text);
        return;
      }
      if (m_lineFailure.empty()) m_lineFailure = Shown(LineFailureOf(answer.text), kReasonBytes);
      if (!m_bCapture) {
        Print(answer.text);
      } else if (m_captured.size() < kCaptureBytes) {
        m_captured += answer.text;
      }
      return;
    case eKind::kMarked:
      // Only the marks this client sent: an early or made-up mark would end a line's wait
      // before its answer. They count from a random start, which another account that sends
      // text to this link cannot guess.
      if (answer.number > m_nMarked && answer.number <= m_nNextMark) m_nMarked = answer.number;
      m_changed.notify_all();
      return;
    case eKind::kLogined:
      if (m_nLogined >= 0) break;
      m_serverName = OneLine(Shown(answer.text, kNameBytes));
      hold.unlock();
      m_BridgeClient.OnLogined(0, answer.number != 0 ? 1 : 0);
      return;
    case eKind::kRouteFound:
    case eKind::kRouteNotFound:
      if (answer.text != m_options.to || m_bRouted) break;
      if (answer.kind == eKind::kRouteNotFound) {
        m_bRouteMissing = true;
      } else if (cRemotePath::Instance().SetPath(answer.text, answer.route)) {
        m_bRouteFound = true;
      }
      m_changed.notify_all();
      return;
    case eKind::kNone:
      break;
  }
  hold.unlock();
  OnDropped("an answer not asked for");
}

// Only what the waiting line needs is kept: a server may send refusals without end.
void cCliLink::OnRefused(int code) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_nRefusals++ == 0) m_nFirstRefusal = code;
  m_bAccessRefused = m_bAccessRefused || IsAccessRefusal(code);
  m_changed.notify_all();
}

void cCliLink::OnDropped(const std::string& what) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (++m_nDropped <= kDropNotes && m_notes != nullptr) {
    std::fprintf(m_notes, "tessel_cli: dropped from the server: %s\n", what.c_str());
    std::fflush(m_notes);
  }
}

long long cCliLink::Dropped() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_nDropped;
}

void cCliLink::Print(std::string_view text) {
  m_carry += text;
  const size_t keep = platform::Utf8IncompleteTail(m_carry);
  const std::string shown =
      platform::TerminalText(std::string_view(m_carry).substr(0, m_carry.size() - keep));
  m_carry.erase(0, m_carry.size() - keep);
  if (shown.empty()) return;
  m_bOpenLine = shown.back() != '\n';
  m_writer.Put(shown);
}

bool cCliLink::AnswersLine(const stAnswer& answer) const {
  // Before a line is sent (the login's own message) the text is kept as it was.
  if (m_nWaitLevel < 0) return m_bCapture;
  return answer.group == m_nWaitLevel && answer.routed == m_bWaitRouted;
}

void cCliLink::PrintMarked(std::string_view text) {
  constexpr std::string_view kMark = "[not an answer] ";
  std::string marked(m_bOpenLine ? "\n" : "");
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
    marked.append(kMark).append(text.substr(at, end - at));
    at = end;
  }
  if (!marked.empty() && marked.back() != '\n') marked += '\n';
  const std::string carry = std::move(m_carry);
  m_carry.clear();
  Print(marked);
  m_carry = carry;
}

void cCliLink::EndAnswer() {
  std::string rest = platform::TerminalText(m_carry);
  m_carry.clear();
  if (m_bOpenLine || !rest.empty()) rest += '\n';
  m_bOpenLine = false;
  m_writer.Put(std::move(rest));
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
    const cCallbackClient* callback = m_BridgeClient.GetCallbackClient();
    hold.lock();
    if (callback != nullptr) m_nLinkState = callback->GetState();
    m_changed.wait_for(hold, std::chrono::milliseconds(10),
                       [this] { return m_bStop || !m_jobs.empty() || m_bWoken; });
    m_bWoken = false;
  }
  hold.unlock();
  MarkWorkerThread(false);
}

void cCliLink::Wake() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_bWoken = true;
  m_changed.notify_all();
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
  // The login's own messages (the server's reason of a refusal) are kept, not printed.
  m_bCapture = true;
  if (!Start() || GetNetClient() == nullptr) {
    reason = "cannot set up a client link to " + m_address;
    return m_options.tls ? kTlsFailed : kUnreachable;
  }
  m_worker = std::thread([this] { Work(); });
  const int waitMs = m_options.waitSeconds * 1000;
  WaitUntil([this] { return m_bConnected || m_bDisconnected; }, waitMs);
  if (!WaitUntil([this] { return m_bConnected && !m_bDisconnected; }, 0))
    return NotConnected(reason);
  if (!WaitUntil([this] { return m_nLogined >= 0 || m_bDisconnected; }, waitMs)) {
    reason = m_address + " accepted the connection but sent no login answer within " +
             Seconds(m_options.waitSeconds) + " (is it a Tessel server?)";
    return kUnreachable;
  }
  if (m_nLogined < 0) return ClosedBeforeLogin(reason);
  if (m_nLogined != 1) {
    WaitUntil([this] { return !m_captured.empty(); }, kReasonWaitMs);
    std::lock_guard<std::mutex> hold(m_lock);
    const std::string why = Shown(m_captured.substr(0, m_captured.find('\n')), kReasonBytes);
    reason = "login refused for account '" + m_options.account + "' on " + ServerLabel() +
             (why.empty() ? "" : ": " + why);
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
  if (m_options.to.empty()) return kAllAnswered;
  const std::string dest = m_options.to;
  Post([dest] { FindPathOnRoute(dest.c_str()); });
  WaitUntil([this] { return m_bRouteFound || m_bRouteMissing || m_bDisconnected; }, waitMs);
  std::lock_guard<std::mutex> hold(m_lock);
  // A link lost while the route was looked for leaves no server to run the lines on.
  if (!m_bRouteFound && m_bDisconnected) return Closed(reason);
  if (!m_bRouteFound) {
    reason = "no route to " + dest + " from " + ServerLabel() +
             (m_bRouteMissing ? "" : " within " + Seconds(m_options.waitSeconds));
    return kNotAnswered;
  }
  m_bRouted = true;
  return kAllAnswered;
}

// The link never came up: the connect failed, or the TLS hand-shake did; a probe of the server
// tells which, and why.
cCliLink::eExit cCliLink::NotConnected(std::string& reason) {
  const std::string within = " within " + Seconds(m_options.waitSeconds);
  if (!WaitUntil([this] { return m_bDisconnected; }, 0)) {
    // A plain server takes a TLS hello for the start of a long record and waits for the rest.
    const bool accepted =
        WaitUntil([this] { return m_nLinkState == cCallbackClient::State_WaitEncode; }, 0);
    if (m_options.tls && ProbePlain(m_options)) {
      reason = m_address + " does not speak TLS: leave out --tls";
      return kTlsFailed;
    }
    reason = accepted ? m_address + " accepted the connection but did not answer the TLS " +
                            "hand-shake" + within
                      : "cannot reach " + m_address + ": no answer" + within;
    return kUnreachable;
  }
  const stProbe probe = m_options.tls ? ProbeTls(m_options, true) : stProbe{};
  const int error = m_options.tls ? probe.connectError : ProbeConnect(m_options);
  // A TLS server closes a plain client's link at its first bytes, which may be before the link
  // counted as up here: the probe tells that case from a server that cannot be reached.
  if (!m_options.tls && error == 0 && ProbeTls(m_options, false).tls) {
    reason = SpeaksTls();
    return kTlsFailed;
  }
  if (!m_options.tls || error != 0) {
    reason =
        "cannot reach " + m_address + (error != 0 ? ": " + ConnectFailure(error, m_options) : "");
    return kUnreachable;
  }
  if (const std::string why = TlsFailure(probe, m_options); !why.empty()) {
    reason = "TLS with " + m_address + ": " + why;
    return kTlsFailed;
  }
  if (probe.tls) {
    reason = "the TLS hand-shake with " + m_address + " failed (-v shows the library's reason)";
    return kTlsFailed;
  }
  if (ProbePlain(m_options)) {
    reason = m_address + " does not speak TLS: leave out --tls";
    return kTlsFailed;
  }
  reason = m_address + " closed the link during the TLS hand-shake";
  return kUnreachable;
}

cCliLink::eExit cCliLink::Closed(std::string& reason) const {
  reason = "the link to " + ServerLabel() + " was closed";
  return kUnreachable;
}

std::string cCliLink::ServerLabel() const {
  return m_serverName.find_first_not_of(' ') == std::string::npos ? m_address : m_serverName;
}

std::string cCliLink::SpeaksTls() const {
  return m_address + " speaks TLS: give --tls (and --ca FILE)";
}

// The link came up and went down before the login answer: a plain client at a TLS server, a
// TLS server that refused the client's certificate, or a server that did not want this peer.
cCliLink::eExit cCliLink::ClosedBeforeLogin(std::string& reason) {
  if (!m_options.tls && ProbeTls(m_options, false).tls) {
    reason = SpeaksTls();
    return kTlsFailed;
  }
  if (m_options.tls) {
    if (const std::string why = TlsFailure(ProbeTls(m_options, true), m_options); !why.empty()) {
      reason = "TLS with " + m_address + ": " + why;
      return kTlsFailed;
    }
  }
  reason = m_address + " closed the link before answering the login";
  return kUnreachable;
}

cCliLink::eWait cCliLink::Send(int level, const std::string& text, std::string& reason,
                               int waitMs) {
  long long mark = 0;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    mark = ++m_nNextMark;
    m_nWaitLevel = level;
    m_nRefusals = 0;
    m_bAccessRefused = false;
    m_lineFailure.clear();
  }
  std::string to = WaitUntil([this] { return m_bRouted; }, 0) ? m_options.to : "";
  if (!m_askTo.empty()) to = m_askTo;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bWaitRouted = !to.empty();
  }
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
  const int ms = waitMs >= 0 ? waitMs : m_options.waitSeconds * 1000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  // A refusal of the account's rights refuses the mark as well: no mark will come.
  const bool ended =
      WaitUntil([&] { return m_nMarked >= mark || m_bDisconnected || m_bAccessRefused; }, ms);
  // The mark's own refusal follows the line's; it is waited for so that it is not taken for a
  // refusal of the next line.
  if (WaitUntil([this] { return m_bAccessRefused; }, 0))
    WaitUntil([this] { return m_nRefusals >= 2; }, kReasonWaitMs);
  const bool shown = WaitUntil([this] { return !m_bCapture; }, 0);
  const eWait outcome = Outcome(ended, reason);
  // A line is answered once its answer is written, within the line's wait: a reader that takes
  // nothing held the worker in a write, and with it every wait, past --wait without end.
  if (!shown) return outcome;
  m_bStuck = !m_writer.Drain(deadline);
  if (!m_bStuck || (outcome != eWait::kDone && outcome != eWait::kLate)) return outcome;
  reason = "the answers could not be written to standard output within " +
           Seconds(m_options.waitSeconds);
  return eWait::kStuck;
}

cCliLink::eWait cCliLink::Outcome(bool ended, std::string& reason) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_nWaitLevel = -1;
  if (!m_bCapture) EndAnswer();
  if (m_nRefusals > 0) {
    const int code = m_nFirstRefusal;
    reason = "refused by " + ServerLabel() + ": " + ChatExceptionText(code);
    return IsAccessRefusal(code) ? eWait::kRefused : eWait::kTimeOut;
  }
  if (m_bDisconnected) {
    Closed(reason);
    return eWait::kClosed;
  }
  if (!ended) {
    reason = "no answer within " + Seconds(m_options.waitSeconds);
    return eWait::kLate;
  }
  // The account may not run a function the line called, or its Lua stopped with an error: the
  // line ran only in part.
  if (!m_lineFailure.empty()) {
    reason = m_lineFailure;
    return eWait::kTimeOut;
  }
  return eWait::kDone;
}

cCliLink::eExit cCliLink::Ask(int level, const std::string& text, std::string& reason) {
  // A command record's text ends at its first NUL byte: the server would run the start alone.
  if (text.find('\0') != std::string::npos) {
    reason = "a NUL byte in the line: the server would run only what comes before it";
    return kNotAnswered;
  }
  // The command record holds the text (inside the route's call when routed) and its end.
  size_t wire = text.size();
  if (WaitUntil([this] { return m_bRouted; }, 0))
    wire = FillRoute(cRemotePath::Instance().GetPath(m_options.to), level, text, "").size() +
           kHopMarkBytes;
  if (wire >= stMsg_Cmd::kTextCapacity) {
    reason = "too long: a line may have at most " +
             std::to_string(stMsg_Cmd::kTextCapacity - 1 - (wire - text.size())) + " bytes";
    return kNotAnswered;
  }
  switch (Send(level, text, reason)) {
    case eWait::kDone:
      return kAllAnswered;
    case eWait::kTimeOut:
    case eWait::kLate:
    case eWait::kStuck:
      return kNotAnswered;
    case eWait::kClosed:
      return kUnreachable;
    case eWait::kRefused:
      break;
  }
  return kRefused;
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
  if (line == "?") return Ask(m_level, "Help()", reason);
  if (line == "??") {
    // The listing is written before the line ends, ahead of the next prompt.
    const eExit listed = ListGroups(reason);
    DrainAnswers();
    return listed;
  }
  if (line == "???") {
    const eExit servers = Ask(kNetLevel, "Servers()", reason);
    return servers != kAllAnswered ? servers : Ask(kNetLevel, "Clients()", reason);
  }
  if (line == "n" || line == "p") {
    m_level = (m_level + (line == "n" ? 1 : kLevels - 1)) % kLevels;
    return kAllAnswered;
  }
  const stCmdLine parts = SplitCmdLine(line);
  if (!parts.type.empty()) {
    reason = "the lines go to one process; //name switches are for a process's own console";
    return kNotAnswered;
  }
  int level = m_level;
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
  return Ask(level, parts.statement, reason);
}

cCliLink::eExit cCliLink::ListGroups(std::string& reason) {
  // Each group is asked with --wait, one after another (a busy server that answers each in a
  // while is listed whole). One worker answers them all: once a group gave no answer within
  // --wait, the groups after it are not asked and are named with it (asking each, a server that
  // answers none held the operator 17 times --wait).
  std::string listing, silent;
  bool late = false;
  for (int level = 0; level < kLevels; ++level) {
    const bool answered =
        !late && !NamesOf(level, m_options.waitSeconds * 1000).empty() && !Silent(level);
    late = late || Silent(level);
    if (late) silent += (silent.empty() ? "" : ", ") + std::to_string(level);
    for (const stStandardGroup& group : StandardGroups())
      if (static_cast<int>(group.level) == level && answered)
        listing += "id " + std::to_string(level) + " name " + group.cmd->GetName() + "\n";
  }
  std::lock_guard<std::mutex> hold(m_lock);
  // A link lost on the way leaves the listing without the groups asked after it.
  if (m_bDisconnected) return Closed(reason);
  if (!listing.empty()) Print(listing + "使用/1,/7,p,n来切换\n");
  if (!silent.empty()) {
    reason = "no answer within " + Seconds(m_options.waitSeconds) + " from group(s) " + silent;
    return kNotAnswered;
  }
  if (listing.empty()) {
    reason = "no group answered";
    return kNotAnswered;
  }
  return kAllAnswered;
}

std::string cCliLink::Prompt() const {
  std::lock_guard<std::mutex> hold(m_lock);
  const std::string name = m_options.to.empty() ? ServerLabel() : m_options.to;
  return name + "/" + std::to_string(m_level) + "!> ";
}

cCliLink::eExit cCliLink::AskAlong(const std::vector<std::string>& hops, int level,
                                   const std::string& text, std::string& answer,
                                   std::string* reason) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!hops.empty()) {
      // The route names every hop, from this client's account through the server logged in to.
      std::vector<std::string> names{m_options.account, m_serverName};
      names.insert(names.end(), hops.begin(), hops.end());
      cRemotePath::Instance().SetPath(hops.back(), MakeRouteTemplate(names));
    }
    m_bCapture = true;
    m_captured.clear();
    m_askTo = hops.empty() ? "" : hops.back();
  }
  std::string why;
  const bool answered = Send(level, text, why) == eWait::kDone;
  if (reason != nullptr) *reason = why;
  std::lock_guard<std::mutex> hold(m_lock);
  m_bCapture = false;
  m_askTo.clear();
  answer.swap(m_captured);
  m_captured.clear();
  return answered ? kAllAnswered : kNotAnswered;
}

std::vector<std::string> cCliLink::Names() {
  // A group that did not answer a moment ago is not waited for again at every press.
  if (Silent(m_level)) return {};
  return NamesOf(m_level, m_options.waitSeconds * 1000);
}

bool cCliLink::Silent(int level) const {
  return level >= 0 && level < kLevels &&
         std::chrono::steady_clock::now() < m_silentUntil[static_cast<size_t>(level)];
}

const std::vector<std::string>& cCliLink::NamesOf(int level, int waitMs) {
  // "/N" takes any number of up to three digits; a group beyond the known ones has no names.
  static const std::vector<std::string> s_none;
  if (level < 0 || level >= kLevels) return s_none;
  std::vector<std::string>& names = m_names[static_cast<size_t>(level)];
  if (!names.empty()) return names;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bCapture = true;
    m_captured.clear();
  }
  std::string reason;
  const eWait wait = Send(level, "Functions()", reason, waitMs);
  const bool answered = wait == eWait::kDone;
  m_silentUntil[static_cast<size_t>(level)] = wait == eWait::kLate
                                                  ? std::chrono::steady_clock::now() + kSilentMemory
                                                  : std::chrono::steady_clock::time_point{};
  std::string text;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bCapture = false;
    text.swap(m_captured);
  }
  if (!answered) return names;
  // Names only: a word that is not one never reaches the terminal through a completion list.
  std::istringstream words(platform::TerminalText(text));
  for (std::string word; words >> word && names.size() < kMaxNames;)
    if (IsIdentifier(word)) names.push_back(word);
  return names;
}

bool cCliLink::DrainAnswers() {
  const auto wait = std::chrono::seconds(m_bStuck ? 0 : m_options.waitSeconds);
  return m_writer.Drain(std::chrono::steady_clock::now() + wait);
}

bool cCliLink::AnswersWritten() {
  return DrainAnswers() && !m_writer.Failed();
}
