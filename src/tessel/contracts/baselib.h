// The base library as the system sees it: Lua 5.1 script states and the script manager, the
// helper and registration functions, the timer manager, the game clock and two loggers.
// Lua states belong to the thread that runs them (the worker); see each header for the rest.
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "tessel/contracts/game_time.h"
#include "tessel/contracts/loglib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/timer.h"
#include "tessel/contracts/timer_manager.h"

// One Lua state with the standard libraries. Errors of the text and calls below are written to
// standard output and to the logger "script.error", then popped; the state stays usable.
class KLuaScript {
 public:
  // A fresh state; `name` names it in error messages (the script manager uses the script name).
  explicit KLuaScript(const std::string& name = "KLuaScript");
  virtual ~KLuaScript();
  KLuaScript(const KLuaScript&) = delete;
  KLuaScript& operator=(const KLuaScript&) = delete;

  lua_State* GetLua() const { return m_L; }
  const std::string& GetName() const { return m_strName; }

  // Called with the loaded chunk on top of the stack, before it runs: 0 lets it run; a Lua
  // error code, with the error message left in the chunk's place, stops it as that error.
  using ChunkSetup = std::function<int(lua_State*)>;
  // Runs `text` as a chunk (with `setup` applied to it when given). Mode 0 drops the chunk's
  // results; mode 1 leaves all of them on the stack for the caller (who pops them). 0 on
  // success, else the Lua error code.
  int _DoString(const char* text, int mode, const ChunkSetup& setup = nullptr);
  int DoString(const char* text) { return _DoString(text, 0); }
  int DoString1(const char* text) { return _DoString(text, 1); }
  // Runs a command text (chunk name "cmd"); 0 on success, else the Lua error code.
  int DoCmd(const char* text);
  // The same with `setup` applied to the chunk (an environment of its own, for instance).
  int DoCmd(const char* text, const ChunkSetup& setup);
  // Calls the global `function` with the `argCount` values on top of the stack. The caller may
  // push that function itself just below the arguments or leave it to Call. On success the
  // `resultCount` results (all of them for LUA_MULTRET) are left on the stack and their number
  // is returned; on failure nothing is left and -1 is returned.
  int Call(const char* function, int argCount, int resultCount);
  // Loads and runs a file in this state; 0 on success, else the Lua error code (LUA_ERRFILE
  // when it cannot be read).
  int DoFile(const std::string& path);
  // Runs a chunk held in memory under `chunk` as its name; as DoFile.
  int DoBuffer(const std::string& code, const std::string& chunk);

 private:
  lua_State* m_L;
  std::string m_strName;
};

// Registered in a state: called with every state the script manager creates.
using ScriptBindFunc = void (*)(lua_State*);

// The process's scripts, one Lua state each. A script is named by its path relative to the
// script folder (or inside the archive), without ".lua"; '\' and repeated '/' count as one '/'
// ("SafeCall//a" is the file SafeCall/a.lua). A script is created, bound and run the first
// time it is asked for. Worker thread only.
class cScriptManager {
 public:
  static cScriptManager& Instance();
  cScriptManager();
  ~cScriptManager();
  cScriptManager(const cScriptManager&) = delete;
  cScriptManager& operator=(const cScriptManager&) = delete;

  // Sets the script folder ("" or null: the working directory) and lists the .lua files under
  // it (sub-folders included); returns how many were found.
  int CreateScript(const char* path);
  // Names an archive written by ZipDir whose scripts are used where the folder has none
  // ("" or null: none). False when the archive cannot be read; the archive in use then stays.
  bool SetZip(const char* zip);
  void SetBindFunc(ScriptBindFunc bind) { m_pBind = bind; }
  ScriptBindFunc GetBindFunc() const { return m_pBind; }

