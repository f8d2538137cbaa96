#include "tessel/console/groups/cmd_test.h"

#include <iostream>
#include <string>

#include "platform/console_color.h"
#include "platform/text_clean.h"
#include "tessel/console/help.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/host.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/worker_thread.h"
#include "tessel/link/bridge.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

constexpr int kEchoLevel = 6;

void Hello() {
  get_gout() << "Hello World!"
             << "\n";
}

// Switches an endpoint between its own command array and its bound next array.
void ChangeCmdArrayToNext(const char* name, int flag) {
  cBridge* bridge = GetHost().FindBridge(name);
  if (bridge == nullptr) {
    std::cout << "not found " << EscapeControls(name) << "bridge." << std::endl;
    return;
  }
  if (bridge->GetNext() == nullptr) {
    std::cout << "bridge " << name << " not have next cmdarray." << std::endl;
    return;
  }
  bridge->SetNext(flag != 0);
  std::cout << "bridge " << name << " change cmdarray is " << (flag != 0 ? "next" : "default")
            << "." << std::endl;
}

const char* const kHelp[] = {
    "[测试命令]",
    "\tHello World!\t --- Hello()",
    "\t改变Bridge的CmdArray\t --- ChangeCmdArrayToNext('bridge',int)",
    "",
};

}  // namespace

std::string cCmdTest::EchoStatement(long long n, const std::string& text) {
  // The text came from a peer: quoted as a literal it can never end early and run as code.
  return "Echo(" + std::to_string(n) + "," + LuaQuote(text) + ")";
}

void cCmdTest::Echo(int n, const std::string& text) {
  TESSEL_ASSERT_WORKER();
  static std::string s_reference;
  static bool s_bHaveReference = false;
  if (!s_bHaveReference) {
    s_reference = text;
    s_bHaveReference = true;
  } else if (text != s_reference) {
    platform::SetColor(platform::kColorLightRed);
    std::cout << "Echo"
              << " error!" << std::endl;
    // Any logged-in account may call it in a loop: a peer's lines keep to its link's log budget.
    iBridge* bridge = get_gout().GetBridge();
    if (bridge == nullptr || bridge->MayLog(get_gout().GetLink()))
      tessel_write(tessel_fetalerror(), "EchoError! " + std::to_string(get_gout().GetLinkID()) +
                                            " " + EscapeControls(text));
    platform::SetColor(platform::kColorLightCyan);
  }
  if (get_gout().IsLocalInput()) return;
  get_gout().SendBackCmd(kEchoLevel, EchoStatement(static_cast<long long>(n) + 1, text).c_str());
}

cCmdTest& cCmdTest::Instance() {
  static cCmdTest s_cmd;
  return s_cmd;
}

void cCmdTest::Help() {
  PrintHelp(kHelp);
}

void cCmdTest::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdTest::Help);
  luareg::def<&cCmdTest::Echo>(L, "Echo");
  luareg::def<&ChangeCmdArrayToNext>(L, "ChangeCmdArrayToNext");
  luareg::def<&Hello>(L, "Hello");
}
