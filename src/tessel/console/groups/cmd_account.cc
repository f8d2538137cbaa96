#include "tessel/console/groups/cmd_account.h"

#include <filesystem>
#include <iostream>
#include <lua.hpp>
#include <mutex>

#include "platform/console_color.h"
#include "platform/text_clean.h"
#include "tessel/console/help.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/denied_log.h"
#include "tessel/core/host.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/route_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/account_help.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/account_rights.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/easy_server.h"
#include "tessel/link/ini_file.h"
#include "tessel/link/login_desk.h"
#include "tessel/msg/bridge_interfaces.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

const char* const kHelp[] = {
    "[账号命令]",
    "\tGetAccount\t --- GetAccount()",
    "\t所有连接\t --- Accounts()",
    "\t某个连接情况\t --- Account('mxmx')",
    "\t得到顶级路径\t --- ToTop('global')",
    "\t当前顶级路径\t --- ShowTop()",
    "",
};

const int kColorBlue = 9;
const unsigned kRemoteGroup = 7;
const unsigned kAccountGroup = 1;

std::mutex g_topLock;
std::vector<std::string> g_topPath;

void SetTopPath(std::vector<std::string> hops) {
  std::lock_guard<std::mutex> lock(g_topLock);
  g_topPath = std::move(hops);
}

// The name this process goes by in the cluster.
std::string OwnAccount() {
  return GetHost().GetAccount();
}

// Every server's account manager, in the host's order.
std::vector<iAccountManagerServer*> Managers() {
  std::vector<iAccountManagerServer*> out;
  for (cEasyServer* server : GetHost().Servers())
    if (iAccountManagerServer* manager = server->GetAMServer()) out.push_back(manager);
  return out;
}

// The process's state in one line, for the cluster view.
void Status() {
  get_gout() << GetHost().StatusLine() << "\n";
}

std::string GetAccountCmd() {
  return OwnAccount();
}

void Accounts() {
  get_gout() << "func_Accounts " << OwnAccount() << " ";
  for (iAccountManagerServer* manager : Managers()) manager->Accounts();
  get_gout() << "\n";
}

void Account(const char* name) {
  get_gout() << "func_Account " << OwnAccount() << " ";
  bool known = false;
  for (iAccountManagerServer* manager : Managers()) {
    if (manager->FindAccount(name) == nullptr) continue;
    manager->Account(name);
    known = true;
  }
  if (!known)
    get_gout() << "noplayer"
               << "\n";
}

void ToTop(const char* top) {
  const std::string cmd = MakeToTopCmd(OwnAccount(), top);
  {
    platform::ColorSection blue(kColorBlue);
    std::cout << "func_ToTop " << cmd << std::endl;
  }
  cBridgeClient* client = GetHost().GetDefaultRoute();
  iSend* route = client != nullptr ? client->GetNetClient() : nullptr;
  if (route == nullptr) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "no default route" << std::endl;
    return;
  }
  SendCmd(route, kRemoteGroup, cmd);
}

// Runs on the top server: answers whoever asked along the path it came by.
void Top() {
  std::cout << "func_Top " << std::endl;
  get_gout() << "func_Top "
             << " someone ask for top"
             << "\n";
  if (!get_gout().IsLocalCmd()) get_gout().SendBackCmd(kAccountGroup, "Toped()");
}

// The answer of the top server: the return route names the hops back to it. Run in this
// group's state, the route's SendPathCmd call is the top-path setter.
void Toped() {
  iBridge* bridge = get_gout().GetBridge();
  if (bridge == nullptr) {
    platform::ColorSection red(platform::kColorLightRed);
    std::cout << "func_Toped "
              << "error! can not solve local cmd!\n";
    platform::SetColor(platform::kColorBrightWhite);
    return;
  }
  if (GetReturnPath().empty()) return;
  const std::string route = FillRoute(GetReturnPath(), 0, "1", "");
  if (cCmd* group = bridge->GetCmdSafe(kAccountGroup)) group->Do(route.c_str());
}

// The top-path setter, registered as SendPathCmd in this group's state: the leading string
// arguments are the hops; the last three (parameter, group, text) are ignored.
int LuaSetPathTop(lua_State* L) {
  const int count = lua_gettop(L);
  std::vector<std::string> hops;
  for (int i = 1; i <= count - 3; ++i) {
    if (lua_type(L, i) != LUA_TSTRING) {
      SetTopPath({});
      std::cout << "func_LuaSetPathTop "
                << "error" << std::endl;
      return 0;
    }
    hops.emplace_back(lua_tostring(L, i));
  }
  SetTopPath(std::move(hops));
  ShowTop();
  return 0;
}

// The last refusals of the rights check.
void Denied() {
  cDeniedLog::Instance().Print(get_gout());
}

bool LoggedIn(const std::string& name) {
  for (iAccountManagerServer* manager : Managers())
    if (manager->FindAccount(name.c_str()) != nullptr) return true;
  return false;
}

