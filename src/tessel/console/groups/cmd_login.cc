#include "tessel/console/groups/cmd_login.h"

#include <iostream>
#include <string>

#include "platform/console_color.h"
#include "platform/text_clean.h"
#include "tessel/console/help.h"
#include "tessel/console/shell_jobs.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/host.h"
#include "tessel/core/login_text.h"
#include "tessel/core/lua_text.h"
#include "tessel/link/account_help.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/login_desk.h"
#include "tessel/link/origin_desk.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const char* const kHelp[] = {
    "[登录命令]",
    "\tLogin\t\t --- Login('Account','password')",
    "\tLogout\t\t --- Logout()",
    "\t登陆成功\t\t --- Logined(1 or 0,'game_220')",
    "",
};

constexpr int kColorBrightCyan = platform::kColorLightCyan;

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

// A server's links have their logins answered by its login desk, which slows guessing.
void Login(const char* account, const char* password) {
  if (RefuseLocal("func_Login ")) return;
  iAccountManagerServer* manager = ReceivingManager();
  if (auto* accounts = dynamic_cast<cAccountManagerHelpServer*>(manager)) {
    accounts->GetLoginDesk().Submit(account, password);
  } else {
    const stBindMsg* msg = get_gout().GetCurMsg();
    AnswerLogin(manager, account, password, msg != nullptr && msg->replayed);
  }
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
  // The name is the upstream's choice: its controls are escaped, so it cannot retitle the
  // terminal or start a console line of its own.
  platform::SetColor(ok != 0 ? platform::kColorLightGreen : platform::kColorLightRed);
  std::cout << "func_Logined "
            << " logined " << ok << " " << EscapeControls(name != nullptr ? name : "") << std::endl;
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
// never answered, so two processes cannot bounce marks between them. A command before it that
// sent commands on to other processes is answered when their answers came back (or their time
// ran out): the mark waits for them, as it waits for the shell lines it started to answer.
void Mark(long long n) {
  if (RefuseLocal("func_Mark ")) return;
  const std::string marked = "Marked(" + std::to_string(n) + ")";
  if (cOriginDesk::Instance().HoldUntilAnswered(cCmdLogin::kLevel, marked)) return;
  if (cShellJobs::Instance().HoldMark(cCmdLogin::kLevel, marked)) return;
  get_gout().SendBackCmd(cCmdLogin::kLevel, marked.c_str());
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
