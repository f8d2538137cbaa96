// Scripts that wait: StartYield runs a function as a coroutine; each Yield(ms) inside it
// suspends the coroutine and a timer of the timer manager resumes it after that many
// milliseconds. The waiters of a state belong to the state and die with it, so a timer never
// resumes a closed state.
#include <atomic>
#include <climits>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "baselib/script_report.h"
#include "tessel/contracts/baselib.h"

namespace {

const char kYieldKey[] = "baselib.yield";

std::atomic<LuaDeferContextMaker> g_deferMaker{nullptr};
// The coroutines of links' commands kept in every state: a loop of StartYield from one account
// had the worker resume a hundred thousand of them at each tick (eight times slower in one
// group's state, and every group has one).
std::atomic<std::size_t> g_linkCoroutines{0};

class cYieldSet;

// The milliseconds of Yield(ms): none for no number, NaN or less; a wait beyond what the timers
// count (math.huge) lasts for ever.
unsigned long WaitMs(double ms) {
  if (!(ms > 0)) return 0;
  return ms < 0x1p64 ? static_cast<unsigned long>(ms) : ULONG_MAX;
}

// `text` with its control bytes (line ends, ESC, DEL) as \xHH: a script's error message chose
// every byte, and its line in the log stays one line that colours nothing.
std::string EscapedLine(const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != 0x7F) {
      out += *p;
      continue;
    }
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// One suspended coroutine, anchored in the registry, woken by its timer.
class cYieldWaiter : public iTimerObjEx {
 public:
  cYieldWaiter(cYieldSet* set, int ref) : m_pSet(set), m_nRef(ref) {}
  unsigned long OnTimer(unsigned long id) override;

 private:
  cYieldSet* m_pSet;
  int m_nRef;
};

class cYieldSet {
 public:
  explicit cYieldSet(lua_State* L) : m_L(L) {}
  ~cYieldSet() { g_linkCoroutines -= m_linkRefs.size(); }
  std::size_t Count() const { return m_mapWaiters.size(); }

  // Resumes the coroutine at `ref` (its arguments pushed on it already) and keeps it waiting
  // when it yields a delay; otherwise drops it. Returns false when it failed. `from`, the
  // thread that resumes it at once (StartYield), lends it its count of nested C calls, as
  // coroutine.resume does: a coroutine that starts itself again and again (function f()
  // StartYield(f) end) ends with Lua's "C stack overflow" error instead of overrunning the
  // worker's stack.
  bool Resume(int ref, int argCount, lua_State* from = nullptr) {
    lua_rawgeti(m_L, LUA_REGISTRYINDEX, ref);
    lua_State* co = lua_tothread(m_L, -1);
    lua_pop(m_L, 1);
    if (from != nullptr) lua_setlevel(from, co);
    stResume resume{co, argCount, 0};
    auto context = m_mapContexts.find(ref);
    if (context != m_mapContexts.end() && context->second) {
      context->second->Run(&stResume::Run, &resume);
    } else {
      stResume::Run(&resume);
    }
    const int rc = resume.rc;
    if (context != m_mapContexts.end() && context->second) {
      const bool ok = rc == 0 || rc == LUA_YIELD;
      context->second->Done(ok, ok ? nullptr : lua_tostring(co, -1));
    }
    if (rc == LUA_YIELD) {
      const double ms = lua_isnumber(co, -1) ? lua_tonumber(co, -1) : 0;
      lua_settop(co, 0);
      Wait(ref, WaitMs(ms));
      return true;
    }
    Drop(ref);
    return rc == 0;
  }

  // Keeps who the coroutine at `ref` runs for.
  void Keep(int ref, std::unique_ptr<cLuaDeferContext> context) {
    if (!context) return;
    if (context->ForLink() && m_linkRefs.insert(ref).second) ++g_linkCoroutines;
    m_mapContexts[ref] = std::move(context);
  }

  // Called from the waiter's own OnTimer: the waiter is destroyed here.
  void Wake(int ref) {
    m_mapWaiters.erase(ref);
    lua_rawgeti(m_L, LUA_REGISTRYINDEX, ref);
    lua_State* co = lua_tothread(m_L, -1);
    lua_pop(m_L, 1);
    if (co != nullptr) Resume(ref, 0);
  }

 private:
  void Wait(int ref, unsigned long ms) {
    auto waiter = std::make_unique<cYieldWaiter>(this, ref);
    waiter->AddTimer(TimeRange_MS, TimerEnum_Once, ms, 0);
    m_mapWaiters[ref] = std::move(waiter);
  }
  struct stResume {
    lua_State* co;
    int argCount;
    int rc;
    // The error is said here, within the context of whom the code runs for: the console's
    // bound on that account's lines holds it too (many coroutines may fail at one tick).
    static void Run(void* arg) {
      auto* resume = static_cast<stResume*>(arg);
      cLuaCallScope scope(resume->co);
      resume->rc = lua_resume(resume->co, resume->argCount);
      if (resume->rc != 0 && resume->rc != LUA_YIELD) ReportError(resume->co);
    }
  };

