#include "tessel/msg/ostream_cmd.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd.h"
#include "tessel/core/console_bound.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/cmd_record_gate.h"
#include "tessel/msg/sync_obj.h"

std::string ostreamCmd::s_strParam;

namespace {

int g_servingLevel = 0;

// Output goes back in pieces of at most this many bytes, so that each Output call fits one
// command record even escaped (four bytes a byte at most) and wrapped for a return path.
constexpr std::size_t kOutputPiece = 16000;
// A long answer leaves as its requester reads it: a piece is sent only while the link holds at
// most this much unsent (well below its send queue's bound, 512 KiB by default, which cuts the
// link), and the worker waits for that at most kOutputDrainMs per answer (a command's Lua may
// hold it far longer), and not at all while the link has not read an answer cut before. What a
// requester does not read in time is left out, with a last line saying so, and the link stays.
constexpr unsigned long kOutputQueued = 128 * 1024;
constexpr int kOutputDrainMs = 2000;
// What a link's answers have waited comes back at this many ms a second, up to kOutputDrainMs:
// a link that reads a trickle, and all such links together, hold the worker at most a twentieth
// of the time after their first kOutputDrainMs, however they space their commands. A link that
// reads keeps its answers' pieces under kOutputQueued without a wait, and gets its answers whole.
constexpr double kOutputRefillMsPerSecond = 50;

using Clock = std::chrono::steady_clock;

// What each link (endpoint, link id) may still wait for, and whether it left an answer's pieces
// unread. While a link so marked still holds more than kOutputQueued unsent, its next answers
// are not waited for: a peer that sends command after command and reads nothing held the
// worker, every link and timer with it, kOutputDrainMs per answer. The mark goes once the link
// read down to that, went down or logged out; what it waited comes back only with time, so a
// peer reading a trickle that keeps falling below kOutputQueued is not waited for in full again.
// A link with a full allowance and no mark has no entry.
// Each process's worker serves its own bridges, but a program (or a test) may run more than one:
// the entries are kept under a lock.
using tStalledKey = std::pair<const void*, unsigned>;
struct stLinkWait {
  bool stalled = false;
  double leftMs = kOutputDrainMs;
  Clock::time_point at;
};
std::mutex& StalledLock() {
  static std::mutex lock;
  return lock;
}
std::map<tStalledKey, stLinkWait>& LinkWaits() {
  static std::map<tStalledKey, stLinkWait> links;
  return links;
}

// What every link's answers together may still wait, on the same terms as one link's: each
// link's own allowance starts full for a new link and after a login, so over many links, or one
// logging in again after each answer it did not read, they added up to the worker's whole time.
stLinkWait& SharedWait() {
  static stLinkWait shared;
  return shared;
}

// The allowance `wait` came back to by `now` (StalledLock held).
double Refilled(stLinkWait& wait, Clock::time_point now) {
  const double back =
      std::chrono::duration<double>(now - wait.at).count() * kOutputRefillMsPerSecond;
  wait.leftMs = std::min<double>(kOutputDrainMs, wait.leftMs + back);
  wait.at = now;
  return wait.leftMs;
}

// The ms an answer for `link` may wait now: 0 while it is marked and still holds more than
// kOutputQueued unsent (then `stalled`), else what its allowance came back to, and no more than
// what is left of the links' shared one (then `shared`, when that is the lesser).
double AllowedWaitMs(const tStalledKey& key, iSend* link, bool* stalled, bool* shared) {
  const unsigned long unsent = link->GetUnsentBytes();
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> hold(StalledLock());
  const double together = Refilled(SharedWait(), now);
  auto found = LinkWaits().find(key);
  double own = kOutputDrainMs;
  if (found != LinkWaits().end()) {
    stLinkWait& wait = found->second;
    own = Refilled(wait, now);
    wait.stalled = wait.stalled && unsent > kOutputQueued;
    *stalled = wait.stalled;
    if (wait.stalled) return 0;
    if (wait.leftMs >= kOutputDrainMs) LinkWaits().erase(found);
  }
  *shared = together < own;
  return std::min(own, together);
}

// An answer for the link waited `waitedMs`; `cut` when it left pieces out.
void NoteWait(const tStalledKey& key, double waitedMs, bool cut) {
  if (waitedMs <= 0 && !cut) return;
  std::lock_guard<std::mutex> hold(StalledLock());
  auto [found, made] = LinkWaits().try_emplace(key);
  stLinkWait& wait = found->second;
  if (made) wait.at = Clock::now();
  wait.leftMs = std::max(0.0, wait.leftMs - waitedMs);
  wait.stalled = wait.stalled || cut;
  Refilled(SharedWait(), Clock::now());
  SharedWait().leftMs = std::max(0.0, SharedWait().leftMs - waitedMs);
}

void ForgetLink(const tStalledKey& key) {
  std::lock_guard<std::mutex> hold(StalledLock());
  LinkWaits().erase(key);
}

// Waits until `link` holds at most kOutputQueued unsent bytes, adding the time waited to
// `waited`; false when it went down or the deadline passed first.
bool Drained(iSend* link, Clock::time_point deadline, Clock::duration& waited) {
  const Clock::time_point began = Clock::now();
  bool drained = true;
  while (link->GetUnsentBytes() > kOutputQueued) {
    if (link->IsConnect() == 0 || Clock::now() >= deadline) {
      drained = false;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  waited += Clock::now() - began;
  return drained;
}

std::string& ReturnPath() {
  static std::string path;
  return path;
}

// A failed command's error lines go back to a requester served from another process as well;
// a local console has them already.
void EchoToRequester(const std::string& line) {
  ostreamCmd& out = get_gout();
  if (out.GetCurMsg() != nullptr && !out.IsLocalCmd()) out << line.c_str() << "\n";
}

}  // namespace

ostreamCmd::ostreamCmd() {
  cCmd::SetErrorEcho(&EchoToRequester);
}

ostreamCmd& get_gout() {
  static ostreamCmd out;
  return out;
}

std::string MakeOutputCmd(const std::string& output) {
  // A NUL byte would end the command text early: such output travels as an escaped string.
  if (output.find('\0') != std::string::npos) return "Output('" + LuaEscape(output) + "')";
  return "Output(" + LuaLongBracket(output) + ")";
}

std::vector<std::string> MakeOutputCmds(const std::string& output) {
  std::vector<std::string> cmds;
  for (std::size_t at = 0; at < output.size();) {
    std::size_t n = std::min(kOutputPiece, output.size() - at);
    if (at + n < output.size()) {
      // Cut behind a line end when one falls in the second half of the piece.
      const std::size_t end = output.rfind('\n', at + n - 1);
      if (end != std::string::npos && end >= at + n / 2) n = end + 1 - at;
    }
    cmds.push_back(MakeOutputCmd(output.substr(at, n)));
    at += n;
  }
  return cmds;
}

int GetServingCmdLevel() {
  return g_servingLevel;
}
void SetServingCmdLevel(int level) {
  g_servingLevel = level;
}
const std::string& GetReturnPath() {
  return ReturnPath();
}
void SetReturnPath(const std::string& path) {
  ReturnPath() = path;
}
void ClearReturnPath() {
  ReturnPath().clear();
}

stPeerKey PeerEnvKey(iBridge* bridge, unsigned linkId) {
  return stPeerKey{bridge, linkId};
}

void DropPeerEnv(iBridge* bridge, unsigned linkId) {
  ForgetLink({bridge, linkId});
  cCmd::DropPeerEnv(PeerEnvKey(bridge, linkId));
}

ostreamCmd::cServeScope::cServeScope(stBindMsg* msg, iBridge* bridge, int level) {
  TESSEL_ASSERT_WORKER();
  SetServingCmdLevel(level);
  get_gout().SetCurMsg(msg, bridge);
  if (bridge != nullptr) {
    iSend* link = msg != nullptr ? msg->send : nullptr;
    m_env.emplace(PeerEnvKey(bridge, link != nullptr ? link->GetID() : 0));
  }
}

ostreamCmd::cServeScope::~cServeScope() {
  get_gout().SendOutputBack();
}

std::ostream& ostreamCmd::Stream() {
  TESSEL_ASSERT_WORKER();
  if (m_pCurMsg != nullptr) return m_os;
  return std::cout;
}

ostreamCmd& ostreamCmd::operator<<(const char* text) {
  if (text != nullptr) Stream() << text;
  return *this;
}

ostreamCmd& ostreamCmd::operator<<(std::ostream& (*manip)(std::ostream&)) {
  Stream() << manip;
  return *this;
}

size_t ostreamCmd::CollectedBytes() {
  return m_collected.Kept();
}

std::string ostreamCmd::TakeCollected() {
  std::string text = m_collected.Text();
  m_collected.Reset();
  m_os.clear();
  return text;
}

void ostreamCmd::SetCurMsg(stBindMsg* msg, iBridge* bridge) {
  m_pCurMsg = msg;
  m_pBridge = bridge;
}

void ostreamCmd::ClearCurMsg() {
  TESSEL_ASSERT_WORKER();
  m_pBridge = nullptr;
  m_pCurMsg = nullptr;
  m_collected.Reset();
  m_os.clear();
}

iSend* ostreamCmd::GetLink() const {
  return m_pCurMsg != nullptr ? m_pCurMsg->send : nullptr;
}

unsigned int ostreamCmd::GetLinkID() const {
  iSend* link = GetLink();
  return link != nullptr ? link->GetID() : 0;
}

iServerLink* ostreamCmd::GetServerLink() const {
  return dynamic_cast<iServerLink*>(GetLink());
}

const char* ostreamCmd::GetLinkIP() const {
  iServerLink* link = GetServerLink();
  return link != nullptr ? link->GetIP() : "";
}

int ostreamCmd::GetDisconnect() const {
  iServerLink* link = GetServerLink();
  if (link == nullptr) return 0;
  return link->IsConnect() != 0 ? 0 : 1;
}

const char* ostreamCmd::GetCmdBuffer() const {
  if (m_pCurMsg == nullptr || m_pCurMsg->msg == nullptr) return nullptr;
  return static_cast<const stMsg_Cmd*>(m_pCurMsg->msg)->text;
}

void ostreamCmd::DoCmd(int level, const char* text) {
  RunCmd(level, text);
}

HandleChatExceptionEnum ostreamCmd::RunCmd(int level, const char* text) {
  TESSEL_ASSERT_WORKER();
  if (m_pBridge == nullptr) return ChatException_InternalWrong;
  return m_pBridge->RunCmdBridge(GetLink(), static_cast<unsigned>(level), text);
}

int ostreamCmd::SendBackCmd(int level, const char* text) {
  TESSEL_ASSERT_WORKER();
  if (m_pBridge == nullptr) return 0;
  return m_pBridge->SendBackCmd(GetLink(), static_cast<unsigned>(level), text);
}

int ostreamCmd::SendBackMsg() {
  TESSEL_ASSERT_WORKER();
  if (m_pCurMsg == nullptr || m_pCurMsg->send == nullptr) return 0;
  if (!PassCmdRecordGate(m_pCurMsg->send, m_pCurMsg->msg, m_pCurMsg->size)) return 0;
  return m_pCurMsg->send->Send(m_pCurMsg->msg, m_pCurMsg->size);
}

void ostreamCmd::SendOutputBack() {
  TESSEL_ASSERT_WORKER();
  const std::string output = m_collected.Text();
  if (m_collected.LeftOut() > 0)
    std::cout << "ostreamCmd::SendOutputBack link #" << GetLinkID() << " ip " << GetLinkIP() << ": "
              << m_collected.LeftOut() << " bytes of output left out\n";
  if (m_pBridge != nullptr) SendPieces(MakeOutputCmds(output), GetServingCmdLevel());
  ClearReturnPath();
  ClearCurMsg();
}

void ostreamCmd::SendBackOutput(int level, const std::string& output) {
  TESSEL_ASSERT_WORKER();
  if (m_pBridge != nullptr) SendPieces(MakeOutputCmds(output), level);
}

void ostreamCmd::SendPieces(const std::vector<std::string>& cmds, int group) {
  const unsigned level = static_cast<unsigned>(group);
  iSend* link = GetLink();
  const tStalledKey key{m_pBridge, GetLinkID()};
  bool stalled = false, shared = false;
  // An answer of one piece leaves at once, as every short answer does.
  const double allowedMs =
      link != nullptr && cmds.size() > 1 ? AllowedWaitMs(key, link, &stalled, &shared) : 0;
  const auto deadline =
      Clock::now() + std::chrono::microseconds(static_cast<long long>(allowedMs * 1000));
  Clock::duration waited{};
  size_t sent = 0;
  // A piece the link did not take ends the answer (the pieces after it would leave a hole in
  // the text), and is said as a cut is.
  bool refused = false;
  for (; sent < cmds.size(); ++sent) {
    if (sent > 0 && link != nullptr && !Drained(link, deadline, waited)) break;
    if (m_pBridge->SendBackCmd(link, level, cmds[sent].c_str()) == 0) {
      refused = true;
      break;
    }
  }
  const bool cut = sent < cmds.size() && link != nullptr && link->IsConnect() != 0;
  if (link != nullptr && cmds.size() > 1)
    NoteWait(key, std::chrono::duration<double, std::milli>(waited).count(), cut && !refused);
  if (!cut) return;
  std::string why = "has not read an earlier answer yet";
  if (refused)
    why = "did not take piece " + std::to_string(sent + 1);
  else if (!stalled && allowedMs >= kOutputDrainMs)
    why = "did not read them within " + std::to_string(kOutputDrainMs / 1000) + " s";
  else if (!stalled)
    why = "did not read them within " + std::to_string(static_cast<int>(allowedMs)) +
          (shared ? " ms: slow readers together are waited for 2 s, then a twentieth of the time"
                  : " ms: a slow reader is waited for 2 s, then a twentieth of the time");
  const std::string line = "ostreamCmd output cut: " + std::to_string(cmds.size() - sent) + " of " +
                           std::to_string(cmds.size()) + " pieces left out (the requester " + why +
                           ")\n";
  std::cout << "ostreamCmd::SendOutputBack link #" << GetLinkID() << " ip " << GetLinkIP() << ": "
            << line;
  m_pBridge->SendBackCmd(link, level, MakeOutputCmd(line).c_str());
}

// A piece the object's link did not take (no link, a link down, its queue full) ends the flush:
// the pieces after it would leave a hole in the text. What was left out is said on the console
// and, as the first line of what is collected next, to the requester.
void ostreamCmd::FlushOutput(cSyncObj* sync) {
  TESSEL_ASSERT_WORKER();
  const std::vector<std::string> cmds = MakeOutputCmds(m_collected.Text());
  size_t sent = 0;
  for (; sent < cmds.size(); ++sent) {
    unsigned long size = 0;
    stMsg* record = Msg_GetCmd(GetServingCmdLevel(), cmds[sent], size);
    if (size == 0 || sync->SendMessageA(record, size) == 0) break;
  }
  m_collected.Reset();
  m_os.clear();
  if (sent == cmds.size()) return;
  const std::string line =
      "ostreamCmd::FlushOutput object #" + std::to_string(sync->cSyncObj_GetID()) + ": " +
      std::to_string(cmds.size() - sent) + " of " + std::to_string(cmds.size()) +
      " pieces not sent (its link did not take them)";
  cConsoleBound::Notice(line);
  if (m_pBridge != nullptr) m_os << line << "\n";
}
