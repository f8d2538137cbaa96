#include "tessel/core/pattern_guard.h"

#include <lua.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "tessel/core/lua_limits.h"

namespace {

// Nesting of pattern items one search may reach; Lua 5.2 and later refuse deeper ones too.
constexpr int kMaxDepth = 200;
// Steps of a walk between two looks at the clock; a step is one pattern item tried at one place,
// or 64 bytes compared (a long needle, bracket class or captured text costs a step per 64 bytes).
constexpr std::uint64_t kCheckEvery = 1 << 14;
constexpr std::size_t kBytesPerStep = 64;
// A search whose worst case stays below this many steps goes to Lua at once.
constexpr double kSmallSearch = 1 << 16;
constexpr char kSpecials[] = "^$*+?.([%-";
constexpr std::ptrdiff_t kCapUnfinished = -1;
constexpr std::ptrdiff_t kCapPosition = -2;

// Why a walk ended before the search did.
enum class eWalkEnd { kOverdue, kTooDeep, kMalformed };

// Lua 5.1's pattern matching, step for step, without building results: it only finds where
// each match ends, so that its steps and its depth are those of the real search.
class cPatternWalk {
 public:
  cPatternWalk(const char* subject, size_t length) : m_init(subject), m_end(subject + length) {}

  const char* Begin() const { return m_init; }
  const char* End() const { return m_end; }
  // Where a match of `p` at `s` ends (null: none), captures reset first.
  const char* MatchAt(const char* s, const char* p) {
    Step();
    m_level = 0;
    return Match(s, p);
  }
  // Where `needle` first occurs from `s` on, as a plain search does.
  const char* Find(const char* s, const char* needle, size_t length);
  // Reads gsub's replacement `text` at the match from `s` to `e` as Lua does: each capture it
  // names is made a Lua string, as Lua makes it ('%1' a million times adds nothing for an empty
  // capture, but takes its time).
  void Replace(lua_State* L, const char* text, size_t length, const char* s, const char* e);

 private:
  struct stCapture {
    const char* init;
    std::ptrdiff_t len;
  };

  // A step that also compared `bytes` bytes. The clock is read once the count has passed the next
  // check, however far one step moved it.
  void Step(std::size_t bytes = 0) {
    m_steps += 1 + bytes / kBytesPerStep;
    if (m_steps < m_nextCheck) return;
    m_nextCheck = m_steps + kCheckEvery;
    if (LuaCommandOverdue()) throw eWalkEnd::kOverdue;
  }
  const char* Match(const char* s, const char* p);
  const char* ClassEnd(const char* p) const;
  const char* MaxExpand(const char* s, const char* p, const char* ep);
  const char* MinExpand(const char* s, const char* p, const char* ep);
  const char* StartCapture(const char* s, const char* p, std::ptrdiff_t what);
  const char* EndCapture(const char* s, const char* p);
  const char* MatchBalance(const char* s, const char* p);
  const char* MatchCapture(const char* s, int l);
  bool SingleMatch(const char* s, const char* p, const char* ep);