  // The script of that name, created on first use; null when there is no such file or it
  // fails to load (the error is reported).
  KLuaScript* GetScript(const char* name);
  // Drops a loaded script (it is loaded again when next asked for); false when not loaded.
  // A dropped script's state is closed only once no script run through the manager is busy,
  // so a script may drop or reload itself.
  bool ClearAScript(const char* name);
  // Drops every loaded script and lists the folder and the archive again; returns the number
  // of scripts found.
  int ReloadAll();
  // Drops every script and forgets the folder, the archive and the binding callback.
  void Clear();
  // The script name of a path, or "" when the path leaves the script folder.
  static std::string NormalName(const std::string& name);
  // The file a script name resolves to in the folder ("" when absent); a regular file first,
  // else whatever stands there (a pipe, a folder), for the loader to refuse by name.
  std::string FindFile(const std::string& name) const;
  const std::string& GetPath() const { return m_strPath; }
  std::size_t GetLoadedCount() const;
  // Bracket a call into a manager script made from outside the manager, so that scripts
  // dropped meanwhile are closed only afterwards.
  void EnterScript();
  void LeaveScript();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_pImpl;
  std::string m_strPath;
  ScriptBindFunc m_pBind = nullptr;
};

// Loads Lua source as luaL_loadbuffer does, but never a precompiled chunk: a text whose first
// byte is ESC (the mark of Lua bytecode, which Lua 5.1 runs unverified) is refused with
// LUA_ERRSYNTAX and "<chunk>: precompiled chunk refused, only source text is loaded" on the
// stack. Every text the system hands to Lua is loaded through this.
int LoadLuaSource(lua_State* L, const char* text, size_t size, const char* chunkName);
int LoadLuaSource(lua_State* L, const char* text, const char* chunkName);
// Loads a file of Lua source as luaL_loadfile does (a first line starting with '#' is skipped;
// the chunk is named "@path"; LUA_ERRFILE when it cannot be read); bytecode is refused as above.
int LoadLuaSourceFile(lua_State* L, const char* path);
// Loads as LoadLuaSource, each tail call of the chunk (`return f(x)`) compiled as an ordinary
// call of the same meaning: every Lua function's caller stays on the stack, for code whose
// callers' rights are looked up there. Unchanged when the interpreter's chunks are not laid
// out as Lua 5.1's on this machine; LUA_ERRMEM when memory runs out.
int LoadLuaSourceNoTailCalls(lua_State* L, const char* text, size_t size, const char* chunkName);
// The chunk just loaded on top of L compiled again so, as above (0, or an error in its place).
int RecompileWithoutTailCalls(lua_State* L);
// While the thread holds it (counted), every load of LoadLuaSource, hence of the loaders below,
// is one of LoadLuaSourceNoTailCalls.
void HoldNoTailCalls(bool hold);
bool NoTailCallsHeld();
// Replaces loadstring, load, loadfile, dofile and the Lua-file searcher of require in L by
// versions that load source only; loadfile and dofile need a file name (no standard input).
void UseSourceOnlyLoaders(lua_State* L);

// Native faults inside Lua calls. Lua 5.1 is C: a C++ exception must never unwind a state's
// frames (the state keeps the call depth it had and, after about 200 escapes, refuses every
// chunk). A fault meant for the crash guard is kept for the thread (KeepLuaFault) and raised in
// Lua as an ordinary error (RaiseLuaFault). Each protected call of the system runs inside a
// cLuaCallScope and, once it has cleaned up, calls PassOnLuaFault: inside an outer Lua call that
// call is stopped the same way at its next instruction; outside every Lua call the kept
// exception is thrown on, to the crash guard. Thread of the state.
class cLuaCallScope {
 public:
  explicit cLuaCallScope(lua_State* L);
  ~cLuaCallScope();
  cLuaCallScope(const cLuaCallScope&) = delete;
  cLuaCallScope& operator=(const cLuaCallScope&) = delete;
};
void KeepLuaFault(std::exception_ptr fault);
// Raises the Lua error that stands for the kept fault; never returns.
int RaiseLuaFault(lua_State* L);
bool LuaFaultPending();
void PassOnLuaFault();
// Stops every protected call in progress on this thread the same way, with `message` as the
// Lua error each raises at its next instruction until it ends: a refused call ends the whole
// command, whatever pcall it runs in.
void StopLuaCalls(const char* message);

