// A command group: one Lua state with a fixed set of native functions registered as globals;
// running a command executes its text as a Lua chunk in that state. A group is created without
// a state, gets it at its first Create() and keeps it until Clear(). Worker thread only, except
// CurCmdText(), which any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tessel/core/chunk_cache.h"
#include "tessel/core/cmd_funcs.h"
#include "tessel/core/peer_env.h"

struct lua_State;
class cCmd;

// Told of every command Do runs (the host's metrics and the crash report's record of commands).
// Called on the thread that runs the command; must not run commands itself.
class iCmdObserver {
 public:
  // Before the text runs: the text as it may be shown (a password masked).
  virtual void OnCmdBegin(cCmd& group, const char* shownText) = 0;
  // After it ran (not after a fault that left it): how long it took.
  virtual void OnCmdEnd(cCmd& group, std::uint64_t nanoseconds) = 0;

 protected:
  ~iCmdObserver() = default;
};

class cCmd {
 public:
  cCmd();
  cCmd(const cCmd&) = delete;
  cCmd& operator=(const cCmd&) = delete;

  virtual ~cCmd();
  // Registers the group's functions into a freshly created state.
  virtual void bind_cln(lua_State* L) = 0;
  // False keeps Do from running the text.
  virtual bool CanDo(const char* text);
  virtual const char* GetName();

  // Creates and binds the state once; a group shared by several arrays is bound once.
  void Create();
  void Clear();
  lua_State* GetLua() const { return m_pLua; }

  // Runs one command; true on success. Errors (syntax, run time, bad arguments of a native
  // function) are reported on standard output and give false; the report of a login call
  // shows its password masked.
  bool Do(const char* text);

  // True when `name` occurs in GetName() right behind "cCmd_" (so a leading part matches).
  bool FindName(const char* name);
  // The functions the system registered in the group: what its bind_cln set (other groups'
  // functions it binds too) and the array's Output; none before Create(). A command served
  // for a peer cannot replace them.
  cCmdFuncs& Funcs() { return m_funcs; }
  const cCmdFuncs& Funcs() const { return m_funcs; }
  // Their names, sorted.
  std::vector<std::string> FunctionNames() const { return m_funcs.Names(); }
  // The group whose state L is (or a thread of it); null for any other state.
  static cCmd* OfState(lua_State* L);
  // Drops the environments a link has in every group: when the link goes down or logs out.
  static void DropPeerEnv(const stPeerKey& key) { cPeerEnvs::Drop(key); }
  // The same for every link of an endpoint (the endpoint ends).
  static void DropPeerEnvs(const void* endpoint) { cPeerEnvs::DropEndpoint(endpoint); }
  // How many links have an environment in the group.
  size_t PeerEnvCount() const { return m_envs.Count(); }
  void ReportCmdName(std::ostream& os);
  void ReportCmdDo(std::ostream& os);

  // Loads and calls chunks directly instead of through the base library.
  void SetDirect(bool direct) {
    m_bDirect = direct;
    m_chunks.Clear(m_pLua);  // their chunk names follow the mode
  }
  // The compiled chunks kept for texts run again.
  size_t KeptChunks() const { return m_chunks.Count(); }
  int GetRunCount() const { return m_nRun; }
  unsigned long GetRunTime() const { return m_ulRunTime; }

  static cCmd* GetCurCmd() { return s_pCurCmd; }
  // A copy of the command text being run, "" when none, a password masked; any thread.
  static std::string CurCmdText();
  // The same into `out` (cut to size - 1 bytes), without allocating; false, without waiting,
  // when the text's lock is held (a crash report may be written under it).
  static bool CopyCurCmdText(char* out, std::size_t size);
  // Where a failed command's error lines go besides standard output and the log: the floor
  // that serves requesters from other processes installs the way back to them. Any thread.
  static void SetErrorEcho(void (*echo)(const std::string& line));
  // The observer of every command run from now on (null: none). Any thread.
  static void SetObserver(iCmdObserver* observer);

  // Text of the command being run by Do, "" when none (worker thread only).
  static const char* s_szCmd;
  // Set only by the hosting program.
  static cCmd* s_pCurCmd;

 private:
  bool RunChunk(const char* text);
  bool RunReportedChunk(const char* text);
  static void EchoError(const std::string& line);
  static void ReportRefusal();
  // lua_pcall of the loaded chunk as one of the system's protected calls (cLuaCallScope).
  int ProtectedCall(int argCount);
  // Pushes the chunk of `text` (kept from an earlier run when it may be) or the load error.
  int LoadText(const char* text, const char* chunkName);
  static void SetCurText(const char* text);
  // The same with the text as shown already made (masked when it may hold a password).
  static void SetCurText(const char* text, const char* shown);

  int m_nRun = 0;
  unsigned long m_ulRunTime = 0;
  lua_State* m_pLua = nullptr;
  bool m_bDirect = false;
  int m_nDepth = 0;  // Do calls of this group running, the outermost included
  cChunkCache m_chunks;
  cCmdFuncs m_funcs;
  cPeerEnvs m_envs{m_funcs};
};