  const char* m_init;
  const char* m_end;
  stCapture m_capture[LUA_MAXCAPTURES];
  int m_level = 0;
  int m_depth = 0;
  std::uint64_t m_steps = 0;
  std::uint64_t m_nextCheck = kCheckEvery;
};

bool MatchClass(int c, int cl) {
  bool res;
  switch (std::tolower(cl)) {
    case 'a':
      res = std::isalpha(c);
      break;
    case 'c':
      res = std::iscntrl(c);
      break;
    case 'd':
      res = std::isdigit(c);
      break;
    case 'l':
      res = std::islower(c);
      break;
    case 'p':
      res = std::ispunct(c);
      break;
    case 's':
      res = std::isspace(c);
      break;
    case 'u':
      res = std::isupper(c);
      break;
    case 'w':
      res = std::isalnum(c);
      break;
    case 'x':
      res = std::isxdigit(c);
      break;
    case 'z':
      res = c == 0;
      break;
    default:
      return cl == c;
  }
  return std::isupper(cl) ? !res : res;
}

bool MatchBracketClass(int c, const char* p, const char* ec) {
  bool sig = true;
  if (p[1] == '^') {
    sig = false;
    ++p;
  }
  while (++p < ec) {
    if (*p == '%') {
      ++p;
      if (MatchClass(c, static_cast<unsigned char>(*p))) return sig;
    } else if (p[1] == '-' && p + 2 < ec) {
      p += 2;
      if (static_cast<unsigned char>(p[-2]) <= c && c <= static_cast<unsigned char>(*p)) return sig;
    } else if (static_cast<unsigned char>(*p) == c) {
      return sig;
    }
  }
  return !sig;
}

const char* cPatternWalk::ClassEnd(const char* p) const {
  switch (*p++) {
    case '%':
      if (*p == '\0') throw eWalkEnd::kMalformed;
      return p + 1;
    case '[':
      if (*p == '^') ++p;
      do {
        if (*p == '\0') throw eWalkEnd::kMalformed;
        if (*(p++) == '%' && *p != '\0') ++p;
      } while (*p != ']');
      return p + 1;
    default:
      return p;
  }
}

// A step that reads the item's class to its end (a bracket class may be megabytes long).
bool cPatternWalk::SingleMatch(const char* s, const char* p, const char* ep) {
  if (s >= m_end) return false;
  Step(static_cast<std::size_t>(ep - p));
  const int c = static_cast<unsigned char>(*s);
  switch (*p) {
    case '.':
      return true;
    case '%':
      return MatchClass(c, static_cast<unsigned char>(p[1]));
    case '[':
      return MatchBracketClass(c, p, ep - 1);
    default:
      return static_cast<unsigned char>(*p) == c;
  }
}

const char* cPatternWalk::MatchBalance(const char* s, const char* p) {
  if (p[0] == '\0' || p[1] == '\0') throw eWalkEnd::kMalformed;
  if (s >= m_end || *s != *p) return nullptr;
  int open = 1;
  while (++s < m_end) {
    Step();
    if (*s == p[1]) {
      if (--open == 0) return s + 1;
    } else if (*s == p[0]) {
      ++open;
    }
  }
  return nullptr;
}

const char* cPatternWalk::MaxExpand(const char* s, const char* p, const char* ep) {
  std::ptrdiff_t i = 0;
  while (SingleMatch(s + i, p, ep)) ++i;
  for (; i >= 0; --i)
    if (const char* res = Match(s + i, ep + 1)) return res;
  return nullptr;
}

const char* cPatternWalk::MinExpand(const char* s, const char* p, const char* ep) {
  for (;;) {
    if (const char* res = Match(s, ep + 1)) return res;
    if (!SingleMatch(s, p, ep)) return nullptr;
    ++s;
  }
}

const char* cPatternWalk::StartCapture(const char* s, const char* p, std::ptrdiff_t what) {
  if (m_level >= LUA_MAXCAPTURES) throw eWalkEnd::kMalformed;
  m_capture[m_level] = {s, what};
  ++m_level;
  const char* res = Match(s, p);
  if (res == nullptr) --m_level;
  return res;
}

const char* cPatternWalk::EndCapture(const char* s, const char* p) {
  int l = m_level - 1;
  while (l >= 0 && m_capture[l].len != kCapUnfinished) --l;
  if (l < 0) throw eWalkEnd::kMalformed;
  m_capture[l].len = s - m_capture[l].init;
  const char* res = Match(s, p);
  if (res == nullptr) m_capture[l].len = kCapUnfinished;
  return res;
}

const char* cPatternWalk::MatchCapture(const char* s, int l) {
  l -= '1';
  if (l < 0 || l >= m_level || m_capture[l].len == kCapUnfinished) throw eWalkEnd::kMalformed;
  const auto len = static_cast<size_t>(m_capture[l].len);
  Step(len);
  if (static_cast<size_t>(m_end - s) >= len && std::memcmp(m_capture[l].init, s, len) == 0)
    return s + len;
  return nullptr;
}

const char* cPatternWalk::Match(const char* s, const char* p) {
  if (++m_depth > kMaxDepth) throw eWalkEnd::kTooDeep;
  struct stLeave {
    int& depth;
    ~stLeave() { --depth; }
  } leave{m_depth};
  for (;;) {
    Step();
    switch (*p) {
      case '(':
        if (p[1] == ')') return StartCapture(s, p + 2, kCapPosition);
        return StartCapture(s, p + 1, kCapUnfinished);
      case ')':
        return EndCapture(s, p + 1);
      case '\0':
        return s;
      case '$':
        if (p[1] == '\0') return s == m_end ? s : nullptr;
        break;
      case '%':
        if (p[1] == 'b') {
          s = MatchBalance(s, p + 2);
          if (s == nullptr) return nullptr;
          p += 4;
          continue;
        }
        if (p[1] == 'f') {
          p += 2;
          if (*p != '[') throw eWalkEnd::kMalformed;
          const char* ep = ClassEnd(p);
          Step(static_cast<std::size_t>(ep - p));
          const int previous = s == m_init ? 0 : static_cast<unsigned char>(s[-1]);
          const int current = s < m_end ? static_cast<unsigned char>(*s) : 0;
          if (MatchBracketClass(previous, p, ep - 1) || !MatchBracketClass(current, p, ep - 1))
            return nullptr;
          p = ep;
          continue;
        }
        if (std::isdigit(static_cast<unsigned char>(p[1]))) {
          s = MatchCapture(s, static_cast<unsigned char>(p[1]));
          if (s == nullptr) return nullptr;
          p += 2;
          continue;
        }
        break;
      default:
        break;
    }
    // A single item, perhaps with a quantifier.
    const char* ep = ClassEnd(p);
    const bool m = SingleMatch(s, p, ep);
    switch (*ep) {
      case '?':
        if (m) {
          if (const char* res = Match(s + 1, ep + 1)) return res;
        }
        p = ep + 1;
        continue;
      case '*':
        return MaxExpand(s, p, ep);
      case '+':
        return m ? MaxExpand(s + 1, p, ep) : nullptr;
      case '-':
        return MinExpand(s, p, ep);
      default:
        if (!m) return nullptr;
        ++s;
        p = ep;
    }
  }
}

const char* cPatternWalk::Find(const char* s, const char* needle, size_t length) {
  if (length == 0) return s;
  for (; static_cast<size_t>(m_end - s) >= length; ++s) {
    s = static_cast<const char*>(std::memchr(s, *needle, static_cast<size_t>(m_end - s)));
    if (s == nullptr || static_cast<size_t>(m_end - s) < length) return nullptr;
    Step(length);
    if (std::memcmp(s, needle, length) == 0) return s;
  }
  return nullptr;
}

void cPatternWalk::Replace(lua_State* L, const char* text, size_t length, const char* s,
                           const char* e) {
  for (size_t i = 0; i < length; ++i) {
    Step();
    if (text[i] != '%') continue;
    const int l = text[++i] - '1';  // text[length] is the string's closing NUL
    if (l < 0 || l > 8 || (l >= m_level && l > 0)) continue;
    if (l >= m_level) {
      lua_pushlstring(L, s, static_cast<size_t>(e - s));
    } else if (m_capture[l].len >= 0) {
      lua_pushlstring(L, m_capture[l].init, static_cast<size_t>(m_capture[l].len));
    } else {
      continue;
    }
    lua_pop(L, 1);
  }
}

enum class eSearch { kFind, kMatch, kGmatch, kGsub };

// The worst case of a search, roughly: every quantifier may try each place of the subject for
// each place the one before it tried.
double WorstSteps(size_t subject, const char* pattern) {
  int quantifiers = 0;
  for (const char* p = pattern; *p != '\0'; ++p)
    if (std::strchr("*+-?", *p) != nullptr || (p[0] == '%' && p[1] != '\0' && p[1] != '%'))
      ++quantifiers;
  const double places = static_cast<double>(subject) + 1;
  return std::pow(places, quantifiers + 1) * static_cast<double>(std::strlen(pattern) + 1);
}

// The length of gsub's replacement when it is a text, else 0.
size_t ReplacementLength(lua_State* L) {
  size_t length = 0;
  if (lua_type(L, 3) == LUA_TSTRING) lua_tolstring(L, 3, &length);
  return length;
}

// The start of a find or match as Lua computes it from the third argument.
size_t StartOf(lua_State* L, size_t length) {
  lua_Integer init = luaL_optinteger(L, 3, 1);
  if (init < 0) init += static_cast<lua_Integer>(length) + 1;
  if (init < 1) init = 1;
  return std::min(static_cast<size_t>(init - 1), length);
}

// Walks the search the arguments ask for, as Lua's function would make it; for gmatch, the search
// of one call of its iterator, from the place `from` it has reached.
void Walk(lua_State* L, eSearch kind, const char* subject, size_t length, const char* pattern,
          size_t patternLength, size_t from) {
  cPatternWalk walk(subject, length);
  if (kind == eSearch::kFind || kind == eSearch::kMatch) {
    const char* s = subject + StartOf(L, length);
    if (kind == eSearch::kFind &&
        (lua_toboolean(L, 4) || std::strpbrk(pattern, kSpecials) == nullptr)) {
      walk.Find(s, pattern, patternLength);
      return;
    }
    const bool anchor = *pattern == '^';
    const char* p = anchor ? pattern + 1 : pattern;
    do {
      if (walk.MatchAt(s, p) != nullptr) return;
    } while (s++ < walk.End() && !anchor);
  } else if (kind == eSearch::kGsub) {
    const bool anchor = *pattern == '^';
    const char* p = anchor ? pattern + 1 : pattern;
    const lua_Integer most = luaL_optinteger(L, 4, static_cast<lua_Integer>(length) + 1);
    size_t replacementLength = 0;
    const char* replacement =
        lua_type(L, 3) == LUA_TSTRING ? lua_tolstring(L, 3, &replacementLength) : nullptr;
    const char* src = subject;
    for (lua_Integer n = 0; n < most;) {
      const char* e = walk.MatchAt(src, p);
      if (e != nullptr) ++n;
      if (e != nullptr && replacement != nullptr)
        walk.Replace(L, replacement, replacementLength, src, e);
      if (e != nullptr && e > src) {
        src = e;
      } else if (src < walk.End()) {
        ++src;
      } else {
        break;
      }
      if (anchor) break;
    }
  } else {
    for (const char* src = subject + from; src <= walk.End(); ++src)
      if (walk.MatchAt(src, pattern) != nullptr) return;
  }
}

// Whether the arguments can be walked: the types Lua's function takes (else it raises the
// error itself, before searching).
bool Walkable(lua_State* L, eSearch kind) {
  if (!lua_isstring(L, 1) || !lua_isstring(L, 2)) return false;
  if (kind == eSearch::kFind || kind == eSearch::kMatch)
    return lua_isnoneornil(L, 3) || lua_isnumber(L, 3);
  if (kind == eSearch::kGsub) return lua_isnoneornil(L, 4) || lua_isnumber(L, 4);
  return true;
}

// Walks the search of the subject and pattern at 1 and 2 (from the place `from`) when it may run
// long or nest deep: stops the command past its time, refuses a search too deep.
void CheckSearch(lua_State* L, eSearch kind, size_t from) {
  size_t length = 0;
  size_t patternLength = 0;
  const char* subject = lua_tolstring(L, 1, &length);
  const char* pattern = lua_tolstring(L, 2, &patternLength);
  const bool deep = std::strlen(pattern) > static_cast<size_t>(kMaxDepth);
  double worst = WorstSteps(length - from, pattern);
  if (kind == eSearch::kGsub) worst += (static_cast<double>(length) + 1) * ReplacementLength(L);
  if (!deep && !(LuaCommandTimed() && worst > kSmallSearch)) return;
  eWalkEnd why = eWalkEnd::kMalformed;
  try {
    Walk(L, kind, subject, length, pattern, patternLength, from);
    return;
  } catch (eWalkEnd end) {
    why = end;
  }
  if (why == eWalkEnd::kOverdue) StopOverdueCommand(L);
  if (why == eWalkEnd::kTooDeep) luaL_error(L, "pattern too complex");
  // A malformed pattern: Lua's function says what is wrong.
}

// Pushes upvalue `n` of the function at `index`, nil when it has none.
void PushUpvalue(lua_State* L, int index, int n) {
  if (lua_getupvalue(L, index, n) == nullptr) lua_pushnil(L);
}

// A call of gmatch's iterator (Lua's own, upvalue 1): each call searches from the place the last
// one reached, in whatever command calls it (also again and again once nothing is left to find),
// so each is walked as a find is. Lua's iterator holds the subject, the pattern and that place as
// its upvalues 1 to 3.
int GuardedGmatchStep(lua_State* L) {
  lua_settop(L, 0);
  PushUpvalue(L, lua_upvalueindex(1), 1);
  PushUpvalue(L, lua_upvalueindex(1), 2);
  PushUpvalue(L, lua_upvalueindex(1), 3);
  size_t length = 0;
  if (lua_type(L, 1) == LUA_TSTRING && lua_type(L, 2) == LUA_TSTRING && lua_isnumber(L, 3)) {
    lua_tolstring(L, 1, &length);
    const lua_Integer from = lua_tointeger(L, 3);
    if (from >= 0 && static_cast<size_t>(from) <= length)
      CheckSearch(L, eSearch::kGmatch, static_cast<size_t>(from));
  } else if (LuaCommandOverdue()) {
    StopOverdueCommand(L);
  }
  lua_settop(L, 0);
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_call(L, 0, LUA_MULTRET);
  return lua_gettop(L);
}

// Calls of a C function replacing gsub's matches between two looks at the clock.
constexpr int kCallsPerCheck = 1 << 12;

// gsub's replacement when it is a C function or a table (upvalue 1), in a command with a time
// limit: Lua's gsub calls the function, or looks the first capture up in the table (through up to
// a hundred __index tables), at each match without a Lua instruction between, so
// ('a'):rep(2^24):gsub('', tonumber) ran for seconds past the limit after its search was walked,
// and a table behind 98 __index tables 37 s under a 1 s limit. The clock is read every
// kCallsPerCheck calls (the count in upvalue 2); the function gets the captures and gives its
// first result, the table its value at the first capture, as Lua's gsub takes them.
int TimedReplacement(lua_State* L) {
  const lua_Integer calls = lua_tointeger(L, lua_upvalueindex(2)) + 1;
  lua_pushinteger(L, calls % kCallsPerCheck);
  lua_replace(L, lua_upvalueindex(2));
  if (calls == kCallsPerCheck && LuaCommandOverdue()) StopOverdueCommand(L);
  if (lua_istable(L, lua_upvalueindex(1))) {
    lua_settop(L, 1);
    lua_gettable(L, lua_upvalueindex(1));
    return 1;
  }
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, 1);
  return 1;
}

