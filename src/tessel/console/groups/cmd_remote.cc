#include "tessel/console/groups/cmd_remote.h"

#include <iostream>
#include <lua.hpp>

#include "platform/console_color.h"
#include "tessel/console/help.h"
#include "tessel/console/path_router.h"
#include "tessel/console/remote_path.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/host.h"

namespace {

const char* const kHelp[] = {
    "[远程命令]",
    "\t[远程发送一个命令] --- SendPathCmd('本地','中转地'...,'目的地','参数',0,'Ver()')",
    "\t[请求一条路径] --- FindPathOnRoute('本地','目的地')",
    "\t[找到一条路径] --- FindedPathOnRoute('mxmx',0)",
    "\t[显示所有远程路径] --- TraceRemote()",
    "\t[发送命令到远程] --- SendRemoteCmd('mxmx',4,'Ver()')",
    "\t[发送命令到远程] --- SendRemoteCmdParam('mxmx',4,'Ver()','param')",
    "",
};

void ArgumentError(const char* label, const std::string& what) {
  platform::ColorSection red(platform::kColorLightRed);
  std::cout << label << what << std::flush;
}

std::string StringArg(lua_State* L, int index) {
  size_t length = 0;
  const char* text = lua_tolstring(L, index, &length);
  return std::string(text, length);
}

// Every argument a string, except the one at `numberAt` (0 for none), which is a number.
bool CheckArgs(lua_State* L, const char* label, int numberAt) {
  for (int i = 1; i <= lua_gettop(L); ++i) {
    const bool number = i == numberAt;
    if (lua_type(L, i) == (number ? LUA_TNUMBER : LUA_TSTRING)) continue;
    ArgumentError(label,
                  "param " + std::to_string(i) + (number ? " must number \n" : " must string \n"));
    return false;
  }
  return true;
}

// The relays' hop count, read from the mark at the end of the chunk being run.
int ChunkHops() {
  return cCmd::s_szCmd != nullptr ? ReadHopMark(cCmd::s_szCmd) : 0;
}

// SendPathCmd(name1, ..., nameK, param, group, text).
int LuaSendPathCmd(lua_State* L) {
  const char* const label = "func_LuaSendPathCmd ";
  const int count = lua_gettop(L);
  if (count < 5) {
    ArgumentError(label, " error param must >= 5\n");
    return 0;
  }
  if (!CheckArgs(L, label, count - 1)) return 0;
  // A group number no int holds (NaN and the infinities among them) names no group: cut to an
  // int it would run the text in another group (2^32+4 in group 4, NaN in group 0).
  const lua_Number group = lua_tonumber(L, count - 1);
  if (!(group >= -2147483648.0 && group < 2147483648.0)) {
    ArgumentError(label, "param " + std::to_string(count - 1) + " out of range\n");
    return 0;
  }
  // The destination is the last name before the parameter.
  CheckCmdTarget(L, "SendPathCmd", lua_tostring(L, count - 3));
  stPathCall call;
  for (int i = 1; i <= count - 3; ++i) call.names.push_back(StringArg(L, i));
  call.param = StringArg(L, count - 2);
  call.group = static_cast<int>(group);
  call.text = StringArg(L, count);
  // Run here, its answers go back along the names: not to a process the requester may not reach.
  if (GetHost().IsAccount(call.names.back().c_str()) != 0)
    CheckCmdAnswerWay(L, "SendPathCmd", call.names);
  cPathRouter::SendPathCmd(call, ChunkHops());
  return 0;
}

// FindPathOnRoute(name1, ..., nameK).
int LuaFindPathOnRoute(lua_State* L) {
  const char* const label = "func_LuaFindPathOnRoute ";
  const int count = lua_gettop(L);
  if (count < 1) {
    ArgumentError(label, " error param must >= 1\n");
    return 0;
  }
  if (!CheckArgs(L, label, 0)) return 0;
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) names.push_back(StringArg(L, i));
  cPathRouter::FindPathOnRoute(names, ChunkHops());
  return 0;
}

void TraceRemote() {
  std::cout << "func_TraceRemote " << std::endl;
  cRemotePath::Instance().Trace(std::cout);
  std::cout << std::flush;
}

}  // namespace

cCmdRemote& cCmdRemote::Instance() {
  static cCmdRemote s_cmd;
  return s_cmd;
}

void cCmdRemote::Help() {
  PrintHelp(kHelp);
}

void cCmdRemote::bind_cln(lua_State* L) {
  static const Tlua_Funcs kRaw[] = {{"SendPathCmd", &LuaSendPathCmd},
                                    {"FindPathOnRoute", &LuaFindPathOnRoute},
                                    {nullptr, nullptr}};
  RegisterScript(L, kRaw);
  RegisterHelp(L, &cCmdRemote::Help);
  luareg::def(L, "SendRemoteCmdParam",
              [](const char* dest, int group, const char* text, const char* param) {
                RequireCmdTarget("SendRemoteCmdParam", dest);
                cPathRouter::cTellDrops tell;
                SendRemoteCmdParam(dest, group, text, param);
              });
  luareg::def(L, "SendRemoteCmd", [](const char* dest, int group, const char* text) {
    RequireCmdTarget("SendRemoteCmd", dest);
    cPathRouter::cTellDrops tell;
    SendRemoteCmd(dest, group, text);
  });
  luareg::def<&TraceRemote>(L, "TraceRemote");
  luareg::def<&cPathRouter::FindedPathOnRoute>(L, "FindedPathOnRoute");
}
