#include "tessel/console/cmd.h"

#include <cstring>
#include <iostream>
#include <lua.hpp>
#include <mutex>

#include "tessel/contracts/baselib.h"
#include "tessel/timers/timer_function.h"

namespace {

const size_t kLabelChars = 64;
const unsigned long kSlowCmdMs = 100;

// Mirror of s_szCmd for other threads (the console shows the running command).
std::mutex g_curTextLock;
std::string g_curText;

}  // namespace

const char* cCmd::s_szCmd = "";
cCmd* cCmd::s_pCurCmd = nullptr;

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
  if (m_pLua != nullptr) return;
  m_pLua = luaL_newstate();
  luaL_openlibs(m_pLua);
  bind_cln(m_pLua);
}

void cCmd::Clear() {
  if (m_pLua == nullptr) return;
  lua_close(m_pLua);
  m_pLua = nullptr;
}

bool cCmd::Do(const char* text) {
  if (!CanDo(text)) return false;
  char label[kLabelChars + 1];
  std::strncpy(label, text, kLabelChars);
  label[kLabelChars] = '\0';

  cTimerFunctionTessel guard(GetName(), label, kSlowCmdMs, 1);
  ++m_nRun;
  bool ok = false;
  if (m_pLua != nullptr) {
    const char* former = s_szCmd;
    SetCurText(text);
    ok = RunChunk(text);
    SetCurText(former);
  }
  m_ulRunTime += guard.Elapsed();
  return ok;
}

// Runs the chunk; on failure the error line names the group and the command.
bool cCmd::RunChunk(const char* text) {
  if (m_bDirect) {
    if (luaL_loadstring(m_pLua, text) == 0 && lua_pcall(m_pLua, 0, 0, 0) == 0) return true;
    lua_pop(m_pLua, 1);
    return false;
  }
  if (lua_dostring(m_pLua, text, GetName()) == 0) return true;
  std::cout << "cCmd::Do"
            << " error cmd " << GetName() << " do " << text << std::endl;
  return false;
}

void cCmd::SetCurText(const char* text) {
  s_szCmd = text;
  std::lock_guard<std::mutex> hold(g_curTextLock);
  g_curText = text;
}

std::string cCmd::CurCmdText() {
  std::lock_guard<std::mutex> hold(g_curTextLock);
  return g_curText;
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
  if (m_pLua == nullptr) return;
  os << "do: " << m_nRun / 1000 << " cost: " << m_ulRunTime / 1000 << " mem"
     << "(" << lua_gc(m_pLua, LUA_GCCOUNT, 0) << ")\t";
}
