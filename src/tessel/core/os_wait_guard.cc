#include "tessel/core/os_wait_guard.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <lua.hpp>

#include "tessel/core/lua_limits.h"
#include "tessel/util/shell.h"

namespace {

using Clock = std::chrono::steady_clock;

// Major number of Linux's memory devices (null, zero, full, random, urandom): they answer at once.
constexpr unsigned kMemoryDevices = 1;
// Most bytes io.popen keeps of what its line writes.
constexpr std::size_t kMaxPopenBytes = std::size_t{64} << 20;
constexpr char kRefused[] = "a pipe, a socket or a device, not opened: it could wait for ever";

// Lua's own function, kept as upvalue 1, run in this call's frame (whose environment is its own).
int CallOwn(lua_State* L) {
  return lua_tocfunction(L, lua_upvalueindex(1))(L);
}

// Runs the line, standard input `input` (-1: /dev/null), until the running command's time limit
// or `seconds`, whichever comes first.
stShellWait RunBounded(const char* line, int seconds, int input) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  return RunShellWhile(
      line, [deadline] { return !LuaCommandOverdue() && Clock::now() < deadline; }, input);
}

// system() waited for the line for as long as it ran, with the console's input as the line's:
// a line that waited (for input, for the network, for ever) held every link of the process.
// No object with a destructor is alive when the error is raised.
int BoundedExecute(lua_State* L) {
  if (lua_isnoneornil(L, 1)) return CallOwn(L);  // whether a shell exists
  const char* line = luaL_checkstring(L, 1);
  const int seconds = static_cast<int>(ShellTimeLimitSeconds());
  const stShellWait wait = RunBounded(line, seconds, -1);
  if (!wait.killed) {
    lua_pushinteger(L, wait.waitStatus);
    return 1;
  }
  char what[256];
  std::snprintf(what, sizeof what, "os.execute killed its line (%.160s): ", line);
  if (LuaCommandOverdue()) StopOverdueCommand(L, what);
  return luaL_error(L, "%sit ran %d s (shell_time_limit in config/config_int.ini)", what, seconds);
}

// The close of a file io.popen(line, 'w') answered (f:close(), io.close, the collector's): the
// line runs now under os.execute's bounds, reading what was written. It answers true as Lua's
// close of a popen file does, or nil and why; it raises no error, which the collector would
// carry into whatever statement it ran in.
int ClosePopenWrite(lua_State* L) {
  auto** handle = static_cast<std::FILE**>(luaL_checkudata(L, 1, LUA_FILEHANDLE));
  std::FILE* file = *handle;
  *handle = nullptr;
  lua_getfenv(L, 1);
  lua_getfield(L, -1, "line");
  const char* line = lua_tostring(L, -1);
  const int seconds = static_cast<int>(ShellTimeLimitSeconds());
  stShellWait wait;
  if (file != nullptr && line != nullptr && std::fflush(file) == 0 &&
      ::lseek(fileno(file), 0, SEEK_SET) == 0)
    wait = RunBounded(line, seconds, fileno(file));
  if (file != nullptr) std::fclose(file);
  if (wait.waitStatus != -1 && !wait.killed) {
    lua_pushboolean(L, 1);
    return 1;
  }
  lua_pushnil(L);
  if (!wait.killed)
    lua_pushfstring(L, "io.popen could not run its line (%s)", line != nullptr ? line : "?");
  else if (LuaCommandOverdue())
    lua_pushfstring(L, "io.popen killed its line (%s): command time limit", line);
  else
    lua_pushfstring(L, "io.popen killed its line (%s): it ran %d s (%s)", line, seconds,
                    "shell_time_limit in config/config_int.ini");
  return 2;
}

// popen's write end runs the line at once and its close waits for the line without end (as does
// a write the line does not read). Here what is written goes to a file of its own, and the line
// runs at the close with that file as its standard input (ClosePopenWrite). The file is made
// last, so that a memory error of the state leaves none open.
int PopenWrite(lua_State* L, const char* line) {
  auto** handle = static_cast<std::FILE**>(lua_newuserdata(L, sizeof(std::FILE*)));
  *handle = nullptr;
  luaL_getmetatable(L, LUA_FILEHANDLE);
  lua_setmetatable(L, -2);
  lua_createtable(L, 0, 2);
  lua_pushcfunction(L, &ClosePopenWrite);
  lua_setfield(L, -2, "__close");
  lua_pushstring(L, line);
  lua_setfield(L, -2, "line");
  lua_setfenv(L, -2);
  *handle = std::tmpfile();
  if (*handle != nullptr) return 1;
  lua_pushnil(L);
  lua_pushfstring(L, "%s: %s", line, std::strerror(errno));
  return 2;
}

