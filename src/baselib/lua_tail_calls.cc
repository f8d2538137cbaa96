// Compiling Lua without tail calls. Lua 5.1 compiles `return f(x)` as a call of all results
// (C = 0) followed by a return of them all, and only then marks the call a tail call, which
// reuses the caller's frame: a Lua function tail-called leaves no trace of its caller on the
// stack. Turned back into an ordinary call, the code means the same and every caller stays on
// the stack. Lua 5.1's internal headers are not installed, so the change is made on the chunk
// lua_dump gives, and the result, bytes this process made from source it compiled, is loaded
// back. A dump whose layout is not the one read here changes nothing.
#include <lua.hpp>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "tessel/contracts/baselib.h"

namespace {

constexpr unsigned kOpCall = 28, kOpTailCall = 29, kOpReturn = 30;
constexpr unsigned kOpMask = 0x3f;
// Lua 5.1's header: signature, version, format, little endian, then the sizes of int, size_t,
// Instruction and lua_Number, and whether numbers are integral.
const unsigned char kHeader[] = {0x1b, 'L', 'u', 'a', 0x51, 0, 1, 4, sizeof(size_t), 4, 8, 0};

thread_local int t_held = 0;

int Collect(lua_State*, const void* piece, size_t size, void* data) {
  try {
    static_cast<std::string*>(data)->append(static_cast<const char*>(piece), size);
    return 0;
  } catch (const std::bad_alloc&) {
    return 1;
  }
}

// Walks one function of a dump at `at`, turning each tail call into a call; false when the
// bytes do not read as Lua 5.1 writes a function.
class cDumpWalk {
 public:
  explicit cDumpWalk(std::string& dump) : m_dump(dump) {}
  bool Function(size_t& at, int depth) {
    int32_t count = 0;
    if (depth > 200 || !String(at) || !Skip(at, 2 * 4 + 4) || !Int(at, count)) return false;
    if (count < 0 || static_cast<size_t>(count) > (m_dump.size() - at) / 4) return false;
    const size_t code = at;
    at += static_cast<size_t>(count) * 4;
    for (int32_t i = 0; i < count; ++i) {
      const uint32_t op = Instruction(code + i * 4u);
      if ((op & kOpMask) != kOpTailCall) continue;
      // Always followed by the return of all its results, from the same register.
      if (i + 1 >= count) return false;
      const uint32_t next = Instruction(code + (i + 1) * 4u);
      const uint32_t a = (op >> 6) & 0xff;
      if ((next & kOpMask) != kOpReturn || ((next >> 6) & 0xff) != a || (next >> 23) != 0 ||
          ((op >> 14) & 0x1ff) != 0)
        return false;
      SetInstruction(code + i * 4u, (op & ~kOpMask) | kOpCall);
      ++m_nChanged;
    }
    if (!Int(at, count) || count < 0) return false;
    for (int32_t i = 0; i < count; ++i) {
      if (at >= m_dump.size()) return false;
      const int type = static_cast<unsigned char>(m_dump[at++]);
      const bool ok = type == LUA_TNIL       ? true
                      : type == LUA_TBOOLEAN ? Skip(at, 1)
                      : type == LUA_TNUMBER  ? Skip(at, 8)
                      : type == LUA_TSTRING  ? String(at)
                                             : false;
      if (!ok) return false;
    }
    if (!Int(at, count) || count < 0) return false;
    for (int32_t i = 0; i < count; ++i)
      if (!Function(at, depth + 1)) return false;
    if (!Int(at, count) || count < 0 || !Skip(at, static_cast<size_t>(count) * 4)) return false;
    if (!Int(at, count) || count < 0) return false;
    for (int32_t i = 0; i < count; ++i)
      if (!String(at) || !Skip(at, 2 * 4)) return false;
    if (!Int(at, count) || count < 0) return false;
    for (int32_t i = 0; i < count; ++i)
      if (!String(at)) return false;
    return true;
  }
  int Changed() const { return m_nChanged; }

 private:
  bool Skip(size_t& at, size_t size) {
    if (size > m_dump.size() - at) return false;
    at += size;
    return true;
  }
  bool Int(size_t& at, int32_t& value) {
    if (4 > m_dump.size() - at) return false;
    std::memcpy(&value, m_dump.data() + at, 4);
    at += 4;
    return true;
  }
  bool String(size_t& at) {
    size_t size = 0;
    if (sizeof size > m_dump.size() - at) return false;
    std::memcpy(&size, m_dump.data() + at, sizeof size);
    at += sizeof size;
    return Skip(at, size);
  }
  uint32_t Instruction(size_t at) const {
    uint32_t op = 0;
    std::memcpy(&op, m_dump.data() + at, 4);
    return op;
  }
  void SetInstruction(size_t at, uint32_t op) { std::memcpy(m_dump.data() + at, &op, 4); }

  std::string& m_dump;
  int m_nChanged = 0;
};

// Turns the tail calls of a dump into calls: how many, or -1 when its layout is not the one
// expected (the dump may then be changed in part).
int Rewrite(std::string& dump) {
  if (dump.size() < sizeof kHeader || std::memcmp(dump.data(), kHeader, sizeof kHeader) != 0)
    return -1;
  size_t at = sizeof kHeader;
  cDumpWalk walk(dump);
  return walk.Function(at, 0) && at == dump.size() ? walk.Changed() : -1;
}

struct stReader {
  const std::string* dump;
  bool given = false;
};

const char* Read(lua_State*, void* data, size_t* size) {
  auto* reader = static_cast<stReader*>(data);
  if (reader->given) return nullptr;
  reader->given = true;
  *size = reader->dump->size();
  return reader->dump->data();
}

// Whether this interpreter writes `return f()` as the rewrite expects: a tail call turned into
// a call and loaded back runs, and returns all of f's results.
bool InterpreterFits() {
  static const bool s_fits = [] {
    lua_State* L = luaL_newstate();
    if (L == nullptr) return false;
    std::string dump;
    bool fits = luaL_loadstring(L, "local f = select return f(2, 'a', 'b', 'c')") == 0 &&
                lua_dump(L, &Collect, &dump) == 0;
    if (fits) {
      stReader reader{&dump};
      lua_settop(L, 0);
      luaL_openlibs(L);
      fits = Rewrite(dump) == 1 && lua_load(L, &Read, &reader, "=probe") == 0 &&
             lua_pcall(L, 0, LUA_MULTRET, 0) == 0 && lua_gettop(L) == 2 &&
             std::strcmp(lua_tostring(L, -1), "c") == 0;
    }
    lua_close(L);
    return fits;
  }();
  return s_fits;
}

}  // namespace

int RecompileWithoutTailCalls(lua_State* L) {
  if (!InterpreterFits()) return 0;
  std::string dump;
  if (lua_dump(L, &Collect, &dump) != 0) {
    lua_pop(L, 1);
    lua_pushliteral(L, "not enough memory");
    return LUA_ERRMEM;
  }
  // A dump read wrong in part is not loaded: the function stays as compiled.
  if (Rewrite(dump) <= 0) return 0;
  stReader reader{&dump};
  lua_pop(L, 1);
  return lua_load(L, &Read, &reader, "=recompiled");
}

int LoadLuaSourceNoTailCalls(lua_State* L, const char* text, size_t size, const char* chunkName) {
  HoldNoTailCalls(true);
  const int rc = LoadLuaSource(L, text, size, chunkName);
  HoldNoTailCalls(false);
  return rc;
}

void HoldNoTailCalls(bool hold) {
  t_held += hold ? 1 : -1;
}

bool NoTailCallsHeld() {
  return t_held > 0;
}
