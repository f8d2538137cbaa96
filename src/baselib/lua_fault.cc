// Native faults raised inside Lua calls, carried out of every Lua state by its own protected
// call. Lua 5.1 is C: a C++ exception thrown through its frames skips the interpreter's own
// clean-up, and a state unwound past lua_pcall keeps the call depth it had (after about 200 such
// escapes it refuses every chunk with "too many syntax levels"). So inside Lua a fault is an
// ordinary Lua error, the exception itself kept for the thread; outside every Lua call it is
// thrown again.
#include <exception>
#include <string>
#include <vector>

#include "tessel/contracts/baselib.h"

namespace {

constexpr const char* kFaultMessage = "native exception: passed on to the crash guard";

// One protected call in progress on this thread, innermost last. When a fault leaves an inner
// call, the next outer state gets a hook that stops it at its next instruction; its own hook is
// put back when its call ends.
struct stCallFrame {
  lua_State* L = nullptr;
  bool armed = false;
  lua_Hook hook = nullptr;
  int mask = 0;
  int count = 0;
};

thread_local std::vector<stCallFrame> t_frames;
thread_local std::exception_ptr t_fault;
// The error of StopLuaCalls, until the outermost call ends.
thread_local std::string t_stop;

// Stays set until the state's call ends, so a pcall inside the script cannot catch the stop
// and go on: the next instruction after it stops again.
void StopHook(lua_State* L, lua_Debug*) {
  lua_pushstring(L, t_fault || t_stop.empty() ? kFaultMessage : t_stop.c_str());
  lua_error(L);
}

void Arm(stCallFrame& frame) {
  if (frame.armed) return;
  frame.armed = true;
  frame.hook = lua_gethook(frame.L);
  frame.mask = lua_gethookmask(frame.L);
  frame.count = lua_gethookcount(frame.L);
  lua_sethook(frame.L, &StopHook, LUA_MASKCOUNT, 1);
}

}  // namespace

cLuaCallScope::cLuaCallScope(lua_State* L) {
  t_frames.push_back(stCallFrame{L});
}

cLuaCallScope::~cLuaCallScope() {
  const stCallFrame frame = t_frames.back();
  t_frames.pop_back();
  if (frame.armed) lua_sethook(frame.L, frame.hook, frame.mask, frame.count);
  if (t_frames.empty()) t_stop.clear();
}

void StopLuaCalls(const char* message) {
  t_stop = message;
  for (stCallFrame& frame : t_frames) Arm(frame);
}

void KeepLuaFault(std::exception_ptr fault) {
  t_fault = std::move(fault);
}

int RaiseLuaFault(lua_State* L) {
  lua_pushstring(L, kFaultMessage);
  return lua_error(L);
}

bool LuaFaultPending() {
  return static_cast<bool>(t_fault);
}

void PassOnLuaFault() {
  if (!t_fault) return;
  if (!t_frames.empty()) {
    Arm(t_frames.back());
    return;
  }
  std::exception_ptr fault;
  fault.swap(t_fault);
  std::rethrow_exception(fault);
}
