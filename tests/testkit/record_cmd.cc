#include "testkit/record_cmd.h"

#include <lua.hpp>

std::string stRecordedCall::Text() const {
  std::string text = function;
  for (const std::string& arg : args) text += " " + arg;
  return text;
}

void cRecordCmd::bind_cln(lua_State* L) {
  for (size_t i = 0; i < m_functions.size(); ++i) {
    lua_pushlightuserdata(L, this);
    lua_pushinteger(L, static_cast<lua_Integer>(i));
    lua_pushcclosure(L, &cRecordCmd::Record, 2);
    lua_setglobal(L, m_functions[i].c_str());
  }
}

int cRecordCmd::Record(lua_State* L) {
  auto* self = static_cast<cRecordCmd*>(lua_touserdata(L, lua_upvalueindex(1)));
  stRecordedCall call;
  call.function = self->m_functions[static_cast<size_t>(lua_tointeger(L, lua_upvalueindex(2)))];
  for (int i = 1; i <= lua_gettop(L); ++i) {
    if (lua_isboolean(L, i)) {
      call.args.emplace_back(lua_toboolean(L, i) ? "true" : "false");
    } else if (lua_isnil(L, i)) {
      call.args.emplace_back("nil");
    } else {
      size_t size = 0;
      const char* text = lua_tolstring(L, i, &size);
      call.args.emplace_back(text != nullptr ? std::string(text, size) : luaL_typename(L, i));
    }
  }
  std::lock_guard lock(self->m_lock);
  self->m_calls.push_back(std::move(call));
  return 0;
}

std::vector<stRecordedCall> cRecordCmd::Calls() const {
  std::lock_guard lock(m_lock);
  return m_calls;
}

std::vector<std::string> cRecordCmd::Texts() const {
  std::vector<std::string> texts;
  for (const stRecordedCall& call : Calls()) texts.push_back(call.Text());
  return texts;
}

std::vector<std::string> cRecordCmd::FirstArgs(const std::string& function) const {
  std::vector<std::string> args;
  for (const stRecordedCall& call : Calls())
    if (call.function == function) args.push_back(call.args.empty() ? "" : call.args[0]);
  return args;
}

void cRecordCmd::ClearCalls() {
  std::lock_guard lock(m_lock);
  m_calls.clear();
}
