#include "tessel/core/cmd.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <iostream>
#include <lua.hpp>
#include <mutex>
#include <string_view>

#include "platform/terminal_text.h"
#include "platform/text_clean.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/loglib.h"
#include "tessel/core/audit_scope.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/login_text.h"
#include "tessel/core/long_call_guard.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/pattern_guard.h"
#include "tessel/core/worker_thread.h"
#include "tessel/timers/timer_function.h"

namespace {

const size_t kLabelChars = 64;
// The most of a failed command's message its error lines (console, file, requester) show.
const size_t kErrorBytes = 64 * 1024;
const unsigned long kSlowCmdMs = 100;
// The registry entry naming the group of a state.
const char kOwnerKey[] = "tessel.cmd";

// Mirror of s_szCmd for other threads (the console shows the running command).
std::mutex g_curTextLock;
std::string g_curText;

// Where a failed command's error lines also go (see cCmd::SetErrorEcho).
std::atomic<void (*)(const std::string&)> g_errorEcho{nullptr};
std::atomic<iCmdObserver*> g_observer{nullptr};

// Only a text naming Login can carry a password; every other text is shown as it is.
bool MayHoldSecret(const char* text) {
  return SecretWordAt(text) != std::string_view::npos;
}

std::string Shown(const char* text) {
  return MayHoldSecret(text) ? MaskCmdText(text) : std::string(text);
}

// The value Lua reads from a quoted literal written as it is in the source (the common
// escapes decoded); a number literal is its own value.
std::string LiteralValue(const std::string& literal) {
  if (literal.size() < 2 || (literal[0] != '\'' && literal[0] != '"')) return literal;
  std::string value;
  for (size_t at = 1; at + 1 < literal.size(); ++at) {
    char c = literal[at];
    if (c == '\\' && at + 2 < literal.size()) {
      c = literal[++at];
      if (c == 'n') c = '\n';
      if (c == 't') c = '\t';
      if (c == 'r') c = '\r';
      if (std::isdigit(static_cast<unsigned char>(c))) {
        // Up to three decimal digits give the byte.
        int code = c - '0';
        for (int more = 0; more < 2 && at + 2 < literal.size() &&
                           std::isdigit(static_cast<unsigned char>(literal[at + 1]));
             ++more)
          code = code * 10 + (literal[++at] - '0');
        c = static_cast<char>(code);
      }
    }
    value += c;
  }
  return value;
}

// The Lua error message of a text that may hold a password, fit to be shown. For a single login
// call: without the source quoted near a syntax fault and with the password masked. For any
// other text naming Login the password cannot be told apart, so only the place of the error
// is kept.
std::string ShownLuaError(const char* text, std::string message) {
  stLoginCall call;
  if (!ParseLoginCall(text, &call)) {
    const size_t chunk = message.find("\"]:");
    const size_t line = chunk == std::string::npos ? chunk : message.find(':', chunk + 3);
    const std::string place = line == std::string::npos ? "" : message.substr(0, line + 1) + " ";
    return place + "(message hidden: the command may hold a password)";
  }
  const size_t near = message.find(" near ");
  if (near != std::string::npos) message.erase(near);
  if (call.name != "Login" || call.args.size() < 2) return message;
  const std::string secret = LiteralValue(call.args[1]);
  if (secret.empty()) return message;
  for (size_t at = message.find(secret); at != std::string::npos; at = message.find(secret, at + 3))
    message.replace(at, secret.size(), "***");
  return message;
}

// A peer's error() chooses its message and its length: the lines keep its start, and say how
// much was left out (a message of many megabytes was copied five times and written whole to the
// log file at each command).
std::string Bounded(const std::string& message) {
  return CutWithCount(message, kErrorBytes);
}

}  // namespace

const char* cCmd::s_szCmd = "";
cCmd* cCmd::s_pCurCmd = nullptr;

// The config store is made first, so it outlives every group: a group made a singleton before
// the store's first use closed its state at the exit reading its limits from the freed store.
cCmd::cCmd() {
  GetConfigStore();
}

cCmd::~cCmd() {
  Clear();
}

bool cCmd::CanDo(const char*) {
  return true;
}

const char* cCmd::GetName() {
  return "cCmd";
}

