#include "tessel/core/lua_limits.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <lua.hpp>
#include <type_traits>

#include "tessel/core/config_stores.h"
#include "tessel/core/worker_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultTimeLimitSeconds = 10;
constexpr int kDefaultMemoryLimitMiB = 128;
// Instructions between two looks at the clock: rare enough to cost nothing measurable, often
// enough that a stop comes within a fraction of a millisecond.
constexpr int kHookInstructions = 1000;

// A limited state's memory; freed with the state's own block, the last one Lua releases.
struct stLuaMemory {
  size_t used = 0;
  size_t limit = 0;  // bytes; 0 = none
  bool refused = false;
  bool garbage = false;         // a command was refused, or left much: a collection is due
  bool garbageRefused = false;  // ... and a refused command left some of it
  size_t kept = 0;              // bytes the state held after its last collection here
  bool open = false;            // the state was made; its last block takes this along
  lua_State* main = nullptr;    // the state's main thread
  bool script = false;          // a script state of the base library (LimitScriptState)
  // The limits from the config store as of its change count `configRead` (read again when the
  // store has changed since).
  uint64_t configRead = ~uint64_t{0};
  int seconds = kDefaultTimeLimitSeconds;
  int mib = kDefaultMemoryLimitMiB;
};

// The limits of `memory`'s state, from the config store when it has changed since they were
// read (commands run thousands of times a second; the store changes rarely).
void ReadLimits(stLuaMemory& memory) {
  const uint64_t changes = GetConfigStore().Changes();
  if (changes == memory.configRead) return;
  memory.seconds = GetConfigValue("lua_time_limit", kDefaultTimeLimitSeconds);
  memory.mib = GetConfigValue("lua_memory_limit", kDefaultMemoryLimitMiB);
  // The count from before the reads: a change made while reading is read again next time (so
  // is the default a missing value leaves in the store).
  memory.configRead = changes;
}

// One command in progress on this thread, innermost last.
struct stCommand {
  lua_State* L;
  bool timed;
  int seconds;
  Clock::time_point deadline;
  bool stopped = false;
};

// The commands in progress on one thread, innermost last, in a fixed array: nothing of it ends
// before the thread does, so a singleton's destructor that closes a state at the process's exit
// (its finalisers run as a command) still finds it. A vector there was destroyed with the main
// thread's other objects first, and the close wrote into its freed block. Past kMax nested
// commands the innermost kept one stands for the deeper ones (their deadlines are its at most).
class cCommandStack {
 public:
  bool empty() const { return m_depth == 0; }
  stCommand& back() { return m_items[std::min(m_depth, kMax) - 1]; }
  void push_back(const stCommand& command) {
    if (m_depth < kMax) m_items[m_depth] = command;
    ++m_depth;
  }
  void pop_back() { --m_depth; }
  // Whether another command would be kept, and whether back() is the innermost one.
  bool full() const { return m_depth >= kMax; }
  bool exact() const { return m_depth <= kMax; }
  const stCommand* begin() const { return m_items; }
  const stCommand* end() const { return m_items + std::min(m_depth, kMax); }

 private:
  static constexpr size_t kMax = 256;  // as NestsTooDeep's message says
  stCommand m_items[kMax];
  size_t m_depth = 0;
};
static_assert(std::is_trivially_destructible_v<cCommandStack>);

thread_local cCommandStack t_commands;
std::atomic<bool> g_stopWorker{false};

void* LimitedAlloc(void* ud, void* ptr, size_t osize, size_t nsize);

stLuaMemory* MemoryOf(lua_State* L) {
  void* ud = nullptr;
  return lua_getallocf(L, &ud) == &LimitedAlloc ? static_cast<stLuaMemory*>(ud) : nullptr;
}

// Whether the cap holds now: for a group's state while any command runs; for a script state
// while the innermost command is its own. A group's command copies values into a script state
// outside any call there (SafeCall's arguments), where a refusal would have no call to end.
bool CapHolds(const stLuaMemory* memory) {
  if (t_commands.empty()) return false;
  return !memory->script || (t_commands.exact() && MemoryOf(t_commands.back().L) == memory);
}

void* LimitedAlloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* memory = static_cast<stLuaMemory*>(ud);
  if (nsize == 0) {
    std::free(ptr);
    memory->used -= osize;
    // The state's own block goes last (lua_close): nothing of the state is left.
    if (memory->used == 0 && memory->open) delete memory;
    return nullptr;
  }
  const size_t grow = nsize > osize ? nsize - osize : 0;
  // The command list (thread-local, dearer to reach) is looked at only past the limit.
  if (grow > 0 && memory->limit != 0 && memory->used + grow > memory->limit && CapHolds(memory)) {
    memory->refused = true;
    memory->garbage = true;
    memory->garbageRefused = true;
    return nullptr;
  }
  void* block = std::realloc(ptr, nsize);
  if (block != nullptr) memory->used = memory->used - osize + nsize;
  return block;
}

