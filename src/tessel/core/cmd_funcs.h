// The table of one command group's own functions: every global function the system registered
// in the group's state (its bind_cln, and Output or RegisterOutput by the array), each with the
// right it needs. Functions() lists it; a peer's environment refuses to replace what it holds.
// Worker thread only.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

struct lua_State;

// The right a function needs; kUnset until the group's table says otherwise.
enum class eCmdRight { kUnset, kRead, kWrite, kShell, kFiles, kNet, kAdmin };

// "@read", "@write", ... ("" for kUnset).
const char* CmdRightName(eCmdRight right);

class cCmdFuncs {
 public:
  struct stFunc {
    eCmdRight right = eCmdRight::kUnset;
  };

  // Enters `name` (kept when already there).
  void Add(std::string_view name);
  bool Has(std::string_view name) const { return m_funcs.find(name) != m_funcs.end(); }
  // False when the group has no function of that name.
  bool SetRight(std::string_view name, eCmdRight right);
  eCmdRight GetRight(std::string_view name) const;
  // The names in byte order.
  std::vector<std::string> Names() const;
  size_t Count() const { return m_funcs.size(); }
  void Clear() { m_funcs.clear(); }

  // Runs `bind(L)` and enters every global function it sets in L, also one that takes the
  // place of a Lua builtin of the same name.
  void Record(lua_State* L, void (*bind)(lua_State*, void*), void* context);

 private:
  std::map<std::string, stFunc, std::less<>> m_funcs;
};
