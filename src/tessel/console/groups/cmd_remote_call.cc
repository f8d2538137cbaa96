#include "tessel/console/groups/cmd_remote_call.h"

#include <iostream>
#include <string>

#include "platform/text_clean.h"
#include "tessel/console/help.h"
#include "tessel/contracts/baselib.h"

namespace {

// Copies argument `index` of `from` onto `to`; false for a type that cannot travel.
bool CopyArgument(lua_State* from, int index, lua_State* to) {
  switch (lua_type(from, index)) {
    case LUA_TBOOLEAN:
      lua_pushboolean(to, lua_toboolean(from, index));
      return true;
    case LUA_TNUMBER:
      lua_pushnumber(to, lua_tonumber(from, index));
      return true;
    case LUA_TSTRING: {
      size_t size = 0;
      const char* text = lua_tolstring(from, index, &size);
      lua_pushlstring(to, text, size);
      return true;
    }
    default:
      return false;
  }
}

// SafeCall(file, ...): calls the global SafeCall of the script "SafeCall//" + file with the
// arguments from the second on.
int SafeCall(lua_State* L) {
  const int count = lua_gettop(L);
  if (count < 2) {
    std::cout << "nParamNum < 2" << std::endl;
    return 0;
  }
  if (!lua_isstring(L, 1) || !lua_isstring(L, 2)) {
    std::cout << "ParamNum not string" << std::endl;
    return 0;
  }
  const std::string name = std::string("SafeCall//") + lua_tostring(L, 1);
  KLuaScript* script = cScriptManager::Instance().GetScript(name.c_str());
  if (script == nullptr) {
    std::cout << "not find file " << EscapeControls(name) << std::endl;
    return 0;
  }
  lua_State* target = script->GetLua();
  const int top = lua_gettop(target);
  lua_checkstack(target, count + 1);
  lua_getfield(target, LUA_GLOBALSINDEX, "SafeCall");
  for (int i = 2; i <= count; ++i) {
    if (!CopyArgument(L, i, target)) {
      std::cout << "unknow param type " << std::endl;
      lua_settop(target, top);
      return 0;
    }
  }
  // A script dropped during the call is closed only after it.
  cScriptManager::Instance().EnterScript();
  script->Call("SafeCall", count - 1, 0);
  lua_settop(target, top);
  cScriptManager::Instance().LeaveScript();
  return 0;
}

}  // namespace

cCmdRemoteCall& cCmdRemoteCall::Instance() {
  static cCmdRemoteCall s_cmd;
  return s_cmd;
}

// A raw function: its arguments are read from the stack whatever their number and types. The
// group has no help; Functions() lists its function like every group's.
void cCmdRemoteCall::bind_cln(lua_State* L) {
  lua_pushcclosure(L, &SafeCall, 0);
  lua_setfield(L, LUA_GLOBALSINDEX, "SafeCall");
  RegisterFunctions(L);
}
