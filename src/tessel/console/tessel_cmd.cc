#include "tessel/console/tessel_cmd.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/clock.h"
#include "platform/console_color.h"
#include "tessel/console/alias.h"
#include "tessel/console/cmd_line.h"
#include "tessel/console/shell_jobs.h"
#include "tessel/contracts/baselib.h"
#include "tessel/core/audit_scope.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_limits.h"
#include "tessel/core/peer_env.h"
#include "tessel/core/tessel_values.h"
#include "tessel/core/unreadable_line.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/bridge.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const int kColorMagenta = 13;

}  // namespace

bool cTesselCmd::BridgeTarget(cBridge* bridge, std::string& name, cCmdArray*& array) {
  if (bridge == nullptr) return false;
  name = bridge->GetNameStr();
  array = bridge->IsNext() ? bridge->GetNext() : static_cast<cCmdArray*>(bridge);
  return true;
}

cTesselCmd& cTesselCmd::Instance() {
  static cTesselCmd s_console;
  static const bool registered = [] {
    cCmdArray::SetConsole(&s_console);
    return true;
  }();
  (void)registered;
  return s_console;
}

void cTesselCmd::Start() {
  RunStartScript();
  m_pCurCmd = GetCmd(0);
  PublishNames();
}

void cTesselCmd::PublishNames() {
  std::vector<std::string> names;
  if (m_pCurCmd != nullptr) names = m_pCurCmd->FunctionNames();
  std::lock_guard<std::mutex> hold(m_inputLock);
  m_names = std::move(names);
}

std::vector<std::string> cTesselCmd::CurrentNames() const {
  std::lock_guard<std::mutex> hold(m_inputLock);
  return m_names;
}

void cTesselCmd::SetCmd(const char* text) {
  if (*text == '\0') return;
  size_t waiting = 0, bytes = 0;
  bool taken = false, say = false;
  unsigned long more = 0;
  {
    // The line is read (measured and copied) under the lock only: a fault reading it is one
    // under the lock, which the crash status copying the input does not wait for.
    std::lock_guard<std::mutex> hold(m_inputLock);
    const size_t size = std::strlen(text);
    waiting = m_inputs.size();
    bytes = m_inputBytes;
    // 1024 lines of 16 MiB each (as long as a piped line may be) held 16 GiB while the worker
    // ran a long command.
    taken = waiting < kMaxPendingLines && (waiting == 0 || bytes + size <= kMaxPendingBytes);
    if (taken) {
      m_inputs.emplace_back(text, size);
      m_inputBytes += size;
    }
    const uint32_t now = platform::TimeGetTime();
    more = TakeUnsaidDrops(now);
    say = !taken && platform::ElapsedMs(m_dropSaidMs, now) >= 1000;
    if (say) m_dropSaidMs = now;
    if (!taken && !say) ++m_dropsUnsaid;
  }
  // Said with the lock released: a standard error that blocks (a full pipe to a logger) must not
  // hold the worker, which takes the lock for every line.
  SayMoreDropped(more);
  if (say) SayDrop(waiting, bytes);
  if (!taken) return;
  // The line runs at once, not at the worker's next periodic pass.
  GetHost().WakeWorker();
}

unsigned long cTesselCmd::TakeUnsaidDrops(uint32_t nowMs) {
  if (m_dropsUnsaid == 0 || platform::ElapsedMs(m_dropSaidMs, nowMs) < 1000) return 0;
  return std::exchange(m_dropsUnsaid, 0);
}

void cTesselCmd::SayDrop(size_t waiting, size_t bytes) {
  std::cerr << "console line dropped, " << waiting << " lines";
  if (waiting < kMaxPendingLines) std::cerr << " of " << (bytes >> 20) << " MiB";
  std::cerr << " wait already" << std::endl;
}

void cTesselCmd::SayMoreDropped(unsigned long count) {
  if (count != 0)
    std::cerr << "console line dropped, " << count << " more lines dropped" << std::endl;
}

