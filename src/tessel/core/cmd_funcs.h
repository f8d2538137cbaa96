// The table of one command group's own functions: every global function the system registered
// in the group's state (its bind_cln, and Output or RegisterOutput by the array), each with the
// right it needs (the category table, cmd_categories.h). Functions() lists it; a peer's
// environment refuses to replace what it holds; each of them checks the caller's rights when
// it is called. Worker thread only, except the list of groups (Known*), which any thread reads.
#pragma once

#include <lua.hpp>

#include <map>
#include <string>
#include <string_view>
#include <vector>

// The right a function needs; kUnset for a function the category table does not know (a
// program's own group), which only @all, its group or the function itself grants.
enum class eCmdRight { kUnset, kRead, kWrite, kShell, kFiles, kNet, kAdmin };

// "@read", "@write", ... ("@all" for kUnset: no category but @all grants it).
const char* CmdRightName(eCmdRight right);

class cCmdFuncs;

// One function whose calls are checked: its name, the right it needs and its group (null for a
// Lua builtin, which belongs to no group).
struct stCmdFunc {
  std::string name;
  eCmdRight right = eCmdRight::kUnset;
  const cCmdFuncs* group = nullptr;
  lua_CFunction direct = nullptr;  // the function itself when it can be called in place
};

class cCmdFuncs {
 public:
  using stFunc = stCmdFunc;

  cCmdFuncs() = default;
  ~cCmdFuncs();
  cCmdFuncs(const cCmdFuncs&) = delete;
  cCmdFuncs& operator=(const cCmdFuncs&) = delete;

  // Names the group ("Account" for "cCmd_Account"); its functions' rights come from the
  // category table under that word. Enters it in the list of known groups.
  void SetGroup(std::string_view word);
  const std::string& Word() const { return m_word; }
  // The group's level: the standard one, else where an array first added it; -1 before.
  int Level() const { return m_level; }
  void SetLevel(int level);

  // Enters `name` (kept when already there).
  void Add(std::string_view name);
  // Sets the function on top of L's stack as the global `name`, entered and guarded.
  void Define(lua_State* L, const char* name);
  bool Has(std::string_view name) const { return m_funcs.find(name) != m_funcs.end(); }
  // False when the group has no function of that name.
  bool SetRight(std::string_view name, eCmdRight right);
  eCmdRight GetRight(std::string_view name) const;
  // The names in byte order.
  std::vector<std::string> Names() const;
  size_t Count() const { return m_funcs.size(); }
  void Clear() { m_funcs.clear(); }

  // Runs `bind(L)` and enters and guards every global function it sets in L, also one that
  // takes the place of a Lua builtin of the same name.
  void Record(lua_State* L, void (*bind)(lua_State*, void*), void* context);
  const stFunc* Find(std::string_view name) const;

  // Whether some group's word starts with `prefix` (the standard groups and every group
  // made); with `func`, whether such a group has that function.
  static bool KnownGroup(std::string_view prefix);
  // Whether `level` is a standard group's or that of a group made.
  static bool KnownLevel(int level);
  static bool KnownFunction(std::string_view prefix, int level, std::string_view func);

  // Pushes `fn` (at `index`) wrapped so that each call first checks the rights of `func`.
  static void PushGuarded(lua_State* L, int index, stCmdFunc& func);

 private:
  std::map<std::string, stFunc, std::less<>> m_funcs;
  std::string m_word;
  int m_level = -1;
};