int Guarded(lua_State* L, eSearch kind) {
  // gmatch searches nothing itself: its iterator's calls are walked.
  if (kind != eSearch::kGmatch && Walkable(L, kind)) CheckSearch(L, kind, 0);
  if (kind == eSearch::kGsub && (lua_iscfunction(L, 3) || lua_istable(L, 3)) && LuaCommandTimed()) {
    lua_pushvalue(L, 3);
    lua_pushinteger(L, 0);
    lua_pushcclosure(L, &TimedReplacement, 2);
    lua_replace(L, 3);
  }
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
  if (kind == eSearch::kGmatch && lua_gettop(L) == 1 && lua_iscfunction(L, 1))
    lua_pushcclosure(L, &GuardedGmatchStep, 1);
  return lua_gettop(L);
}

int GuardedFind(lua_State* L) {
  return Guarded(L, eSearch::kFind);
}
int GuardedMatch(lua_State* L) {
  return Guarded(L, eSearch::kMatch);
}
int GuardedGmatch(lua_State* L) {
  return Guarded(L, eSearch::kGmatch);
}
int GuardedGsub(lua_State* L) {
  return Guarded(L, eSearch::kGsub);
}

}  // namespace

void GuardPatternSearch(lua_State* L) {
  static const struct {
    const char* name;
    lua_CFunction guarded;
  } kSearches[] = {{"find", &GuardedFind},
                   {"match", &GuardedMatch},
                   {"gmatch", &GuardedGmatch},
                   {"gsub", &GuardedGsub}};
  lua_getglobal(L, "string");
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  for (const auto& search : kSearches) {
    lua_getfield(L, -1, search.name);
    if (!lua_iscfunction(L, -1)) {
      lua_pop(L, 1);
      continue;
    }
    lua_pushcclosure(L, search.guarded, 1);
    lua_setfield(L, -2, search.name);
  }
  lua_pop(L, 1);
}
