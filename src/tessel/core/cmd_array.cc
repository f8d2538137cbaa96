#include "tessel/core/cmd_array.h"

#include <atomic>
#include <iostream>

#include "platform/console_color.h"
#include "platform/terminal_text.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/log_file.h"
#include "tessel/core/worker_thread.h"

namespace {

const int kLogKeepDays = 3;

// The answer of a command run on another process: its bytes are that process's choice, so no
// escape sequence or control byte of them reaches the console's terminal. Called by a narrowed
// account's command, its lines keep to the console's bound (console_bound.h).
void DefaultOutput(const char* text) {
  std::cout << "Output() " << platform::TerminalText(text) << std::endl;
}

}  // namespace

namespace {

std::atomic<cCmdArray*> g_console{nullptr};

}  // namespace

cCmdArray::cCmdArray() : m_pLog(new cLog) {}

cCmdArray* cCmdArray::Console() {
  return g_console.load();
}

void cCmdArray::SetConsole(cCmdArray* console) {
  g_console.store(console);
}

cCmdArray::~cCmdArray() {
  delete m_pLog;
}

void cCmdArray::AddCmd(unsigned level, cCmd* cmd) {
  TESSEL_ASSERT_WORKER();
  if (m_vCmd.size() <= level) m_vCmd.resize(level + 1, nullptr);
  cmd->Create();
  cmd->Funcs().SetLevel(static_cast<int>(level));
  m_vCmd[level] = cmd;
}

void cCmdArray::AddCmdOutput(unsigned level, cCmd* cmd, void (*fn)(const char*)) {
  AddCmd(level, cmd);
  luareg::push_function(cmd->GetLua(), fn != nullptr ? fn : &DefaultOutput);
  cmd->Funcs().Define(cmd->GetLua(), "Output");
}

void cCmdArray::AddCmdOutputF(unsigned level, cCmd* cmd, void (*fn)(const char*)) {
  if (fn != nullptr) {
    AddCmdOutput(level, cmd, fn);
  } else {
    AddCmd(level, cmd);
  }
}

void cCmdArray::RegisterOutput(int level, const char* name, void (*fn)(const char*)) {
  TESSEL_ASSERT_WORKER();
  cCmd* cmd = level >= 0 ? GetCmd(static_cast<unsigned>(level)) : nullptr;
  if (cmd != nullptr) {
    luareg::push_function(cmd->GetLua(), fn);
    cmd->Funcs().Define(cmd->GetLua(), name);
    return;
  }
  platform::SetColor(platform::kColorLightRed);
  std::cout << "error! RegisterOutput not find cmd!\n"
            << "这是因为你添加cmd的位置不对，应该在tessel.Start之后\n";
}

cCmd* cCmdArray::GetCmd(unsigned level) const {
  return level < m_vCmd.size() ? m_vCmd[level] : nullptr;
}

cCmd* cCmdArray::GetDefaultCmd() const {
  for (cCmd* cmd : m_vCmd) {
    if (cmd != nullptr) return cmd;
  }
  return nullptr;
}

int cCmdArray::FindCmd(cCmd* cmd) const {
  for (size_t level = 0; level < m_vCmd.size(); ++level) {
    if (m_vCmd[level] == cmd) return static_cast<int>(level);
  }
  return -1;
}

cCmd* cCmdArray::FindCmd(const char* name) const {
  for (cCmd* cmd : m_vCmd) {
    if (cmd != nullptr && cmd->FindName(name)) return cmd;
  }
  return nullptr;
}

cCmd* cCmdArray::NextCmd(cCmd* cur) const {
  const int at = cur != nullptr ? FindCmd(cur) : -1;
  if (at < 0) return GetDefaultCmd();
  const size_t count = m_vCmd.size();
  for (size_t step = 1; step < count; ++step) {
    cCmd* cmd = m_vCmd[(at + step) % count];
    if (cmd != nullptr) return cmd;
  }
  return nullptr;
}

cCmd* cCmdArray::PrevCmd(cCmd* cur) const {
  const int at = cur != nullptr ? FindCmd(cur) : -1;
  if (at < 0) return GetDefaultCmd();
  const size_t count = m_vCmd.size();
  for (size_t step = 1; step < count; ++step) {
    cCmd* cmd = m_vCmd[(at + count - step) % count];
    if (cmd != nullptr) return cmd;
  }
  return nullptr;
}

void cCmdArray::RunCmd(unsigned level, const char* text) {
  TESSEL_ASSERT_WORKER();
  cCmd* cmd = GetCmd(level);
  if (cmd != nullptr) cmd->Do(text);
}

void cCmdArray::TraceCmds(std::ostream& os) const {
  TESSEL_ASSERT_WORKER();
  if (m_vCmd.empty()) {
    os << "not find a cmd " << std::endl;
    return;
  }
  for (size_t level = 0; level < m_vCmd.size(); ++level) {
    if (m_vCmd[level] != nullptr) {
      os << "id " << level << " name " << m_vCmd[level]->GetName() << std::endl;
    }
  }
}

void cCmdArray::ReportCmdName(std::ostream& os) const {
  for (cCmd* cmd : m_vCmd) {
    if (cmd != nullptr) cmd->ReportCmdName(os);
  }
  os << "\n";
}

void cCmdArray::ReportCmdDo(std::ostream& os) const {
  for (cCmd* cmd : m_vCmd) {
    if (cmd != nullptr) cmd->ReportCmdDo(os);
  }
  os << "\n";
}

// The log opens in the folder `name`; its first line names the groups of the array.
void cCmdArray::CreateLog(const char* name) {
  m_pLog->Open(name, kLogKeepDays);
  m_pLog->TimeStamp() << "\t";
  ReportCmdName(*m_pLog);
}

// One line of run counts, run times and memory per group.
void cCmdArray::ReportLog() {
  TESSEL_ASSERT_WORKER();
  m_pLog->TimeStamp() << "\t";
  ReportCmdDo(*m_pLog);
  m_pLog->flush();
}

void cCmdArray::EndLog() {
  m_pLog->flush();
}
