// A command group whose functions only record their calls: each function named at construction
// keeps its name and its arguments as text ("nil", "true", numbers as Lua prints them). A group
// with no functions is a named group only. Header-only. Any thread may read the calls.
#pragma once

#include <lua.hpp>
#include <mutex>
#include <string>
#include <vector>

#include "tessel/core/cmd.h"

class cRecordCmd : public cCmd {
 public:
  explicit cRecordCmd(std::string name = "cCmd_TestRecord", std::vector<std::string> functions = {})
      : m_name(std::move(name)), m_functions(std::move(functions)) {}
  ~cRecordCmd() override { Clear(); }
  const char* GetName() override { return m_name.c_str(); }
  void bind_cln(lua_State* L) override {
    for (size_t i = 0; i < m_functions.size(); ++i) {
      lua_pushlightuserdata(L, this);
      lua_pushinteger(L, static_cast<lua_Integer>(i));
      lua_pushcclosure(L, &cRecordCmd::Record, 2);
      lua_setglobal(L, m_functions[i].c_str());
    }
  }

  // The calls in order, each as "Function arg arg".
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& call : Calls()) {
      texts.push_back(call[0]);
      for (size_t i = 1; i < call.size(); ++i) texts.back() += " " + call[i];
    }
    return texts;
  }
  // The first argument of every call of `function`, in order.
  std::vector<std::string> FirstArgs(const std::string& function) const {
    std::vector<std::string> args;
    for (const auto& call : Calls())
      if (call[0] == function) args.push_back(call.size() > 1 ? call[1] : "");
    return args;
  }

 private:
  std::vector<std::vector<std::string>> Calls() const {
    std::lock_guard lock(m_lock);
    return m_calls;
  }
  static int Record(lua_State* L) {
    auto* self = static_cast<cRecordCmd*>(lua_touserdata(L, lua_upvalueindex(1)));
    std::vector<std::string> call{self->m_functions[lua_tointeger(L, lua_upvalueindex(2))]};
    for (int i = 1; i <= lua_gettop(L); ++i) {
      size_t size = 0;
      const char* text = lua_tolstring(L, i, &size);  // strings and numbers
      call.push_back(text != nullptr       ? std::string(text, size)
                     : lua_isboolean(L, i) ? (lua_toboolean(L, i) ? "true" : "false")
                                           : luaL_typename(L, i));
    }
    std::lock_guard lock(self->m_lock);
    self->m_calls.push_back(std::move(call));
    return 0;
  }

  std::string m_name;
  std::vector<std::string> m_functions;
  mutable std::mutex m_lock;
  std::vector<std::vector<std::string>> m_calls;
};