// popen read what the line wrote as it came, and its close waited for the line: a line that
// went on (or left a job holding its output) held the caller as long. The line runs under
// os.execute's bounds here, and what it wrote is read back from a file of its own. No object
// with a destructor is alive when an error is raised.
int BoundedPopen(lua_State* L) {
  const char* line = luaL_checkstring(L, 1);
  const char mode = luaL_optstring(L, 2, "r")[0];
  if (mode == 'w') return PopenWrite(L, line);
  if (mode != 'r') return CallOwn(L);
  std::FILE* file = std::tmpfile();
  if (file == nullptr) {
    lua_pushnil(L);
    lua_pushfstring(L, "%s: %s", line, std::strerror(errno));
    return 2;
  }
  const int seconds = static_cast<int>(ShellTimeLimitSeconds());
  bool killed = false, cut = false;
  {
    const stShellRun run =
        RunShellLimited(line, kMaxPopenBytes, seconds * 1000u, [] { return !LuaCommandOverdue(); });
    killed = run.timedOut || LuaCommandOverdue();
    cut = run.truncated || std::fwrite(run.out.data(), 1, run.out.size(), file) != run.out.size();
  }
  if (killed || cut) {
    std::fclose(file);
    char what[256];
    std::snprintf(what, sizeof what, "io.popen %s its line (%.160s): ",
                  killed ? "killed" : "could not keep the output of", line);
    if (LuaCommandOverdue()) StopOverdueCommand(L, what);
    if (!killed) return luaL_error(L, "%smore than %d MiB", what, int(kMaxPopenBytes >> 20));
    return luaL_error(L, "%sit ran %d s (shell_time_limit in config/config_int.ini)", what,
                      seconds);
  }
  std::rewind(file);
  // Made as Lua's io library makes a file: the userdata takes this function's environment,
  // io.popen's own, whose close is pclose; glibc's pclose of a stream popen did not open is
  // fclose, so the file closes as a file and f:close() answers true as a popen file's does.
  auto** handle = static_cast<std::FILE**>(lua_newuserdata(L, sizeof(std::FILE*)));
  *handle = file;
  luaL_getmetatable(L, LUA_FILEHANDLE);
  lua_setmetatable(L, -2);
  return 1;
}

// Whether opening or reading `path` could wait without end: a pipe (at the open until a writer
// comes, then at each read), a socket, a terminal or another device that answers when it likes.
// What does not exist or cannot be looked at is left to Lua's open, which says why.
bool MayWaitForEver(const char* path) {
  struct stat st {};
  if (::stat(path, &st) != 0) return false;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return true;
  return S_ISCHR(st.st_mode) && major(st.st_rdev) != kMemoryDevices;
}

// io.open: nil and the message, as for a file it cannot open.
int BoundedOpen(lua_State* L) {
  const char* path = luaL_checkstring(L, 1);
  if (!MayWaitForEver(path)) return CallOwn(L);
  lua_pushnil(L);
  lua_pushfstring(L, "%s: %s", path, kRefused);
  return 2;
}

// io.lines, io.input and io.output, which raise an error for a file they cannot open.
int BoundedNamedOpen(lua_State* L) {
  const char* path = lua_type(L, 1) == LUA_TSTRING ? lua_tostring(L, 1) : nullptr;
  if (path != nullptr && MayWaitForEver(path)) return luaL_error(L, "%s: %s", path, kRefused);
  return CallOwn(L);
}

// debug.debug read commands from the process's standard input (the console's) until "cont":
// the thread of the state waited for lines the console loop may take first, for good.
int RefusedDebug(lua_State* L) {
  return luaL_error(L, "debug.debug refused: it would wait for the console's input");
}

// Puts `fn` in place of the function `name` of the table on top, with Lua's function as its
// upvalue and that function's environment (where the io library keeps its default files). Only
// Lua's own functions (C functions without upvalues) are replaced, so a second call changes
// nothing.
void Replace(lua_State* L, const char* name, lua_CFunction fn) {
  lua_getfield(L, -1, name);
  if (!lua_iscfunction(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  if (lua_getupvalue(L, -1, 1) != nullptr) {
    lua_pop(L, 2);
    return;
  }
  lua_getfenv(L, -1);
  lua_pushvalue(L, -2);
  lua_pushcclosure(L, fn, 1);
  lua_insert(L, -2);
  lua_setfenv(L, -2);
  lua_setfield(L, -3, name);
  lua_pop(L, 1);
}

// With the io table on top: a file opened on /dev/null and closed becomes the default input
// (slot 1 of the io functions' environment) and io.stdin; reading it raises "standard input file
// is closed" or "attempt to use a closed file".
void CloseStandardInput(lua_State* L) {
  lua_getfield(L, -1, "open");
  lua_pushliteral(L, "/dev/null");
  if (lua_pcall(L, 1, 1, 0) != 0 || !lua_isuserdata(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  lua_getfield(L, -1, "close");
  lua_pushvalue(L, -2);
  if (lua_pcall(L, 1, 0, 0) != 0) {
    lua_pop(L, 2);
    return;
  }
  lua_getfield(L, -2, "read");
  lua_getfenv(L, -1);
  if (lua_istable(L, -1)) {
    lua_pushvalue(L, -3);
    lua_rawseti(L, -2, 1);
  }
  lua_pop(L, 2);
  lua_setfield(L, -2, "stdin");
}

}  // namespace

void BoundOsWaits(lua_State* L) {
  lua_getglobal(L, "os");
  if (lua_istable(L, -1)) Replace(L, "execute", &BoundedExecute);
  lua_pop(L, 1);
  lua_getglobal(L, "debug");
  if (lua_istable(L, -1)) Replace(L, "debug", &RefusedDebug);
  lua_pop(L, 1);
  lua_getglobal(L, "io");
  if (lua_istable(L, -1)) {
    CloseStandardInput(L);
    Replace(L, "open", &BoundedOpen);
    Replace(L, "popen", &BoundedPopen);
    for (const char* name : {"lines", "input", "output"}) Replace(L, name, &BoundedNamedOpen);
  }
  lua_pop(L, 1);
}