void cCmd::Create() {
  TESSEL_ASSERT_WORKER();
  if (m_pLua != nullptr) return;
  m_pLua = NewLimitedLuaState();
  luaL_openlibs(m_pLua);
  UseSourceOnlyLoaders(m_pLua);
  GuardOsBuiltins(m_pLua);
  GuardPatternSearch(m_pLua);
  GuardLongCalls(m_pLua);
  lua_pushlightuserdata(m_pLua, this);
  lua_setfield(m_pLua, LUA_REGISTRYINDEX, kOwnerKey);
  const std::string_view name = GetName();
  m_funcs.SetGroup(name.substr(0, 5) == "cCmd_" ? name.substr(5) : name);
  m_funcs.Record(
      m_pLua, [](lua_State* L, void* self) { static_cast<cCmd*>(self)->bind_cln(L); }, this);
}

void cCmd::Clear() {
  if (m_pLua == nullptr) return;
  m_envs.Forget();
  m_chunks.Forget();
  CloseLimitedLuaState(m_pLua);
  m_pLua = nullptr;
  m_funcs.Clear();
}

cCmd* cCmd::OfState(lua_State* L) {
  if (L == nullptr) return nullptr;
  lua_getfield(L, LUA_REGISTRYINDEX, kOwnerKey);
  auto* owner = static_cast<cCmd*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  return owner;
}

bool cCmd::Do(const char* text) {
  TESSEL_ASSERT_WORKER();
  if (!CanDo(text)) return false;
  // The guard's report shows the label: it never holds a password.
  const std::string masked = MayHoldSecret(text) ? MaskCmdText(text) : std::string();
  char label[kLabelChars + 1];
  std::strncpy(label, masked.empty() ? text : masked.c_str(), kLabelChars);
  label[kLabelChars] = '\0';

  cTimerFunctionTessel guard(GetName(), label, kSlowCmdMs, 1);
  iCmdObserver* observer = g_observer.load(std::memory_order_acquire);
  if (observer != nullptr) observer->OnCmdBegin(*this, masked.empty() ? text : masked.c_str());
  // One look at the clock serves the observer and the time limit.
  const auto began = std::chrono::steady_clock::now();
  cAuditRun audit(text);
  ++m_nRun;
  struct stDepth {
    int& depth;
    explicit stDepth(int& d) : depth(++d) {}
    ~stDepth() { --depth; }
  } depth(m_nDepth);
  bool ok = false;
  if (m_pLua != nullptr) {
    // The outer command's text comes back when the chunk ends. When a fault leaves it as an
    // exception only the pointer goes back (the text it pointed at may be freed on the way);
    // the mirror keeps the faulting command for the crash report.
    struct stRestore {
      const char* former = s_szCmd;
      int unwinding = std::uncaught_exceptions();
      ~stRestore() {
        if (std::uncaught_exceptions() > unwinding)
          s_szCmd = former;
        else
          SetCurText(former);
      }
    } restore;
    const cLuaCommandLimit limit(m_pLua, began);
    SetCurText(text, masked.empty() ? text : masked.c_str());
    ok = RunChunk(text);
    if (m_nDepth == 1) m_chunks.Rest(m_pLua);
  }
  m_ulRunTime += guard.Finish();
  if (observer != nullptr)
    observer->OnCmdEnd(
        *this, static_cast<std::uint64_t>(
                   std::chrono::nanoseconds(std::chrono::steady_clock::now() - began).count()));
  audit.End(GetName(), ok);
  // A fault raised in the chunk (Throw) leaves here, after the state's own call has ended.
  PassOnLuaFault();
  return ok;
}

// Runs the chunk; on failure the error line names the group and the command.
bool cCmd::RunChunk(const char* text) {
  if (m_bDirect) {
    if (LoadText(text, text) == 0 && ProtectedCall(0) == 0) return true;
    const char* message = lua_tostring(m_pLua, -1);
    cAuditScope::NoteError(message != nullptr ? message : "");
    lua_pop(m_pLua, 1);
    return false;
  }
  if (RunReportedChunk(text)) return true;
  // A refusal is reported as its one line, already written.
  if (!cCmdRightsScope::Refusal().empty()) return false;
  // The text may be a peer's, with bytes a terminal would take for controls and line ends that
  // would start lines of their own (a forged time-stamped one), of any length: one line, its
  // controls escaped, its start only when long.
  const std::string line = platform::TerminalText(std::string("cCmd::Do error cmd ") + GetName() +
                                                  " do " + EscapeControls(Bounded(Shown(text))));
  std::cout << line << std::endl;
  EchoError(line);
  return false;
}