int Panic(lua_State* L) {
  std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n", lua_tostring(L, -1));
  return 0;
}

void LimitHook(lua_State* L, lua_Debug*);

// Every instruction checks from the stop on, in the running thread and in the state's main one.
[[noreturn]] void Stop(lua_State* L, stCommand* command, const char* why) {
  if (command != nullptr) {
    command->stopped = true;
    lua_sethook(command->L, lua_gethook(L), LUA_MASKCOUNT, 1);
  }
  lua_sethook(L, lua_gethook(L), LUA_MASKCOUNT, 1);
  luaL_error(L, "%s", why);
  std::abort();  // luaL_error does not return
}

bool Stopping() {
  return g_stopWorker.load(std::memory_order_relaxed) && IsWorkerThread();
}

// A thread that checks at every instruction since a command was stopped in it, and now runs for
// a command that is not stopped, checks at the usual pace again. The command's end puts back
// only its own thread's pace: a script state's, run by a stopped console line (RunScript of a
// function that looped), read the clock at every instruction of every later call for good.
void RelaxHook(lua_State* L) {
  if (lua_gethookcount(L) == 1 && lua_gethook(L) == &LimitHook)
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
}

// Stops the running command when the process ends or its time has passed; `what` (may be empty)
// comes first in the error, naming what was cut short. Only plain buffers live here: the error
// leaves the function without running destructors.
void CheckLimits(lua_State* L, const char* what) {
  stCommand* command = t_commands.empty() ? nullptr : &t_commands.back();
  char why[512];
  if (Stopping()) {
    std::snprintf(why, sizeof why, "%scommand stopped: the process is ending", what);
    Stop(L, command, why);
  }
  if (command == nullptr || !command->timed ||
      (!command->stopped && Clock::now() < command->deadline)) {
    RelaxHook(L);
    return;
  }
  std::snprintf(why, sizeof why,
                "%scommand time limit: stopped after %d s of Lua (lua_time_limit in "
                "config/config_int.ini)",
                what, command->seconds);
  Stop(L, command, why);
}

void LimitHook(lua_State* L, lua_Debug*) {
  CheckLimits(L, "");
}

int CollectGarbage(lua_State* L) {
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}

// Lua 5.1 does not collect when an allocation fails: a command refused at the cap leaves its
// garbage, and the state's next commands, which need memory to be compiled at all, would all
// be refused until the process ends. So when no command runs on the state (the last one ended,
// or before the next one starts) it is collected, on the main thread; finalisers may run Lua,
// so protected, and under the state's time limit as a command of their own (one that looped ran
// for good, no command being there to stop it); a failed collection is said on standard error.
// The cap is lifted for the collection's own call. The line names the garbage as a refused
// command's, or as what the commands before left (the collection at a command's start). true
// when a collection ran.
bool CollectRefusedGarbage(stLuaMemory* memory) {
  if (memory == nullptr || !memory->garbage || memory->main == nullptr) return false;
  if (std::any_of(t_commands.begin(), t_commands.end(),
                  [memory](const stCommand& command) { return MemoryOf(command.L) == memory; }))
    return false;
  const size_t limit = memory->limit;
  memory->limit = 0;
  ReadLimits(*memory);
  t_commands.push_back({memory->main, memory->seconds > 0, memory->seconds,
                        Clock::now() + std::chrono::seconds(memory->seconds)});
  if (lua_cpcall(memory->main, &CollectGarbage, nullptr) == 0) {
    memory->garbage = false;
    memory->garbageRefused = false;
    memory->kept = memory->used;
  } else {
    std::fprintf(stderr, "collection of %s failed: %s\n",
                 memory->garbageRefused ? "a refused command's garbage"
                                        : "the garbage the commands before left",
                 lua_isstring(memory->main, -1) ? lua_tostring(memory->main, -1) : "no message");
    lua_pop(memory->main, 1);
  }
  if (t_commands.back().stopped)
    lua_sethook(memory->main, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
  t_commands.pop_back();
  memory->limit = limit;
  return true;
}

}  // namespace

