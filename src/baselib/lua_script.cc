// KLuaScript, lua_dostring and RegisterScript.

#include "baselib/script_report.h"
#include "tessel/contracts/baselib.h"

using baselib::ReportLuaError;
using baselib::ReportScriptError;

#include <atomic>
#include <cstring>

namespace {

std::atomic<LuaStateGuard> g_stateGuard{nullptr};
std::atomic<LuaStateCloser> g_stateCloser{nullptr};
std::atomic<LuaStateCaller> g_stateCaller{nullptr};

// lua_pcall as one of the system's protected calls (see cLuaCallScope), through the system's
// caller when it set one.
int ProtectedCall(lua_State* L, int argCount, int resultCount) {
  cLuaCallScope scope(L);
  if (LuaStateCaller caller = g_stateCaller.load()) return caller(L, argCount, resultCount);
  return lua_pcall(L, argCount, resultCount, 0);
}

// What one protected load compiles: a file (`path`) or a text of `size` bytes, then the
// chunk's setup when one is given.
struct stLoad {
  const char* text;
  size_t size;
  const char* chunkName;
  const char* path;
  const KLuaScript::ChunkSetup* setup;
  int rc;
};

int LoadInCall(lua_State* L) {
  auto* load = static_cast<stLoad*>(lua_touserdata(L, 1));
  load->rc = load->path != nullptr ? LoadLuaSourceFile(L, load->path)
                                   : LoadLuaSource(L, load->text, load->size, load->chunkName);
  if (load->rc == 0 && load->setup != nullptr && *load->setup) load->rc = (*load->setup)(L);
  return load->rc == 0 ? 1 : lua_error(L);
}

// The load (and the chunk's setup: a link's environment, its recompiling without tail calls) as
// one of the protected calls: compiled under the system's limits, as code a command compiles
// with loadstring is. A script file, an archive's script or a text whose compiling takes more
// than the state's cap is refused with the cap's message instead of growing the process past it.
int ProtectedLoad(lua_State* L, stLoad load) {
  if (g_stateCaller.load() == nullptr) {
    load.rc = load.path != nullptr ? LoadLuaSourceFile(L, load.path)
                                   : LoadLuaSource(L, load.text, load.size, load.chunkName);
    return load.rc == 0 && load.setup != nullptr && *load.setup ? (*load.setup)(L) : load.rc;
  }
  lua_pushcfunction(L, &LoadInCall);
  lua_pushlightuserdata(L, &load);
  const int rc = ProtectedCall(L, 1, 1);
  return rc != 0 && load.rc != 0 ? load.rc : rc;
}

int ProtectedLoad(lua_State* L, const char* text, const char* chunkName,
                  const KLuaScript::ChunkSetup* setup = nullptr) {
  return ProtectedLoad(L, {text, std::strlen(text), chunkName, nullptr, setup, 0});
}

// The global `name`, fetched as one of the protected calls: a metatable of the globals may run
// code that raises an error (strict globals) or loops. Unprotected, such an error ends the
// process (Lua's panic), or inside a script's own call skips the native caller's cleanup.
int GetGlobalInCall(lua_State* L) {
  lua_getglobal(L, lua_tostring(L, 1));
  return 1;
}

}  // namespace

KLuaScript::KLuaScript(const std::string& name) : m_L(luaL_newstate()), m_strName(name) {
  if (m_L == nullptr) return;
  luaL_openlibs(m_L);
  UseSourceOnlyLoaders(m_L);
  if (LuaStateGuard guard = g_stateGuard.load()) guard(m_L);
}

void SetLuaStateGuard(LuaStateGuard guard) {
  g_stateGuard.store(guard);
}

void SetLuaStateCloser(LuaStateCloser closer) {
  g_stateCloser.store(closer);
}

void SetLuaStateCaller(LuaStateCaller caller) {
  g_stateCaller.store(caller);
}

// Code a script state ran may have left finalisers that Lua runs at the close.
KLuaScript::~KLuaScript() {
  if (m_L == nullptr) return;
  if (LuaStateCloser closer = g_stateCloser.load()) {
    closer(m_L);
  } else {
    lua_close(m_L);
  }
}

