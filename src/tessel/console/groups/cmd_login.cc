#include "tessel/console/groups/cmd_login.h"

#include <iostream>
#include <string>

#include "platform/console_color.h"
#include "tessel/console/help.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/host.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/run_counters.h"
#include "tessel/link/account_help.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/util/text_clean.h"

namespace {

const char* const kHelp[] = {
    "[登录命令]",
    "\tLogin\t\t --- Login('Account','password')",
    "\tLogout\t\t --- Logout()",
    "\t登陆成功\t\t --- Logined(1 or 0,'game_220')",
    "",
};

constexpr int kColorBrightCyan = platform::kColorLightCyan;
constexpr size_t kCmdBufferSize = 10240;

// The login commands come over a link only; typed on the console they are refused.
bool RefuseLocal(const char* func) {
  if (!get_gout().IsLocalCmd()) return false;
  platform::SetColor(platform::kColorLightRed);
  std::cout << func << "error! can not solve local cmd!\n" << std::flush;
  platform::SetColor(platform::kColorBrightWhite);
  return true;
}

// The account manager of the server endpoint the command arrived at; null on a client side.
iAccountManagerServer* ReceivingManager() {
  auto* server = dynamic_cast<cBridgeServer*>(get_gout().GetBridge());
  return server != nullptr ? server->GetAMServer() : nullptr;
}

void Login(const char* account, const char* password) {
  if (RefuseLocal("func_Login ")) return;
  iSend* link = get_gout().GetLink();
  iBridge* bridge = get_gout().GetBridge();
  if (bridge == nullptr || bridge->MayLog(link)) {
    platform::SetColor(platform::kColorYellow);
    std::cout << (link != nullptr ? link->GetName() : "") << " "
              << (get_gout().GetLinkIP() != nullptr ? get_gout().GetLinkIP() : "") << " login as "
              << EscapeControls(account != nullptr ? account : "") << " " << MaskPassword(password)
              << std::endl;
    platform::SetColor(kColorBrightCyan);
  }
  const unsigned id = get_gout().GetLinkID();
  iAccountManagerServer* manager = ReceivingManager();
  const int result = manager != nullptr && manager->Login(id, account, password) ? 1 : 0;
  if (result == 0) CountLoginFailure();
  // The own name travels as an escaped literal: the client reads back exactly this name.
  std::string answer =
      "Logined(" + std::to_string(result) + "," + LuaQuote(GetHost().GetAccount()) + ")";
  if (answer.size() >= kCmdBufferSize) answer.resize(kCmdBufferSize - 1);
  get_gout().SendBackCmd(cCmdLogin::kLevel, answer.c_str());
  if (bridge != nullptr) bridge->OnLogined(id, result);
}

void Logined(int ok, const char* name) {
  if (RefuseLocal("func_Logined ")) return;
  // The answer to our own login arrives on a client side; on a server side it comes from a
  // peer and must not change who this process thinks its father is.
  if (dynamic_cast<cBridgeServer*>(get_gout().GetBridge()) != nullptr) {
    platform::SetColor(platform::kColorLightRed);
    std::cout << "func_Logined "
              << "error! refused from a peer of a server side\n"
              << std::flush;
    platform::SetColor(platform::kColorBrightWhite);
    return;
  }
  platform::SetColor(ok != 0 ? platform::kColorLightGreen : platform::kColorLightRed);
  std::cout << "func_Logined "
            << " logined " << ok << " " << name << std::endl;
  platform::SetColor(kColorBrightCyan);
  GetHost().SetAccountFather(name);
  if (iBridge* bridge = get_gout().GetBridge()) bridge->OnLogined(0, ok);
}

void Logout() {
  if (RefuseLocal("func_Logout ")) return;
  if (iAccountManagerServer* manager = ReceivingManager()) manager->Logout(get_gout().GetLinkID());
}

// The end of an answer. A command that prints nothing is answered with nothing, so a requester
// cannot tell "done, no output" from "still running" or "lost"; a requester that must know
// sends Mark(n) behind its command. Commands of one link run in order and their answers travel
// back in order (along the same route for a routed command), so Marked(n) arrives after every
// answer of the command before it. Marked itself does nothing on a process: an answer is
// never answered, so two processes cannot bounce marks between them.
void Mark(long long n) {
  if (RefuseLocal("func_Mark ")) return;
  get_gout().SendBackCmd(cCmdLogin::kLevel, ("Marked(" + std::to_string(n) + ")").c_str());
}

void Marked(long long) {}

}  // namespace

cCmdLogin& cCmdLogin::Instance() {
  static cCmdLogin s_cmd;
  return s_cmd;
}

void cCmdLogin::Help() {
  PrintHelp(kHelp);
}

void cCmdLogin::bind_cln(lua_State* L) {
  luareg::def<&Login>(L, "Login");
  luareg::def<&Logined>(L, "Logined");
  luareg::def<&Logout>(L, "Logout");
  luareg::def<&Mark>(L, "Mark");
  luareg::def<&Marked>(L, "Marked");
  RegisterHelp(L, &cCmdLogin::Help);
}