// The rights an account file gives code left to run later: its rights keys, or none at all at
// its level 0 ("cmd = 0" or no level), the level that leaves the account its login only.
bool DeferredFileRights(const std::string& path, const std::string& name, CmdRightsPtr& rights,
                        std::string& error) {
  stAccountRights read;
  cIniFile file;
  if (!LoadAccountRights(path, name, read, error)) return false;
  if (!file.Load(path.c_str())) {
    error = path + ": cannot be read";
    return false;
  }
  int level = 0;
  file.GetInt("cmd", level);
  rights = level == 0 ? GrantNothing(name) : read.rights;
  return true;
}

// Code left to run later by an account of this process is held to its rights as read now: its
// file (its level as well), once no session of it reloaded that; none once that file is gone;
// or for a login without a file the configured rights; a bad file or value is named and that
// code keeps what it had.
int ReloadDeferredOnly() {
  int bad = 0;
  for (const std::string& name : DeferredRightsAccounts()) {
    const std::string path = AccountFilePath(name);
    std::error_code ec;
    const bool file = std::filesystem::is_regular_file(path, ec);
    if (!IsSafeAccountName(name.c_str()) || (file && LoggedIn(name))) continue;
    // Its file was taken away while logins need one: the account is gone, and so are the
    // rights of what it left.
    if (!file && GetConfigValue("check_login", 1) != 0 && !LoggedIn(name)) {
      get_gout() << "reload " << name
                 << " has no account file: the code it left to run later runs nothing more\n";
      NoteReloadedRights(name, GrantNothing(name));
      continue;
    }
    CmdRightsPtr rights;
    std::string error;
    if (file ? !DeferredFileRights(path, name, rights, error)
             : !RightsWithoutAccount(name, rights, error)) {
      get_gout() << "reload error " << error << " (" << name << " keeps its rights)\n";
      ++bad;
      continue;
    }
    NoteReloadedRights(name, rights);
  }
  return bad;
}

// Every logged-in account takes its file's rights again at its next command; a bad file is
// named and that account keeps what it had.
void ReloadAccounts() {
  int bad = 0;
  for (iAccountManagerServer* manager : Managers())
    if (auto* help = dynamic_cast<cAccountManagerHelpServer*>(manager)) bad += help->ReloadRights();
  bad += ReloadDeferredOnly();
  get_gout() << "func_ReloadAccounts " << (bad == 0 ? "ok" : std::to_string(bad) + " refused")
             << "\n";
}

// Ends every session of the account on this process's servers, and the rights of the code its
// commands left to run later.
void Kick(const char* name) {
  RevokeDeferredRights(name != nullptr ? name : "");
  int kicked = 0;
  size_t waiting = 0;
  for (cEasyServer* server : GetHost().Servers()) {
    iAccountManagerServer* manager = server->GetAMServer();
    iAccount* account = manager != nullptr ? manager->FindAccount(name) : nullptr;
    if (account != nullptr && server->GetBridgeServer()->Kick(account->GetLinkID())) ++kicked;
    // A login of the account still waiting on its turn or its hash check does not log in after.
    if (auto* help = dynamic_cast<cAccountManagerHelpServer*>(manager))
      waiting += help->GetLoginDesk().Kick(name != nullptr ? name : "");
  }
  // The name is the requester's text: its controls would forge lines of their own.
  const std::string shown = EscapeControls(name != nullptr ? name : "");
  if (waiting != 0)
    get_gout() << "kick refuses " << waiting << " waiting login(s) of " << shown << "\n";
  get_gout() << "func_Kick " << shown << " " << kicked << "\n";
}

}  // namespace

std::vector<std::string> GetTopPath() {
  std::lock_guard<std::mutex> lock(g_topLock);
  return g_topPath;
}

void ShowTop() {
  TESSEL_ASSERT_WORKER();
  std::cout << "func_ShowTop ";
  for (const std::string& hop : GetTopPath()) std::cout << EscapeControls(hop) << " ";
  std::cout << std::endl;
}

std::string MakeToTopCmd(const std::string& own, const std::string& top) {
  return "SendPathCmd(" + LuaQuote(own) + "," + LuaQuote(top) + ",'Top()',1,'Top()')";
}

cCmdAccount& cCmdAccount::Instance() {
  static cCmdAccount s_cmd;
  return s_cmd;
}

void cCmdAccount::Help() {
  PrintHelp(kHelp);
}

void cCmdAccount::bind_cln(lua_State* L) {
  static const Tlua_Funcs kRaw[] = {{"SendPathCmd", &LuaSetPathTop}, {nullptr, nullptr}};
  RegisterScript(L, kRaw);
  RegisterHelp(L, &cCmdAccount::Help);
  luareg::def<&GetAccountCmd>(L, "GetAccount");
  luareg::def<&Accounts>(L, "Accounts");
  luareg::def<&Account>(L, "Account");
  luareg::def<&ToTop>(L, "ToTop");
  luareg::def<&Top>(L, "Top");
  luareg::def<&Toped>(L, "Toped");
  luareg::def<&ShowTop>(L, "ShowTop");
  luareg::def<&Status>(L, "Status");
  luareg::def<&Denied>(L, "Denied");
  luareg::def<&ReloadAccounts>(L, "ReloadAccounts");
  luareg::def<&Kick>(L, "Kick");
}