lua_State* NewLimitedLuaState() {
  auto* memory = new stLuaMemory;
  lua_State* L = lua_newstate(&LimitedAlloc, memory);
  if (L == nullptr) {
    delete memory;
    return nullptr;
  }
  memory->open = true;
  memory->main = L;
  lua_atpanic(L, &Panic);
  lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
  return L;
}

// Lua runs the finalisers left at lua_close, where no command runs: one that looped held the
// end (or whoever closed the state) for good. They run as a command of their own, under the
// state's time limit (ending no later than a command running meanwhile); once stopped, the rest
// stop at their first instruction, and the close goes on without them. The cap is lifted. Any
// other state (a script state of the base library) gets the limit's hook and the time the config
// store gives.
void CloseLimitedLuaState(lua_State* L) {
  stLuaMemory* memory = MemoryOf(L);
  int seconds = 0;
  if (memory != nullptr) {
    ReadLimits(*memory);
    memory->limit = 0;
    seconds = memory->seconds;
  } else {
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    seconds = GetConfigValue("lua_time_limit", kDefaultTimeLimitSeconds);
  }
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  if (seconds > 0 && !t_commands.empty() && t_commands.back().timed)
    deadline = std::min(deadline, t_commands.back().deadline);
  t_commands.push_back({L, seconds > 0, seconds, deadline});
  lua_close(L);
  const bool stopped = t_commands.back().stopped;
  t_commands.pop_back();
  if (stopped)
    std::fprintf(stderr,
                 "finalisers of a closed Lua state stopped after %d s (lua_time_limit in "
                 "config/config_int.ini)\n",
                 seconds);
}

namespace {

// Whether a call into L runs inside a command already: any command for a state without a cap,
// or one of a group's; for a script state only a command of its own (so that its cap holds).
bool InCommandOf(lua_State* L) {
  if (t_commands.empty()) return false;
  const stLuaMemory* memory = MemoryOf(L);
  return memory == nullptr || !memory->script ||
         (t_commands.exact() && MemoryOf(t_commands.back().L) == memory);
}

// A script state's call as a command of its own past the commands kept: the innermost would not
// be known, nor the cap whether it holds.
bool NestsTooDeep(lua_State* L) {
  const stLuaMemory* memory = MemoryOf(L);
  return memory != nullptr && memory->script && t_commands.full();
}

// A script state's refusal names the cap as a group's command does (the cap lifted for the line);
// a text's compilation refused ends with Lua's message too, as an error of its own.
void NoteScriptRefusal(lua_State* L, int luaResult) {
  stLuaMemory* memory = MemoryOf(L);
  if (luaResult == 0 || memory == nullptr || !memory->script || !memory->refused ||
      lua_type(L, -1) != LUA_TSTRING || std::strcmp(lua_tostring(L, -1), "not enough memory") != 0)
    return;
  const size_t limit = memory->limit;
  memory->limit = 0;
  lua_pushfstring(L,
                  "%s (a script's Lua state may hold %d MiB: lua_memory_limit in "
                  "config/config_int.ini)",
                  lua_tostring(L, -1), static_cast<int>(limit >> 20));
  lua_remove(L, -2);
  memory->limit = limit;
}

}  // namespace

int CallAsCommand(lua_State* L, int argCount, int resultCount) {
  int rc = 0;
  if (InCommandOf(L)) {
    rc = lua_pcall(L, argCount, resultCount, 0);
  } else if (NestsTooDeep(L)) {
    lua_pop(L, argCount + 1);
    lua_pushliteral(L, "script call refused: 256 commands run inside one another already");
    rc = LUA_ERRRUN;
  } else {
    const cLuaCommandLimit limit(L);
    rc = lua_pcall(L, argCount, resultCount, 0);
  }
  NoteScriptRefusal(L, rc);
  return rc;
}

// A state luaL_newstate made keeps its blocks with the C library's realloc and free, as the
// cap's allocator does: the allocator can take over, counting from what the state holds.
void LimitScriptState(lua_State* L) {
  if (lua_gethook(L) == nullptr) lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
  if (MemoryOf(L) != nullptr) return;
  auto* memory = new stLuaMemory;
  memory->used = static_cast<size_t>(lua_gc(L, LUA_GCCOUNT, 0)) * 1024 +
                 static_cast<size_t>(lua_gc(L, LUA_GCCOUNTB, 0));
  memory->kept = memory->used;
  memory->open = true;
  memory->main = L;
  memory->script = true;
  lua_setallocf(L, &LimitedAlloc, memory);
}

cLuaCommandLimit::cLuaCommandLimit(lua_State* L) : cLuaCommandLimit(L, Clock::now()) {}

