#include "tessel/core/os_wait_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
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
// Most bytes io.popen keeps of what its line writes, and of what is written to its line.
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

// The file io.popen(line, 'w') answers: a temporary file of which at most kMaxPopenBytes are
// written, so that a script cannot fill the temporary folder. A write past that fails as Lua's
// file writes fail (nil and "File too large"), and the line is not run on the cut input.
struct stPopenFile {
  int fd = -1;
  bool full = false;  // a write went past kMaxPopenBytes
};

ssize_t PopenFileRead(void* cookie, char* buffer, size_t size) {
  return ::read(static_cast<stPopenFile*>(cookie)->fd, buffer, size);
}

// The bytes written; fewer than asked, with errno set, is glibc's sign of a failed write.
ssize_t PopenFileWrite(void* cookie, const char* buffer, size_t size) {
  auto* file = static_cast<stPopenFile*>(cookie);
  const off_t at = ::lseek(file->fd, 0, SEEK_CUR);
  if (at < 0) return 0;
  const size_t room = kMaxPopenBytes - std::min(kMaxPopenBytes, static_cast<size_t>(at));
  const size_t take = std::min(size, room);
  size_t done = 0;
  while (done < take) {
    const ssize_t n = ::write(file->fd, buffer + done, take - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return static_cast<ssize_t>(done);
    done += static_cast<size_t>(n);
  }
  if (done < size) {
    file->full = true;
    errno = EFBIG;
  }
  return static_cast<ssize_t>(done);
}

int PopenFileSeek(void* cookie, off64_t* offset, int whence) {
  const off_t at = ::lseek(static_cast<stPopenFile*>(cookie)->fd, *offset, whence);
  if (at < 0) return -1;
  *offset = at;
  return 0;
}

int PopenFileClose(void* cookie) {
  auto* file = static_cast<stPopenFile*>(cookie);
  const int closed = ::close(file->fd);
  delete file;
  return closed;
}

// A stream over a new temporary file, `*made` its state; null (errno set) when none was made.
std::FILE* OpenPopenFile(stPopenFile** made) {
  std::FILE* temp = std::tmpfile();
  if (temp == nullptr) return nullptr;
  auto* file = new stPopenFile;
  file->fd = ::fcntl(fileno(temp), F_DUPFD_CLOEXEC, 0);
  std::fclose(temp);
  const cookie_io_functions_t calls{&PopenFileRead, &PopenFileWrite, &PopenFileSeek,
                                    &PopenFileClose};
  std::FILE* stream = file->fd < 0 ? nullptr : ::fopencookie(file, "w+", calls);
  if (stream == nullptr) {
    const int error = errno;
    if (file->fd >= 0) ::close(file->fd);
    delete file;
    errno = error;
    return nullptr;
  }
  *made = file;
  return stream;
}

// The close of a file io.popen(line, 'w') answered (f:close(), io.close, the collector's): the
// line runs now under os.execute's bounds, reading what was written. It answers true as Lua's
// close of a popen file does, or nil and why; it raises no error, which the collector would
// carry into whatever statement it ran in.
int ClosePopenWrite(lua_State* L) {
  auto** handle = static_cast<std::FILE**>(luaL_checkudata(L, 1, LUA_FILEHANDLE));
  std::FILE* stream = *handle;
  *handle = nullptr;
  lua_getfenv(L, 1);
  lua_getfield(L, -1, "file");
  const auto* file = static_cast<const stPopenFile*>(lua_touserdata(L, -1));
  lua_getfield(L, -2, "line");
  const char* line = lua_tostring(L, -1);
  const int seconds = static_cast<int>(ShellTimeLimitSeconds());
  const bool full = file != nullptr && file->full;
  stShellWait wait;
  if (stream != nullptr && file != nullptr && line != nullptr && !full &&
      std::fflush(stream) == 0 && ::lseek(file->fd, 0, SEEK_SET) == 0)
    wait = RunBounded(line, seconds, file->fd);
  if (stream != nullptr) std::fclose(stream);
  if (wait.waitStatus != -1 && !wait.killed) {
    lua_pushboolean(L, 1);
    return 1;
  }
  lua_pushnil(L);
  if (full)
    lua_pushfstring(L, "io.popen did not run its line (%s): more than %d MiB written to it", line,
                    int(kMaxPopenBytes >> 20));
  else if (!wait.killed)
    lua_pushfstring(L, "io.popen could not run its line (%s)", line != nullptr ? line : "?");
  else if (LuaCommandOverdue())
    lua_pushfstring(L, "io.popen killed its line (%s): command time limit", line);
  else
    lua_pushfstring(L, "io.popen killed its line (%s): it ran %d s (%s)", line, seconds,
                    "shell_time_limit in config/config_int.ini");
  return 2;
}

// popen's write end runs the line at once and its close waits for the line without end (as does
// a write the line does not read). Here what is written goes to a file of its own (at most
// kMaxPopenBytes), and the line runs at the close with that file as its standard input
// (ClosePopenWrite). The file is made last, so that a memory error of the state leaves none
// open: the field of its state is in the environment before, and setting it allocates nothing.
int PopenWrite(lua_State* L, const char* line) {
  auto** handle = static_cast<std::FILE**>(lua_newuserdata(L, sizeof(std::FILE*)));
  *handle = nullptr;
  luaL_getmetatable(L, LUA_FILEHANDLE);
  lua_setmetatable(L, -2);
  lua_createtable(L, 0, 3);
  lua_pushcfunction(L, &ClosePopenWrite);
  lua_setfield(L, -2, "__close");
  lua_pushstring(L, line);
  lua_setfield(L, -2, "line");
  lua_pushboolean(L, 0);
  lua_setfield(L, -2, "file");
  lua_pushvalue(L, -1);
  lua_setfenv(L, -3);
  stPopenFile* file = nullptr;
  *handle = OpenPopenFile(&file);
  if (*handle != nullptr) {
    lua_pushlightuserdata(L, file);
    lua_setfield(L, -2, "file");
    lua_pop(L, 1);
    return 1;
  }
  lua_pushnil(L);
  lua_pushfstring(L, "%s: %s", line, std::strerror(errno));
  return 2;
}

// io.popen's answer for a line it cannot run: nil and why, as for an open that failed.
int PopenNotRun(lua_State* L, const char* line, const char* why) {
  lua_pushnil(L);
  lua_pushfstring(L, "%s: %s", line, why);
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
  if (file == nullptr) return PopenNotRun(L, line, std::strerror(errno));
  const int seconds = static_cast<int>(ShellTimeLimitSeconds());
  bool killed = false, cut = false;
  char notRun[128] = "";
  {
    const stShellRun run =
        RunShellLimited(line, kMaxPopenBytes, seconds * 1000u, [] { return !LuaCommandOverdue(); });
    killed = run.timedOut || LuaCommandOverdue();
    cut = run.truncated || std::fwrite(run.out.data(), 1, run.out.size(), file) != run.out.size();
    std::snprintf(notRun, sizeof notRun, "%s", run.error.c_str());
  }
  // A line that never ran has no output to read: it fails as an open that failed does.
  if (notRun[0] != '\0' && !killed) {
    std::fclose(file);
    return PopenNotRun(L, line, notRun);
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