// Called with every state a KLuaScript makes, after its libraries are open: the system puts its
// checks on the builtins that reach the operating system there. Any thread, before use.
using LuaStateGuard = void (*)(lua_State*);
void SetLuaStateGuard(LuaStateGuard guard);
// Closes every state a KLuaScript made in its place (lua_close while none is set): the system
// runs the finalisers left there under its time limit. Any thread, before use.
using LuaStateCloser = void (*)(lua_State*);
void SetLuaStateCloser(LuaStateCloser closer);
// Makes every protected call of the library (KLuaScript's, lua_dostring) in place of lua_pcall
// (which it is while none is set): the system runs one made where no command runs (a timer's or
// a link's callback into a script) as a command of its own under its time limit. Any thread,
// before use.
using LuaStateCaller = int (*)(lua_State* L, int argCount, int resultCount);
void SetLuaStateCaller(LuaStateCaller caller);
// Runs the text RunScriptString gives a script's state in place of script.DoString(text) (which
// it is while none is set): the system runs a text a link's command gave in that link's own
// environment there, so that what one account defines is not what another one's call runs with
// its rights. Any thread, before use.
using LuaTextRunner = int (*)(KLuaScript& script, const char* text);
void SetLuaTextRunner(LuaTextRunner runner);

// Runs `text` in L under `chunkName`; 0 on success, else the Lua error code (the error is
// reported as by KLuaScript).
int lua_dostring(lua_State* L, const char* text, const char* chunkName);

// A native function table entry; a table ends with an entry whose name is null or empty.
struct Tlua_Funcs {
  const char* name;
  lua_CFunction func;
};
// Registers each entry as a global; returns how many were registered.
int RegisterScript(lua_State* L, const Tlua_Funcs* funcs);
// The library's operating-system functions: dofile, require, DeleteFolder, ZipDir.
Tlua_Funcs* GetOSFuncs();

// Loads the script `file` (a script name) if needed and calls its global `function` with no
// arguments; true when the function exists and ran without error.
bool RunScriptFileFunc(const char* file, const char* function);

// ReloadAll, RunScript, RunScriptTest, RunScriptString, RunScriptTestF.
void BindScriptCommon(lua_State* L);
// GetGameTime, SetGameTime, SetTimeMul, GetTimeMul, IsDay, IsNight.
void BindGameTime(lua_State* L);
// StartYield, Yield, YieldCount: scripts that wait on the timer manager. The coroutines that
// commands of links started (cLuaDeferContext::ForLink) keep to kMaxLinkCoroutines in the
// process, every state together; StartYield past it raises an error.
constexpr std::size_t kMaxLinkCoroutines = 10000;
void RegisterFunc_Yield(lua_State* L);
void Help_Yield(std::ostream& os = std::cout);

// Who a waiting coroutine runs for. The system installs a maker; StartYield keeps what it makes
// (null: nothing) and every later resume of that coroutine runs inside it, so that the code runs
// for whoever started it, not for whatever is being served when its timer fires.
class cLuaDeferContext {
 public:
  virtual ~cLuaDeferContext() = default;
  // Calls resume(arg) inside the context.
  virtual void Run(void (*resume)(void*), void* arg) = 0;
  // The resume that Run made ended: `ok` false with the error's message when it failed.
  virtual void Done(bool /*ok*/, const char* /*message*/) {}
  // Whether the code was started by a command that came over a link.
  virtual bool ForLink() const { return false; }
};
// The maker is given the coroutine that will run (for the limits each resume runs under).
using LuaDeferContextMaker = std::unique_ptr<cLuaDeferContext> (*)(lua_State* co);
// Any thread; the maker runs on the thread of the state.
void SetLuaDeferContextMaker(LuaDeferContextMaker maker);

// The help lines of BindGameTime's functions and of the operating-system functions.
void HelpScriptTessel(std::ostream& os = std::cout);

// The loggers "tessel.timererror" and "tessel.fetalerror"; write to them at level 1000.
const loglib::logger& tessel_timererror();
const loglib::logger& tessel_fetalerror();
// Writes one line to a logger at level 1000.
void tessel_write(const loglib::logger& l, const std::string& text);