// Whether what the state holds beyond what it kept at its last collection here takes more than
// half the room the cap leaves: Lua collects when the state has doubled since its last cycle, so a
// command that held most of the cap (ended or stopped at the time limit) left garbage that got the
// next command refused the memory it would have had (the cap's own refusal collects only after).
bool MuchGarbage(const stLuaMemory& memory) {
  const size_t cap = memory.mib > 0 ? static_cast<size_t>(memory.mib) << 20 : 0;
  return cap > memory.kept && memory.used > memory.kept &&
         memory.used - memory.kept > (cap - memory.kept) / 2;
}

cLuaCommandLimit::cLuaCommandLimit(lua_State* L, Clock::time_point began) {
  Clock::time_point now = began;
  stLuaMemory* memory = MemoryOf(L);
  if (memory != nullptr) {
    ReadLimits(*memory);
    if (MuchGarbage(*memory)) memory->garbage = true;
  }
  // The command's time begins after a collection there: one that ran into its own time limit (a
  // finaliser that looped) left the command none, stopped at its first check.
  if (CollectRefusedGarbage(memory)) now = std::max(now, Clock::now());
  if (memory != nullptr) ReadLimits(*memory);
  const int seconds = memory != nullptr
                          ? memory->seconds
                          : GetConfigValue("lua_time_limit", kDefaultTimeLimitSeconds);
  Clock::time_point deadline = now + std::chrono::seconds(seconds);
  // A command run by a timed one ends by that one's time: a batch's lines that run batches
  // leave the outer Lua no instruction at which to stop them.
  if (seconds > 0 && !t_commands.empty() && t_commands.back().timed)
    deadline = std::min(deadline, t_commands.back().deadline);
  t_commands.push_back({L, seconds > 0, seconds, deadline});
  if (memory != nullptr) {
    memory->limit = memory->mib > 0 ? static_cast<size_t>(memory->mib) << 20 : 0;
    memory->refused = false;
  }
}

namespace {

// A command stopped by the time of the one around it (it ends by that one's) stops that one too:
// else the outer Lua could end without one more check of its own and answer as if it had kept
// to its time (a console line whose call into a script state was stopped answered as done).
void StopOuterToo(const stCommand& done) {
  if (t_commands.empty()) return;
  stCommand& outer = t_commands.back();
  if (!outer.timed || (outer.deadline > done.deadline && !Stopping())) return;
  outer.stopped = true;
  lua_sethook(outer.L, &LimitHook, LUA_MASKCOUNT, 1);
}

}  // namespace

cLuaCommandLimit::~cLuaCommandLimit() {
  const bool innermost = t_commands.exact();
  const stCommand done = t_commands.back();
  t_commands.pop_back();
  // The state checks at its usual pace again.
  if (done.stopped) lua_sethook(done.L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
  if (done.stopped && innermost) StopOuterToo(done);
  // A coroutine's turn leaves it to the next command: the coroutine still holds its garbage.
  stLuaMemory* memory = MemoryOf(done.L);
  if (memory != nullptr && done.L == memory->main) CollectRefusedGarbage(memory);
}

std::string LuaLimitNote(lua_State* L, int luaResult) {
  const stLuaMemory* memory = MemoryOf(L);
  if (luaResult != LUA_ERRMEM || memory == nullptr || !memory->refused) return "";
  return " (the group's Lua state may hold " + std::to_string(memory->limit >> 20) +
         " MiB: lua_memory_limit in config/config_int.ini)";
}

// A limit past the longest is held to it: its milliseconds wrapped around, and 4294968 s ended a
// line after 0.7 s (536870912 s after none at all).
unsigned ShellTimeLimitSeconds() {
  const int limit = GetConfigValue("shell_time_limit", kDefaultShellLimitSeconds);
  return limit > 0 ? std::min(static_cast<unsigned>(limit), kMaxShellLimitSeconds)
                   : kDefaultShellLimitSeconds;
}

bool LuaCommandTimed() {
  return (!t_commands.empty() && t_commands.back().timed) || Stopping();
}

bool LuaCommandOverdue() {
  if (Stopping()) return true;
  if (t_commands.empty() || !t_commands.back().timed) return false;
  return t_commands.back().stopped || Clock::now() >= t_commands.back().deadline;
}

void StopOverdueCommand(lua_State* L, const char* what) {
  CheckLimits(L, what);
  luaL_error(L, "command time limit");
  std::abort();  // luaL_error does not return
}

void StopLuaCommands(bool stop) {
  g_stopWorker.store(stop);
}