std::string cTesselCmd::GetCurInput() const {
  std::lock_guard<std::mutex> hold(m_inputLock);
  return m_inputs.empty() ? std::string() : m_inputs.front();
}

bool cTesselCmd::HasInput() const {
  std::lock_guard<std::mutex> hold(m_inputLock);
  return !m_inputs.empty();
}

bool cTesselCmd::CopyCurInput(char* out, size_t size) const {
  std::unique_lock<std::mutex> hold(m_inputLock, std::try_to_lock);
  if (!hold.owns_lock() || size == 0) return false;
  const std::string_view line = m_inputs.empty() ? std::string_view() : m_inputs.front();
  // A password (of a login, of SetConnect) is never shown: the line ends at the word, as the
  // masking does for any line it cannot read as such a call; a line that an alias or a
  // replacement makes such a call ends after its word.
  std::string_view word;
  size_t login = SecretWordAt(line, &word);
  if (const size_t end = cAlias::SecretWordEnd(line); end < login) {
    login = end;
    word = {};
  }
  size_t n = std::min(login == std::string_view::npos ? line.size() : login, size - 1);
  std::memcpy(out, line.data(), n);
  if (login != std::string_view::npos) {
    for (const std::string_view part : {word, std::string_view("(***)")}) {
      const size_t more = std::min(part.size(), size - 1 - n);
      std::memcpy(out + n, part.data(), more);
      n += more;
    }
  }
  out[n] = '\0';
  return true;
}

void cTesselCmd::Run() {
  TESSEL_ASSERT_WORKER();
  cShellJobs::Instance().Deliver();
  std::string line;
  unsigned long more = 0;
  {
    std::lock_guard<std::mutex> hold(m_inputLock);
    if (m_inputs.empty())
      more = TakeUnsaidDrops(platform::TimeGetTime());
    else
      line = m_inputs.front();
  }
  // No line waits (SetCmd takes no empty one): the count of a flood's last drops is said at the
  // first pass after their second; a flood whose lines had all run within that second left it
  // unsaid until another line came, for hours on a quiet console.
  if (line.empty()) return SayMoreDropped(more);
  get_gout().SetLocalInput(true);
  RestoreOperatorCursor(std::cout);
  {
    const cAuditScope console(cAuditScope::stWho(eAuditSource::Console, "console"));
    ParseCmd(line.c_str(), std::cout);
  }
  PublishNames();
  {
    // Lines handed over while this one ran wait behind it for the next passes.
    std::lock_guard<std::mutex> hold(m_inputLock);
    m_inputBytes -= m_inputs.front().size();
    m_inputs.pop_front();
    more = TakeUnsaidDrops(platform::TimeGetTime());
  }
  // The count of a flood's last drops, when no later line comes to say it.
  SayMoreDropped(more);
  if (m_bPrintPrompt) std::cout << "!>" << std::flush;
  get_gout().SetLocalInput(false);
}

// The console's cursor is the operator's: a link's ShiftCmd(3), ParseCmd('/3') or
// ShiftCmds('game',0) moves it for the rest of that command's text only.
void cTesselCmd::KeepOperatorCursor() {
  ReturnCursorOfOtherCode();
  if (m_operatorCursor || (cPeerEnvScope::Current() == nullptr && !cCmdRightsScope::Current()))
    return;
  m_operatorCursor = stCursor{m_pCurArray, m_pCurCmd};
  m_cursorMovedIn = cCmdRightsScope::OuterSerial();
}

void cTesselCmd::ReturnCursorOfOtherCode() {
  if (!m_operatorCursor || m_cursorMovedIn == cCmdRightsScope::OuterSerial()) return;
  m_pCurArray = m_operatorCursor->array;
  m_pCurCmd = m_operatorCursor->cmd;
  m_operatorCursor.reset();
}

