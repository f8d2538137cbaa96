#include "tessel/console/groups/maintain_broadcast.h"

#include "tessel/console/tessel_cmd.h"
#include "tessel/core/host.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

constexpr int kManagerGroup = 4;

std::string Quoted(const std::string& text) {
  return "\"" + LuaEscape(text) + "\"";
}

}  // namespace

std::string MakeBroadDoCmd(int group, const std::string& text) {
  return "DoCmd(" + std::to_string(group) + "," + Quoted(text) + ")";
}

std::string MakeBroadNameClientCmd(int group, const std::string& text, const std::string& name) {
  return "BroadCmdNameClient(" + std::to_string(group) + "," + Quoted(text) + "," + Quoted(name) +
         ")";
}

std::string MakeBroadReverseCmd(int group, const std::string& text) {
  return "BroadCmdReverse(" + std::to_string(group) + "," + Quoted(text) + ")";
}

std::string MakeBroadReverseNameCmd(int group, const std::string& text, const std::string& name) {
  return "BroadCmdReverseName(" + std::to_string(group) + "," + LuaLongBracket(text) + "," +
         Quoted(name) + ")";
}

void SendToServerManagers(const std::string& text) {
  TESSEL_ASSERT_WORKER();
  GetHost().SendCmdAllServerManager(kManagerGroup, text.c_str());
}

void RunHere(int group, const std::string& text) {
  TESSEL_ASSERT_WORKER();
  if (group < 0) return;
  if (get_gout().IsLocalCmd()) {
    cTesselCmd::Instance().RunCmd(static_cast<unsigned>(group), text.c_str());
  } else {
    get_gout().DoCmd(group, text.c_str());
  }
}
