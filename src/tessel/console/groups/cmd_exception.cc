#include "tessel/console/groups/cmd_exception.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

#include "platform/console_color.h"
#include "tessel/console/help.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/host.h"
#include "tessel/link/bridge_client.h"
#include "tessel/link/bridge_server.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/timers/timer_func0.h"

namespace {

const char* const kHelp[] = {
    "[异常]",
    "\tZero() -- div 0",
    "\tFunc0() -- 调用0函数",
    "\tFunc0Run() -- 调用0函数在Run中",
    "\tNull() -- null point access",
    "\tVir() -- virtual call",
    "\tDieLoop() -- 程序死循环",
    "\tThrow() -- throw a exception",
    "",
};

// The faults are raised by the instructions themselves, so that they reach the host's crash
// guard as they would from a real fault and no sanitizer reports them first.
void Null() {
#if defined(__x86_64__)
  std::uintptr_t address = 0;
  asm volatile("movl $0, (%0)" : : "r"(address) : "memory");
#else
  *static_cast<int* volatile>(nullptr) = 0;
#endif
}

void Func0() {
  // Read through a volatile so the compiler cannot prove the call away.
  void (*volatile fn)(int) = nullptr;
  fn(10);
}

void Func0Run() {
  cTimerFunc0::Instance().Start();
}

// What a call of a pure virtual operation reaches: the table of the object holds the pure-call
// handler in every slot. This one stops at an illegal instruction, a fault the guard reports
// (the library's own handler would end the process without a report).
[[noreturn]] void PureCallHandler(void*) {
  __builtin_trap();
}

void Vir() {
  using Slot = void (*)(void*);
  static const Slot kPureTable[] = {&PureCallHandler};
  struct stObject {
    const Slot* table;
  };
  stObject object{kPureTable};
  // The dispatch of a virtual call: the table from the object, the slot from the table.
  const Slot* volatile table = object.table;
  table[0](&object);
}

// A native exception carrying 0 for the host's guard; the process takes its exception end
// afterwards. It is kept aside and leaves each Lua state as an error of the state's own
// protected call, so no state is unwound past that call, however deep Throw was reached.
int Throw(lua_State* L) {
  KeepLuaFault(std::make_exception_ptr(0));
  return RaiseLuaFault(L);
}

void DeadLoop() {
  for (unsigned long n = 0;; ++n) {
    std::cout << "enter deadloop " << n << std::endl;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
}

// Listed as a division by zero; does nothing.
void Zero() {}

// Called by the server at the other end of a client link: it met a fault.
void ServerException() {
  auto* bridge = dynamic_cast<cBridgeClient*>(get_gout().GetBridge());
  if (bridge == nullptr) return;
  // The peer may call it in a loop: its lines keep to the link's log budget.
  if (bridge->MayLog(get_gout().GetLink())) {
    platform::SetColor(platform::kColorLightRed);
    tessel_write(tessel_fetalerror(), std::string("【Exception】on Server ") + bridge->GetName());
  }
  if (cEasyClient* client = GetHost().GetTesselClient(bridge->GetName()))
    client->OnServerException();
  platform::SetColor(platform::kColorLightCyan);
}

// Called by a client on a link of a server endpoint: it met a fault.
void ClientException() {
  auto* bridge = dynamic_cast<cBridgeServer*>(get_gout().GetBridge());
  if (bridge == nullptr) return;
  const unsigned int link = get_gout().GetLinkID();
  // Any logged-in account may call it, also in a loop: its lines keep to the link's log budget.
  if (bridge->MayLog(get_gout().GetLink())) {
    platform::SetColor(platform::kColorLightRed);
    tessel_write(tessel_fetalerror(), std::string("【Exception】on Client ") + bridge->GetName() +
                                          " link " + std::to_string(link));
  }
  if (cEasyServer* server = GetHost().GetTesselServer(bridge->GetName()))
    server->OnClientException(link);
  platform::SetColor(platform::kColorLightCyan);
}

}  // namespace

cCmdException& cCmdException::Instance() {
  static cCmdException s_cmd;
  return s_cmd;
}

void cCmdException::Help() {
  PrintHelp(kHelp);
}

void cCmdException::bind_cln(lua_State* L) {
  RegisterHelp(L, &cCmdException::Help);
  luareg::def<&ClientException>(L, "ClientException");
  luareg::def<&ServerException>(L, "ServerException");
  luareg::def<&DeadLoop>(L, "DeadLoop");
  luareg::def<&Throw>(L, "Throw");
  luareg::def<&Null>(L, "Null");
  luareg::def<&Vir>(L, "Vir");
  luareg::def<&Zero>(L, "Zero");
  luareg::def<&Func0Run>(L, "Func0Run");
  luareg::def<&Func0>(L, "Func0");
}