// Runs the chunk; a failure is reported as the base library reports one ("lua_dostring error",
// the group, the Lua message), the message masked when the text may hold a password.
bool cCmd::RunReportedChunk(const char* text) {
  int rc = LoadText(text, GetName());
  if (rc == 0) rc = ProtectedCall(0);
  if (rc == 0) return true;
  if (!cCmdRightsScope::Refusal().empty()) {
    lua_pop(m_pLua, 1);
    ReportRefusal();
    PassOnLuaFault();
    return false;
  }
  const char* message = lua_tostring(m_pLua, -1);
  std::string shown =
      std::string(message != nullptr ? message : "(no message)") + LuaLimitNote(m_pLua, rc);
  if (MayHoldSecret(text)) shown = ShownLuaError(text, shown);
  shown = Bounded(std::move(shown));
  cAuditScope::NoteError(shown);
  // Lua quotes the text it stopped at, and a peer's error() chooses every byte of the message:
  // on the console and in the file it stays one line, its controls escaped (a line end in it
  // would start a forged line of its own).
  const std::string line =
      EscapeControls(std::string("lua_dostring error ") + GetName() + " " + shown);
  lua_pop(m_pLua, 1);
  std::cout << line + "\n" << std::flush;
  static const loglib::logger scriptError("script.error");
  tessel_write(scriptError, line);
  EchoError(line);
  // A fault raised in the chunk leaves here, before the command's own error line.
  PassOnLuaFault();
  return false;
}

// The requester is told once, however many chunks the refusal ended.
void cCmd::ReportRefusal() {
  if (!cCmdRightsScope::TakeRefusalReport()) return;
  const std::string& line = cCmdRightsScope::Refusal();
  std::cout << line + "\n" << std::flush;
  EchoError(line);
}

void cCmd::SetErrorEcho(void (*echo)(const std::string& line)) {
  g_errorEcho.store(echo);
}

void cCmd::SetObserver(iCmdObserver* observer) {
  g_observer.store(observer, std::memory_order_release);
}

void cCmd::EchoError(const std::string& line) {
  if (auto echo = g_errorEcho.load()) echo(line);
}

int cCmd::ProtectedCall(int argCount) {
  // A command served for a peer runs in that link's own environment.
  cPeerEnvs::cUse env;
  if (!m_envs.Apply(m_pLua, env)) return LUA_ERRRUN;
  cLuaCallScope scope(m_pLua);
  return lua_pcall(m_pLua, argCount, 0, 0);
}

// A text run inside a run of the same group compiles afresh: a kept chunk sets its environment
// when it starts, which would change the running outer one's. A text that may hold a password
// is not kept. A link's text is compiled without tail calls: a function of its own that
// tail-calls the console's would leave no trace of the link on the stack, and run with the
// rights of whoever calls it (DefinerRights).
int cCmd::LoadText(const char* text, const char* chunkName) {
  const bool link = cPeerEnvScope::Current() != nullptr;
  if (m_nDepth == 1 && !MayHoldSecret(text) && m_chunks.Push(m_pLua, text, chunkName, link))
    return 0;
  if (!link) return LoadLuaSource(m_pLua, text, chunkName);
  return LoadLuaSourceNoTailCalls(m_pLua, text, std::strlen(text), chunkName);
}

// The mirror is what the console and the crash report show, so it holds the masked text.
void cCmd::SetCurText(const char* text) {
  if (MayHoldSecret(text))
    SetCurText(text, MaskCmdText(text).c_str());
  else
    SetCurText(text, text);
}

void cCmd::SetCurText(const char* text, const char* shown) {
  s_szCmd = text;
  std::lock_guard<std::mutex> hold(g_curTextLock);
  g_curText = shown;
}

std::string cCmd::CurCmdText() {
  std::lock_guard<std::mutex> hold(g_curTextLock);
  return g_curText;
}

bool cCmd::CopyCurCmdText(char* out, std::size_t size) {
  std::unique_lock<std::mutex> hold(g_curTextLock, std::try_to_lock);
  if (!hold.owns_lock() || size == 0) return false;
  const std::size_t n = std::min(g_curText.size(), size - 1);
  std::memcpy(out, g_curText.data(), n);
  out[n] = '\0';
  return true;
}

bool cCmd::FindName(const char* name) {
  const char* own = GetName();
  const size_t length = std::strlen(name);
  return length > 0 && std::strlen(own) >= 5 && std::strncmp(own + 5, name, length) == 0;
}

void cCmd::ReportCmdName(std::ostream& os) {
  os << GetName() << "\t";
}

void cCmd::ReportCmdDo(std::ostream& os) {
  TESSEL_ASSERT_WORKER();
  if (m_pLua == nullptr) return;
  os << "do: " << m_nRun / 1000 << " cost: " << m_ulRunTime / 1000 << " mem"
     << "(" << lua_gc(m_pLua, LUA_GCCOUNT, 0) << ")\t";
}