int KLuaScript::_DoString(const char* text, int mode, const ChunkSetup& setup) {
  if (m_L == nullptr || text == nullptr) return LUA_ERRSYNTAX;
  int rc = ProtectedLoad(m_L, text, m_strName.c_str(), &setup);
  if (rc == 0) rc = ProtectedCall(m_L, 0, mode == 1 ? LUA_MULTRET : 0);
  ReportLuaError(m_L, rc, "KLuaScript::DoString", m_strName);
  PassOnLuaFault();
  return rc;
}

int KLuaScript::DoCmd(const char* text) {
  return DoCmd(text, nullptr);
}

int KLuaScript::DoCmd(const char* text, const ChunkSetup& setup) {
  if (m_L == nullptr || text == nullptr) return LUA_ERRSYNTAX;
  int rc = ProtectedLoad(m_L, text, "cmd", &setup);
  if (rc == 0) rc = ProtectedCall(m_L, 0, 0);
  ReportLuaError(m_L, rc, "KLuaScript::DoCmd", m_strName);
  PassOnLuaFault();
  return rc;
}

int KLuaScript::Call(const char* function, int argCount, int resultCount) {
  if (m_L == nullptr || function == nullptr || argCount < 0 || lua_gettop(m_L) < argCount) {
    ReportScriptError("KLuaScript::Call", m_strName, "bad call arguments");
    return -1;
  }
  lua_pushcfunction(m_L, &GetGlobalInCall);
  lua_pushstring(m_L, function);
  if (const int rc = ProtectedCall(m_L, 1, 1); rc != 0) {
    ReportLuaError(m_L, rc, "KLuaScript::Call", m_strName + ":" + function);
    lua_pop(m_L, argCount);
    PassOnLuaFault();
    return -1;
  }
  // The caller may have pushed the function below its arguments already.
  const bool pushed = lua_gettop(m_L) >= argCount + 2 && lua_rawequal(m_L, -1, -(argCount + 2));
  if (pushed) {
    lua_pop(m_L, 1);
  } else if (!lua_isfunction(m_L, -1)) {
    lua_pop(m_L, argCount + 1);
    ReportScriptError("KLuaScript::Call", m_strName,
                      (std::string("no function ") + function).c_str());
    return -1;
  } else {
    lua_insert(m_L, -(argCount + 1));
  }
  const int base = lua_gettop(m_L) - argCount - 1;
  const int rc = ProtectedCall(m_L, argCount, resultCount);
  ReportLuaError(m_L, rc, "KLuaScript::Call", m_strName + ":" + function);
  PassOnLuaFault();
  return rc != 0 ? -1 : lua_gettop(m_L) - base;
}

int KLuaScript::DoFile(const std::string& path) {
  if (m_L == nullptr) return LUA_ERRMEM;
  int rc = ProtectedLoad(m_L, {nullptr, 0, nullptr, path.c_str(), nullptr, 0});
  if (rc == 0) rc = ProtectedCall(m_L, 0, 0);
  ReportLuaError(m_L, rc, "KLuaScript::DoFile", m_strName);
  PassOnLuaFault();
  return rc;
}

int KLuaScript::DoBuffer(const std::string& code, const std::string& chunk) {
  if (m_L == nullptr) return LUA_ERRMEM;
  const std::string chunkName = "@" + chunk;
  int rc = ProtectedLoad(m_L, {code.data(), code.size(), chunkName.c_str(), nullptr, nullptr, 0});
  if (rc == 0) rc = ProtectedCall(m_L, 0, 0);
  ReportLuaError(m_L, rc, "KLuaScript::DoBuffer", m_strName);
  PassOnLuaFault();
  return rc;
}

int lua_dostring(lua_State* L, const char* text, const char* chunkName) {
  if (L == nullptr || text == nullptr) return LUA_ERRSYNTAX;
  const char* chunk = chunkName != nullptr ? chunkName : text;
  int rc = ProtectedLoad(L, text, chunk);
  if (rc == 0) rc = ProtectedCall(L, 0, 0);
  ReportLuaError(L, rc, "lua_dostring", chunk);
  PassOnLuaFault();
  return rc;
}

int RegisterScript(lua_State* L, const Tlua_Funcs* funcs) {
  if (L == nullptr || funcs == nullptr) return 0;
  int count = 0;
  for (; funcs->name != nullptr && funcs->name[0] != '\0'; ++funcs) {
    if (funcs->func == nullptr) continue;
    lua_register(L, funcs->name, funcs->func);
    ++count;
  }
  return count;
}