void cTesselCmd::RestoreOperatorCursor(std::ostream& os) {
  if (!m_operatorCursor) return;
  const stCursor moved{m_pCurArray, m_pCurCmd};
  m_pCurArray = m_operatorCursor->array;
  m_pCurCmd = m_operatorCursor->cmd;
  m_operatorCursor.reset();
  if (moved.array == m_pCurArray && moved.cmd == m_pCurCmd) return;
  os << "cmd stays in " << (m_pCurCmd != nullptr ? m_pCurCmd->GetName() : "no cmd")
     << ": a link's command moved the cursor to "
     << (moved.cmd != nullptr ? moved.cmd->GetName() : "no cmd") << " for links only" << std::endl;
}

// The function "init" of the script "exe/init_" + executable name. Its loading and its call
// keep to lua_time_limit as a console line does: a script that never returns would hold the
// process before its console and links start, deaf to the signals that end it.
void cTesselCmd::RunStartScript() {
  const std::string file = "exe/init_" + cTesselValues::Instance().GetExeName();
  // A program may have no start script; one copied under other letter case is named.
  if (std::error_code ec; !std::filesystem::exists(file, ec)) ReportOtherCase(file);
  const cCmd* group = GetCmd(0);
  std::optional<cLuaCommandLimit> limit;
  if (group != nullptr && group->GetLua() != nullptr) limit.emplace(group->GetLua());
  RunScriptFileFunc(file.c_str(), "init");
}

void cTesselCmd::ParseCmd(const char* text, std::ostream& os) {
  ReturnCursorOfOtherCode();
  std::string line = text;
  if (ParseQuestion(line, os)) return;
  const std::string typed = line;
  const bool replaced = cAlias::Instance().Alias(line);
  // What an alias expands to is recorded as the alias's.
  std::optional<cAuditScope> alias;
  if (line != typed) alias.emplace(cAuditScope::stWho{eAuditSource::Alias});
  if (replaced) {
    os << "【alias】 to ";
    platform::SetColor(kColorMagenta);
    os << MaskCmdText(line) << std::endl;  // a pasted password is not shown
    platform::SetColor(platform::kColorBrightWhite);
  }
  if (line.size() < 2) {
    KeepOperatorCursor();
    cCmd* to = nullptr;
    if (line == "n") to = m_pCurArray->NextCmd(m_pCurCmd);
    if (line == "p") to = m_pCurArray->PrevCmd(m_pCurCmd);
    if (to != nullptr) ShiftCmd(to, false, os);
    return;
  }

  // Each parse keeps its own statement text: a statement that parses another line (a script
  // calling ParseCmd) must not overwrite the text the running command points at.
  const stCmdLine parts = SplitCmdLine(line);
  if (!parts.type.empty() || !parts.name.empty()) KeepOperatorCursor();
  const stCursor former{m_pCurArray, m_pCurCmd};
  if (parts.type == "0") {
    ShiftCmds("", 0, false, os);
  } else if (!parts.type.empty()) {
    ShiftCmdType(parts.type.c_str(), false, os);
  }
  if (!parts.name.empty()) {
    ShiftByName(parts.name, os);
  } else if (!parts.type.empty()) {
    m_pCurCmd = m_pCurArray->GetDefaultCmd();
  }
  if (!parts.statement.empty()) {
    if (m_pCurCmd != nullptr) m_pCurCmd->Do(parts.statement.c_str());
    m_pCurArray = former.array;
    m_pCurCmd = former.cmd;
  }
}

// A name starting with a digit is a level (its leading digits); any other is a group name.
void cTesselCmd::ShiftByName(const std::string& name, std::ostream& os) {
  if (std::isdigit(static_cast<unsigned char>(name[0]))) {
    const unsigned long level = std::strtoul(name.c_str(), nullptr, 10);
    ShiftCmd(GroupAt(m_pCurArray, level > 0x7fffffffUL ? -1 : static_cast<int>(level)), false, os);
  } else {
    ShiftCmd(m_pCurArray->FindCmd(name.c_str()), false, os);
  }
}

void cTesselCmd::ParseCmdTessel(const char* line, std::ostream& os) {
  ReturnCursorOfOtherCode();
  const stCursor former{m_pCurArray, m_pCurCmd};
  m_pCurArray = this;
  m_pCurCmd = GetCmd(0);
  ParseCmd(line, os);
  m_pCurArray = former.array;
  m_pCurCmd = former.cmd;
}