  static void ReportError(lua_State* co) {
    static const loglib::logger yieldLog("script.yield");
    const char* msg = lua_tostring(co, -1);
    // The message is the script's (error('...') chooses every byte): one error, one line.
    const std::string line =
        "StartYield error " + (msg != nullptr ? EscapedLine(msg) : "(no message)");
    std::cout << line << '\n';
    tessel_write(yieldLog, line);
  }

  void Drop(int ref) {
    if (m_linkRefs.erase(ref) != 0) --g_linkCoroutines;
    m_mapWaiters.erase(ref);
    m_mapContexts.erase(ref);
    luaL_unref(m_L, LUA_REGISTRYINDEX, ref);
  }

  lua_State* m_L;
  std::map<int, std::unique_ptr<cYieldWaiter>> m_mapWaiters;
  std::map<int, std::unique_ptr<cLuaDeferContext>> m_mapContexts;
  std::set<int> m_linkRefs;  // coroutines of links' commands, counted in g_linkCoroutines
};

unsigned long cYieldWaiter::OnTimer(unsigned long) {
  cYieldSet* set = m_pSet;
  const int ref = m_nRef;
  // A script dropped while this coroutine runs is closed only when the manager is idle.
  cScriptManager& manager = cScriptManager::Instance();
  manager.EnterScript();
  set->Wake(ref);  // destroys this waiter
  manager.LeaveScript();
  PassOnLuaFault();
  return 0;
}

int YieldSetGc(lua_State* L) {
  static_cast<cYieldSet*>(lua_touserdata(L, 1))->~cYieldSet();
  return 0;
}

// The state's waiter set, created with the first StartYield.
cYieldSet* GetYieldSet(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, kYieldKey);
  auto* set = static_cast<cYieldSet*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  if (set != nullptr) return set;
  lua_State* main = L;
  lua_getfield(L, LUA_REGISTRYINDEX, "baselib.main");
  if (lua_isthread(L, -1)) main = lua_tothread(L, -1);
  lua_pop(L, 1);
  void* mem = lua_newuserdata(L, sizeof(cYieldSet));
  set = new (mem) cYieldSet(main);
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, &YieldSetGc);
  lua_setfield(L, -2, "__gc");
  lua_setmetatable(L, -2);
  lua_setfield(L, LUA_REGISTRYINDEX, kYieldKey);
  return set;
}

// Keeps the context the system makes for coroutine `ref`; false, keeping nothing, when it is a
// link's and links keep as many as they may. (Apart from StartYield: a Lua error raised there
// must not jump over a live context.)
bool AdoptContext(cYieldSet* set, int ref, lua_State* co) {
  std::unique_ptr<cLuaDeferContext> context;
  if (LuaDeferContextMaker maker = g_deferMaker.load()) context = maker(co);
  if (context && context->ForLink() && g_linkCoroutines.load() >= kMaxLinkCoroutines) return false;
  set->Keep(ref, std::move(context));
  return true;
}

// StartYield(f, ...): runs f(...) as a coroutine until it first waits or ends.
int StartYield(lua_State* L) {
  luaL_checktype(L, 1, LUA_TFUNCTION);
  const int argCount = lua_gettop(L) - 1;
  cYieldSet* set = GetYieldSet(L);
  lua_State* co = lua_newthread(L);
  // A fresh coroutine has room for a few values only: lua_xmove writes past its stack.
  if (!lua_checkstack(co, argCount + 1))
    return luaL_error(L, "StartYield refused: %d arguments are too many", argCount);
  lua_insert(L, 1);
  lua_xmove(L, co, argCount + 1);
  const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
  if (!AdoptContext(set, ref, co)) {
    luaL_unref(L, LUA_REGISTRYINDEX, ref);
    return luaL_error(L, "StartYield refused: %d coroutines of links wait already",
                      static_cast<int>(kMaxLinkCoroutines));
  }
  lua_pushboolean(L, set->Resume(ref, argCount, L) ? 1 : 0);
  PassOnLuaFault();
  return 1;
}

// Yield(ms): inside StartYield, waits ms milliseconds.
int Yield(lua_State* L) {
  const lua_Number ms = luaL_checknumber(L, 1);
  if (lua_pushthread(L) == 1) return luaL_error(L, "Yield outside StartYield");
  lua_pop(L, 1);
  lua_settop(L, 0);
  lua_pushnumber(L, ms);
  return lua_yield(L, 1);
}

int YieldCount(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(GetYieldSet(L)->Count()));
  return 1;
}

}  // namespace

void SetLuaDeferContextMaker(LuaDeferContextMaker maker) {
  g_deferMaker.store(maker);
}

void RegisterFunc_Yield(lua_State* L) {
  // Remember the main thread: registry work and resumes run on it, not on a coroutine.
  if (lua_pushthread(L) == 1) {
    lua_setfield(L, LUA_REGISTRYINDEX, "baselib.main");
  } else {
    lua_pop(L, 1);
  }
  lua_register(L, "StartYield", &StartYield);
  lua_register(L, "Yield", &Yield);
  lua_register(L, "YieldCount", &YieldCount);
}

void Help_Yield(std::ostream& os) {
  static const char* const lines[] = {
      "【等待函数】",
      "\t启动等待函数\t --- StartYield(func, ...)",
      "\t等待毫秒\t --- Yield(1000)",
      "\t等待中的函数\t --- YieldCount()",
  };
  for (const char* line : lines) os << line << '\n';
}