bool cTesselCmd::ParseQuestion(std::string& line, std::ostream& os) {
  os.flush();
  platform::SetColor(platform::kColorLightGreen);
  bool handled = true;
  if (line == "?") {
    if (m_pCurCmd != nullptr) m_pCurCmd->Do("Help()");
    os << "请按照格式输入命令，注意大小写的区别和引号的用法" << std::endl;
  } else if (line == "??") {
    if (m_pCurArray != nullptr) m_pCurArray->TraceCmds(os);
    os << "使用/1,/7,p,n,/tessel来切换" << std::endl;
  } else if (line == "???") {
    GetHost().ListServers(os);
    GetHost().ListClients(os);
    os << "使用//,//select,//global来切换" << std::endl;
  } else {
    handled = false;
  }
  os.flush();
  platform::SetColor(platform::kColorBrightWhite);
  return handled;
}

bool cTesselCmd::ShiftCmdType(const char* type, bool quiet, std::ostream& os) {
  KeepOperatorCursor();
  if (type[0] == '\0') {
    if (!quiet) os << "cmd bridge switch back to tessel " << std::endl;
    m_pCurArray = this;
    return true;
  }
  std::string name;
  cCmdArray* array = nullptr;
  if (!BridgeTarget(GetHost().FindBridge(type), name, array)) {
    if (!quiet) os << "not find the bridge" << std::endl;
    return false;
  }
  // An endpoint whose next switch is on but has no next array bound offers no array to move
  // into: the switch is refused.
  if (array == nullptr) {
    if (!quiet) os << "cmd bridge " << name << " has no next cmd array" << std::endl;
    return false;
  }
  // Nor does one without a group: every line typed there would run nowhere, without a word (a
  // command's ShiftCmds('game',0) left the console so).
  if (array->GetDefaultCmd() == nullptr) {
    if (!quiet) os << "cmd bridge " << name << " has no cmd group" << std::endl;
    return false;
  }
  if (!quiet) os << "cmd bridge switch to " << name << std::endl;
  m_pCurArray = array;
  return true;
}

void cTesselCmd::ShiftCmd(cCmd* cmd, bool quiet, std::ostream& os) {
  KeepOperatorCursor();
  if (cmd != nullptr) {
    if (!quiet) {
      if (m_pCurCmd != nullptr) {
        os << "cmd switch from " << m_pCurCmd->GetName() << " to " << cmd->GetName() << std::endl;
      } else {
        os << "cmd switch to  " << cmd->GetName() << std::endl;
      }
    }
    m_pCurCmd = cmd;
    return;
  }
  if (m_pCurCmd != nullptr) return;
  m_pCurCmd = m_pCurArray->GetDefaultCmd();
  if (!quiet && m_pCurCmd != nullptr) os << "cmd switch to 0 " << m_pCurCmd->GetName() << std::endl;
}

void cTesselCmd::ShiftCmd(int level, bool quiet, std::ostream& os) {
  ReturnCursorOfOtherCode();
  ShiftCmd(GroupAt(m_pCurArray, level), quiet, os);
}

void cTesselCmd::ShiftCmds(const char* type, int level, bool quiet, std::ostream& os) {
  if (!ShiftCmdType(type, quiet, os)) return;
  m_pCurCmd = nullptr;
  ShiftCmd(GroupAt(m_pCurArray, level), quiet, os);
}

void cTesselCmd::ShiftCmdsName(const char* type, const char* name, bool quiet, std::ostream& os) {
  if (!ShiftCmdType(type, quiet, os)) return;
  m_pCurCmd = nullptr;
  ShiftCmd(m_pCurArray->FindCmd(name), quiet, os);
}

cCmd* cTesselCmd::GroupAt(const cCmdArray* array, int level) {
  return level >= 0 ? array->GetCmd(static_cast<unsigned>(level)) : nullptr;
}
